// Compressed RTF fuzz target: the input is a PidTagRtfCompressed stream.
#include <cstddef>
#include <cstdint>
#include <span>

#include "items/compressed_rtf.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  palvara::Bytes out;
  palvara::DecodeCompressedRtf(std::span(reinterpret_cast<const std::byte*>(data), size), out);
  return 0;
}
