#include "cli/arguments.h"

#include <charconv>

namespace palvara::cli {

std::optional<std::uint64_t> ParseUnsigned(std::string_view text, std::uint64_t maximum) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  // from_chars takes no sign for unsigned types; a leading blank or "+" is refused here too.
  if (text.empty() || text[0] == '+' || text[0] == ' ') return std::nullopt;
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc() || end != text.data() + text.size() || value > maximum) {
    return std::nullopt;
  }
  return value;
}

}  // namespace palvara::cli
