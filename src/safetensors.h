// SafeTensors container: header framing and the C2PA members of
// "__metadata__".
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "bytes.h"
#include "error.h"
#include "manifest.h"

namespace tarnwick::safetensors {

// The format test used by detection. Never fails.
[[nodiscard]] bool is_safetensors(ByteView data);

[[nodiscard]] Result<Bytes> read_store(ByteView data);
[[nodiscard]] Result<std::optional<std::string>> read_uri(ByteView data);
[[nodiscard]] Result<Pieces> embed(ByteView data, const ManifestSource& source);
[[nodiscard]] Result<Pieces> remove(ByteView data);

}  // namespace tarnwick::safetensors
