// Writing a few bytes into a model in place, without rewriting it: the step
// that puts a signed manifest store into the room reserved for it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "core/bytes.h"
#include "core/error.h"
#include "file/error.h"

namespace tarnwick::file {

// What to write where, decided from the file's current content; a model
// fault (no room reserved, a size that differs) is an Error.
struct PatchWrite {
  std::uint64_t offset;
  Bytes bytes;
};
using PatchPlace = std::function<Result<PatchWrite>(ByteView file)>;

struct Patched {
  std::uint64_t offset;
  std::uint64_t file_size;
};

// Opens the regular file at `path` for writing (NotRegular otherwise), asks
// `place` what goes where, writes it there with pwrite and syncs the file.
// Nothing is written when `place` fails. The rest of the file is untouched.
struct PatchOutcome {
  std::optional<Patched> patched;
  std::optional<Error> model_error;
  std::optional<FileError> file_error;
};
[[nodiscard]] PatchOutcome patch_in_place(const std::string& path, const PatchPlace& place);

// The write of a signed manifest store over the one `file` holds: `store` in
// the format's stored form (raw, or Base64 text), which must have exactly the
// length of the one there (StoreSizeDiffers); NoManifest when there is none.
[[nodiscard]] Result<PatchWrite> store_write(ByteView file, ByteView store);

}  // namespace tarnwick::file
