// SHA-2 digests through OpenSSL's libcrypto, and the C2PA data hash: the
// digest of a file with its exclusion ranges (where the store lies) left out.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"

struct evp_md_ctx_st;  // OpenSSL's EVP_MD_CTX; kept out of this header

namespace tarnwick::digest {

// The algorithms a C2PA data hash may name.
enum class Algorithm : std::uint8_t { SHA256, SHA384, SHA512 };

struct AlgorithmInfo {
  Algorithm algorithm;
  std::string_view name;  // as C2PA and hashlib spell it
  std::size_t size;       // digest length in bytes
};
inline constexpr AlgorithmInfo kAlgorithms[] = {
    {Algorithm::SHA256, "sha256", 32},
    {Algorithm::SHA384, "sha384", 48},
    {Algorithm::SHA512, "sha512", 64},
};
static_assert(std::size(kAlgorithms) == 3);
static_assert(kAlgorithms[0].algorithm == Algorithm::SHA256 &&
              kAlgorithms[1].algorithm == Algorithm::SHA384 &&
              kAlgorithms[2].algorithm == Algorithm::SHA512);

constexpr const AlgorithmInfo& info(Algorithm a) { return kAlgorithms[static_cast<int>(a)]; }
// The algorithm of a C2PA name ("sha256", ...) in any case, as hashlib.new
// takes it; anything else is an error.
[[nodiscard]] Result<Algorithm> algorithm_named(std::string_view name);

// A streaming digest. finish() ends it; using it afterwards is an error.
class Hasher {
 public:
  [[nodiscard]] static Result<Hasher> start(Algorithm algorithm);

  [[nodiscard]] Status update(ByteView data);
  [[nodiscard]] Result<Bytes> finish();

 private:
  struct Free {
    void operator()(evp_md_ctx_st* ctx) const;
  };
  Hasher(evp_md_ctx_st* ctx, Algorithm algorithm) : ctx_(ctx), algorithm_(algorithm) {}

  std::unique_ptr<evp_md_ctx_st, Free> ctx_;
  Algorithm algorithm_;
};

// A byte range left out of a data hash.
struct Exclusion {
  std::uint64_t offset, length;
  friend bool operator==(const Exclusion&, const Exclusion&) = default;
};

// The exclusions must be in ascending order, not overlap, and lie inside
// `size` bytes; empty ranges are allowed. Fails with MalformedExclusion.
[[nodiscard]] Status check_exclusions(std::span<const Exclusion> exclusions, std::uint64_t size);

// A data hash fed in order from position 0, a part at a time, leaving the
// excluded ranges out as they pass: for input that is never whole in memory
// (a file read in chunks, an output as it is written).
class DataHash {
 public:
  // The exclusions are checked against `size`, the input's whole length.
  [[nodiscard]] static Result<DataHash> start(Algorithm algorithm, std::span<const Exclusion> exclusions,
                                              std::uint64_t size);

  [[nodiscard]] Status add(ByteView part);
  // Fails unless exactly `size` bytes were added.
  [[nodiscard]] Result<Bytes> finish();

 private:
  DataHash(Hasher hasher, std::vector<Exclusion> exclusions, std::uint64_t size)
      : hasher_(std::move(hasher)), exclusions_(std::move(exclusions)), size_(size) {}

  Hasher hasher_;
  std::vector<Exclusion> exclusions_;
  std::uint64_t size_;
  std::size_t next_ = 0;
  std::uint64_t pos_ = 0;
};

// The digest of `data` without the excluded ranges.
[[nodiscard]] Result<Bytes> data_hash(ByteView data, Algorithm algorithm,
                                      std::span<const Exclusion> exclusions);

}  // namespace tarnwick::digest
