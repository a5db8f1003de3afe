// Wrapped-body fuzz target: the input is an RTF document that may wrap HTML or text.
#include <cstddef>
#include <cstdint>
#include <span>

#include "common/text.h"
#include "items/rtf_html.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span rtf(reinterpret_cast<const std::byte*>(data), size);
  const palvara::UnwrappedBody body = palvara::UnwrapRtfBody(rtf);
  if (body.kind != palvara::WrappedBodyOf(rtf)) __builtin_trap();
  if (body.kind == palvara::RtfWrapped::kNone && !body.text.empty()) __builtin_trap();
  // Every input byte gives at most one character of three bytes; the text is UTF-8.
  if (body.text.size() > 3 * size || !palvara::IsCleanUtf8(body.text)) __builtin_trap();
  return 0;
}
