#include "core/manifest.h"

// ManifestSource is a plain value type; everything lives in the header.
static_assert(tarnwick::kStoreKey.size() == 13);
static_assert(tarnwick::kUriKey.size() == 17);
