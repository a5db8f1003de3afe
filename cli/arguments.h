// Strict parsing of numbers on the command line: decimal, or hexadecimal after "0x"; no sign,
// no blanks, nothing after the digits, nothing above `maximum`. "010" is ten, not eight.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace palvara::cli {

std::optional<std::uint64_t> ParseUnsigned(std::string_view text,
                                           std::uint64_t maximum = UINT64_MAX);

}  // namespace palvara::cli
