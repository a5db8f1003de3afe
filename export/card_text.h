// Content lines shared by vCard (RFC 6350) and iCalendar (RFC 5545): escaped values, lines
// folded at 75 octets without splitting a character, "\r\n" line ends, UTC stamps.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace palvara {

// A value with backslash, comma, semicolon and line breaks escaped.
std::string EscapeCardText(std::string_view text);
// "NAME:value\r\n" (or "NAME;PARAMS:value"), folded; `value` is used as given.
std::string CardLine(std::string_view nameAndParameters, std::string_view value);
// "19970714T173000Z" and "19970714" of a FILETIME.
std::string CardUtcStamp(std::uint64_t fileTime);
std::string CardDate(std::uint64_t fileTime);
// The date of the midnight nearest to `fileTime`: a date-only value kept as a local midnight
// in UTC, whatever the zone it was entered in.
std::string CardNearestDate(std::uint64_t fileTime);
// A parameter value, quoted when it holds ":;," (quotes themselves dropped).
std::string CardParameter(std::string_view value);

}  // namespace palvara
