// Text conversion: every text handed out by the reader is UTF-8.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/byte_view.h"

namespace palvara {

// Converts UTF-16LE to UTF-8, up to the first 0 code unit or the end of the bytes (an odd last
// byte is ignored). Unpaired surrogates become U+FFFD.
std::string Utf16LeToUtf8(ByteSpan bytes);

// Converts UTF-8 to UTF-16LE (no terminator); characters past U+FFFF become surrogate pairs,
// malformed sequences U+FFFD.
Bytes Utf8ToUtf16Le(std::string_view utf8);

// Converts 8-bit text in a Windows code page to UTF-8, up to the first 0 byte. 1252 (and any
// code page the system cannot convert) uses the Windows-1252 table, including the five bytes
// that table leaves undefined (they become U+0081, U+008D, U+008F, U+0090, U+009D, as on
// Windows); others go through iconv. Undecodable bytes become U+FFFD.
std::string CodePageToUtf8(ByteSpan bytes, std::uint32_t codePage);

// Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF)
// without NUL.
bool IsCleanUtf8(std::string_view text);

// The Windows ANSI code page of a locale (LCID): 1041 -> 932, 2052 -> 936, 1042 -> 949, 1028 ->
// 950, 1049 -> 1251, 1033 -> 1252, ... nullopt for a locale without one (Unicode-only
// languages) and for the neutral and invalid ids.
std::optional<std::uint32_t> AnsiCodePageOfLocale(std::uint32_t lcid);

// The Windows code page of the script of a MIME charset code page: 50220/50221/50222
// (ISO-2022-JP), 51932 (EUC-JP) -> 932, 28591 -> 1252, 28595 / 20866 (KOI8-R) -> 1251, ...;
// a Windows code page maps to itself. nullopt for a charset of no single script (UTF-8,
// UTF-7, UTF-16) and for unknown values.
std::optional<std::uint32_t> WindowsCodePageOfCharset(std::uint32_t codePage);

// Appends the UTF-8 form of a code point (U+FFFD for surrogates and values past U+10FFFF).
void AppendUtf8(std::string& out, char32_t codePoint);

// ASCII case-insensitive comparisons (message classes, file names).
bool EqualsIgnoringCase(std::string_view a, std::string_view b);
bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix);

// A calendar date and time of day (UTC unless said otherwise).
struct CivilTime {
  int year = 1601, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};

// A FILETIME (100 ns ticks since 1601-01-01 UTC) as calendar fields, and back (nullopt for
// fields out of range).
CivilTime FileTimeToCivil(std::uint64_t fileTime);
std::optional<std::uint64_t> CivilToFileTime(const CivilTime& time);

// Formats a FILETIME as "YYYY-MM-DDTHH:MM:SSZ".
std::string FileTimeToIso8601(std::uint64_t fileTime);

}  // namespace palvara
