// GGUF: the container invariants, and remove() keeps the tensor data byte
// for byte.
#include <algorithm>
#include <cstdint>

#include "gguf.h"
#include "invariants.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarnwick;
  ByteView input(data, size);
  std::optional<Bytes> removed = fuzz::check_container(input);
  if (!removed) return 0;
  TW_ASSERT(Format::detect(input) == Format::GGUF);
  return 0;
}
