// The operations on model files that both front ends offer: a rewrite
// (embed or strip) written once with the data hash of what was written, the
// data hash of a file and the check of a data-hash binding, each reading the
// file once, and a signed store written in place.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/bytes.h"
#include "core/digest.h"
#include "core/manifest.h"
#include "file/error.h"
#include "file/model.h"
#include "file/output.h"

namespace tarnwick::file {

struct Edit {
  std::optional<ManifestSource> source;     // none: strip all C2PA data
  std::optional<digest::Algorithm> hash;    // the data hash of the output
  // The caller writes the model's external data files beside the output
  // itself; otherwise an output in another folder than the model's is
  // refused (ExternalData) for a model that has some.
  bool external_data_copied = false;
};

struct Written {
  std::uint64_t size;
  std::optional<StoreRange> store_range;  // where the new store lies
  std::optional<Bytes> digest;            // without store_range, when asked for
  bool changed = true;  // false: a strip in place found no C2PA data and
                        // left the model untouched
};

// The model edited and written into `out`, committed once complete. Model
// faults come as Kind::Model; nothing is committed on any failure.
[[nodiscard]] Outcome<Written> rewrite(const Model& model, Output& out, const Edit& edit,
                                       const ProgressFn& progress);

// As rewrite, but left uncommitted: the caller commits `out` or drops it.
[[nodiscard]] Outcome<Written> write_edited(const Model& model, Output& out, const Edit& edit,
                                            const ProgressFn& progress);

// The model refused, as a Model fault naming it, when its format's own
// loader would refuse it (tarnwick::check_loadable). Signing and verifying
// ask: an embed (write_edited with a source) and check_binding do it here.
[[nodiscard]] Done check_loadable(const Model& model);

// The C2PA data hash of the model without `exclusions`, or by default
// without the store's range (nothing when there is none).
[[nodiscard]] Outcome<Bytes> data_hash(const Model& model, digest::Algorithm algorithm,
                                       const std::optional<std::vector<digest::Exclusion>>& exclusions,
                                       const ProgressFn& progress);

// The verdict on a data hash: the exclusions must be exactly where the store
// lies, and the digest must match. Only a model that cannot be read fails.
struct Binding {
  bool location_ok = false;
  bool hash_ok = false;
  std::optional<StoreRange> store_range;
  std::string reason;  // why it failed, empty when ok
  bool ok() const { return location_ok && hash_ok; }
};
[[nodiscard]] Outcome<Binding> check_binding(const Model& model, std::span<const digest::Exclusion> exclusions,
                                             ByteView expected, digest::Algorithm algorithm,
                                             const ProgressFn& progress);

// A signed store (raw bytes) written with pwrite over the store the model at
// `path` holds, which must have been reserved at its size; the rest of the
// file is untouched. The path is resolved as for a rewrite in place, the
// file must be regular with one name, and the file written is the one read,
// unchanged since, checked just before the write.
struct Patched {
  std::uint64_t offset;
  std::uint64_t length;
  std::uint64_t file_size;
  bool dropped_set_id;
};
[[nodiscard]] Outcome<Patched> patch_store(const std::string& path, ByteView store);

}  // namespace tarnwick::file
