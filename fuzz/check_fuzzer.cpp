// Store-check fuzz target: the input is a whole store file, checked plainly and strictly.
#include <cstddef>
#include <cstdint>

#include "writer/store_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const palvara::ByteSpan bytes(reinterpret_cast<const std::byte*>(data), size);
  palvara::CheckStoreBytes(bytes);
  palvara::CheckStoreBytes(bytes, palvara::CheckOptions{.strict = true});
  return 0;
}
