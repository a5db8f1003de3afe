// RTF text fuzz target: the input is an RTF document.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "items/compressed_rtf.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text;
  const int status =
      palvara::RtfToText(std::span(reinterpret_cast<const std::byte*>(data), size), text);
  if (status < 0 || status > palvara::kRtfEndOfFileInKeyword) __builtin_trap();
  return 0;
}
