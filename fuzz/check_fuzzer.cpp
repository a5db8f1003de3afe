// Store-check fuzz target: the input is a whole store file.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "writer/store_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  palvara::Bytes bytes(size);
  if (size > 0) std::memcpy(bytes.data(), data, size);
  palvara::CheckStoreBytes(std::move(bytes));
  return 0;
}
