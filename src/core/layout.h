// Where a rewrite written to a file puts the tensor data so that a
// copy-on-write file system can share its blocks: the limits every container
// applies, and the offset arithmetic.
#pragma once

#include <cstdint>

namespace tarnwick {

inline constexpr std::uint64_t kMinBlock = 4096;
// ZFS records reach 16 MiB; SafeTensors holds its padding in memory.
inline constexpr std::uint64_t kMaxBlock = std::uint64_t{16} << 20;
// Less is copied in less time than the sharing saves.
inline constexpr std::uint64_t kMinSharedTensorData = std::uint64_t{64} << 10;

// The first offset at or after `from` that is congruent to `old` modulo
// `block`, a power of two.
[[nodiscard]] constexpr std::uint64_t congruent_from(std::uint64_t from, std::uint64_t old,
                                                     std::uint64_t block) {
  return from + ((old - from) & (block - 1));
}

}  // namespace tarnwick
