#include "core/digest.h"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>

namespace tarnwick::digest {
namespace {

// The unit in which large input is staged (see Hasher::update).
constexpr std::size_t kStage = 256 * 1024;

// The EVP digest of each algorithm, in the order of kAlgorithms.
using MdGetter = const EVP_MD* (*)();
constexpr MdGetter kMds[] = {EVP_sha256, EVP_sha384, EVP_sha512};
static_assert(std::size(kMds) == std::size(kAlgorithms));

// An error naming the failed call and libcrypto's reason. The thread's error
// queue is emptied so that no stale entry reaches a later caller (hashlib
// reads the same queue).
Error evp_error(const char* call) {
  std::string text = std::string("OpenSSL digest failed in ") + call;
  if (unsigned long code = ERR_peek_last_error(); code != 0) {
    char reason[256];
    ERR_error_string_n(code, reason, sizeof reason);
    text += ": ";
    text += reason;
  }
  ERR_clear_error();
  return Error::digest(std::move(text));
}

// "(offset, length)", as a Python caller writes it.
std::string pos(const Exclusion& e) {
  std::string s = "(";
  s += std::to_string(e.offset);
  s += ", ";
  s += std::to_string(e.length);
  s += ")";
  return s;
}

}  // namespace

Result<Algorithm> algorithm_named(std::string_view name) {
  for (const AlgorithmInfo& a : kAlgorithms)
    if (std::ranges::equal(a.name, name, {}, {}, [](char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }))
      return a.algorithm;
  return Error::digest("unsupported hash algorithm '" + std::string(name) +
                       "': expected sha256, sha384 or sha512");
}

void Hasher::Free::operator()(evp_md_ctx_st* ctx) const { EVP_MD_CTX_free(ctx); }

Result<Hasher> Hasher::start(Algorithm algorithm) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (ctx == nullptr) return evp_error("EVP_MD_CTX_new");
  Hasher hasher(ctx, algorithm);
  if (EVP_DigestInit_ex(ctx, kMds[static_cast<int>(algorithm)](), nullptr) != 1)
    return evp_error("EVP_DigestInit_ex");
  return hasher;
}

Status Hasher::update(ByteView data) {
  if (!ctx_) return Error::digest("hasher used after finish");
  // Large input (a mapped model) is staged through a small buffer that stays
  // in the cache: the copy streams memory in well ahead of the digest, which
  // reading memory directly runs at about three quarters of this speed.
  std::unique_ptr<std::uint8_t[]> stage;
  if (data.size() >= 4 * kStage) stage.reset(new (std::nothrow) std::uint8_t[kStage]);
  while (!data.empty()) {
    ByteView part = data.first(stage ? std::min(data.size(), kStage) : data.size());
    data = data.subspan(part.size());
    if (stage) {
      std::memcpy(stage.get(), part.data(), part.size());
      part = ByteView(stage.get(), part.size());
    }
    if (EVP_DigestUpdate(ctx_.get(), part.data(), part.size()) != 1)
      return evp_error("EVP_DigestUpdate");
  }
  return ok();
}

Result<Bytes> Hasher::finish() {
  if (!ctx_) return Error::digest("hasher used after finish");
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int n = 0;
  const bool done = EVP_DigestFinal_ex(ctx_.get(), out.data(), &n) == 1;
  ctx_.reset();
  if (!done) return evp_error("EVP_DigestFinal_ex");
  out.resize(n);
  return out;
}

Status check_exclusions(std::span<const Exclusion> exclusions, std::uint64_t size) {
  for (std::size_t i = 0; i < exclusions.size(); ++i) {
    const Exclusion& e = exclusions[i];
    if (!fits(e.offset, e.length, size))
      return Error::malformed_exclusion(pos(e) + " extends past the end of the model (" +
                                        std::to_string(size) + " bytes)");
    if (i == 0) continue;
    const Exclusion& before = exclusions[i - 1];
    if (e.offset < before.offset)
      return Error::malformed_exclusion(pos(e) + " starts before " + pos(before) +
                                        "; exclusions must be in ascending order");
    if (e.offset < before.offset + before.length)
      return Error::malformed_exclusion(pos(e) + " overlaps " + pos(before));
  }
  return ok();
}

Result<DataHash> DataHash::start(Algorithm algorithm, std::span<const Exclusion> exclusions,
                                 std::uint64_t size) {
  TW_CHECK(check_exclusions(exclusions, size));
  TW_TRY(Hasher hasher, Hasher::start(algorithm));
  return DataHash(std::move(hasher), std::vector<Exclusion>(exclusions.begin(), exclusions.end()), size);
}

// The exclusions lie inside the size (checked at the start), so their ends
// cannot overflow.
Status DataHash::add(ByteView v) {
  if (!fits(pos_, v.size(), size_)) return Error::digest("internal error: more input than the data hash expects");
  while (!v.empty()) {
    while (next_ < exclusions_.size() && exclusions_[next_].offset + exclusions_[next_].length <= pos_) ++next_;
    std::uint64_t take = v.size();
    if (next_ < exclusions_.size()) {
      const Exclusion& e = exclusions_[next_];
      if (pos_ >= e.offset) {
        const std::uint64_t skip = std::min<std::uint64_t>(take, e.offset + e.length - pos_);
        v = v.subspan(static_cast<std::size_t>(skip));
        pos_ += skip;
        continue;
      }
      take = std::min(take, e.offset - pos_);
    }
    TW_CHECK(hasher_.update(v.first(static_cast<std::size_t>(take))));
    v = v.subspan(static_cast<std::size_t>(take));
    pos_ += take;
  }
  return ok();
}

Result<Bytes> DataHash::finish() {
  if (pos_ != size_) return Error::digest("internal error: less input than the data hash expects");
  return hasher_.finish();
}

Result<Bytes> data_hash(ByteView data, Algorithm algorithm, std::span<const Exclusion> exclusions) {
  TW_TRY(DataHash hash, DataHash::start(algorithm, exclusions, data.size()));
  TW_CHECK(hash.add(data));
  return hash.finish();
}

}  // namespace tarnwick::digest
