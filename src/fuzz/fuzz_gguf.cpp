// GGUF: the container invariants, and remove() keeps the tensor data byte
// for byte.
#include <algorithm>
#include <cstdint>

#include "containers/gguf.h"
#include "invariants.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarnwick;
  ByteView input(data, size);
  std::optional<Bytes> removed = fuzz::check_container(input);
  if (!removed || Format::detect(input) != Format::GGUF) return 0;
  auto before = gguf::tensor_data(input);
  auto after = gguf::tensor_data(ByteView(*removed));
  TW_ASSERT(before.ok() && after.ok());
  TW_ASSERT(std::equal(before->begin(), before->end(), after->begin(), after->end()));
  return 0;
}
