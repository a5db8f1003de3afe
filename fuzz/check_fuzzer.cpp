// Store-check fuzz target: the input is a whole store file.
#include <cstddef>
#include <cstdint>

#include "writer/store_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  palvara::CheckStoreBytes(palvara::ByteSpan(reinterpret_cast<const std::byte*>(data), size));
  return 0;
}
