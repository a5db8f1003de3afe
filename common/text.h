// Text conversion: every text handed out by the reader is UTF-8.
#pragma once

#include <string>

#include "common/byte_view.h"

namespace palvara {

// Converts UTF-16LE to UTF-8, up to the first 0 code unit or the end of the bytes (an odd last
// byte is ignored). Unpaired surrogates become U+FFFD.
std::string Utf16LeToUtf8(ByteSpan bytes);

// Appends the UTF-8 form of a code point (U+FFFD for surrogates and values past U+10FFFF).
void AppendUtf8(std::string& out, char32_t codePoint);

// Formats a FILETIME (100 ns ticks since 1601-01-01 UTC) as "YYYY-MM-DDTHH:MM:SSZ".
std::string FileTimeToIso8601(std::uint64_t fileTime);

}  // namespace palvara
