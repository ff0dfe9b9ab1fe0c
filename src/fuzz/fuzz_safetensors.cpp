// SafeTensors: the container invariants, and rewrites keep the tensor data
// (everything after the header) byte for byte, starting on an 8-byte boundary.
#include <algorithm>
#include <cstdint>

#include "invariants.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarnwick;
  ByteView input(data, size);
  std::optional<Bytes> removed = fuzz::check_container(input);
  if (!removed || Format::detect(input) != Format::SafeTensors) return 0;

  Cursor in(input), out{ByteView(*removed)};
  std::uint64_t in_len = 0, out_len = 0;
  TW_ASSERT(in.u64le(&in_len) && in.skip(in_len));
  TW_ASSERT(out.u64le(&out_len) && out.skip(out_len));
  TW_ASSERT(out.pos() % 8 == 0);  // the tensor data stays aligned
  TW_ASSERT(in.remaining() == out.remaining());
  TW_ASSERT(std::equal(input.begin() + in.pos(), input.end(), removed->begin() + out.pos()));
  return 0;
}
