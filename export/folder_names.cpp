#include "export/folder_names.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>

#include "export/mime_text.h"

namespace palvara {
namespace {

std::string LowerAscii(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
  return out;
}

bool IsDeviceName(std::string_view name) {
  const std::string base = LowerAscii(name.substr(0, name.find('.')));
  for (const char* device : {"con", "prn", "aux", "nul", "clock$"}) {
    if (base == device) return true;
  }
  return base.size() == 4 && (base.starts_with("com") || base.starts_with("lpt")) &&
         base[3] >= '0' && base[3] <= '9';
}

}  // namespace

std::string SafeFileName(std::string_view text, std::string_view fallback, std::size_t maxBytes) {
  const std::string valid = ValidUtf8(text);
  std::string out;
  for (std::size_t i = 0; i < valid.size();) {
    const auto u = static_cast<unsigned char>(valid[i]);
    const std::size_t n = u < 0x80 ? 1 : u >= 0xF0 ? 4 : u >= 0xE0 ? 3 : 2;
    if (out.size() + n > maxBytes) break;
    if (u < 0x20 || u == 0x7F || std::string_view("/\\:*?\"<>|").find(valid[i]) != std::string_view::npos) {
      out += '_';
    } else {
      out.append(valid, i, n);
    }
    i += n;
  }
  // Windows drops trailing dots and blanks; a leading dot hides the file (and means a
  // subfolder to Maildir++).
  while (!out.empty() && (out.back() == '.' || out.back() == ' ')) out.pop_back();
  while (!out.empty() && out.front() == ' ') out.erase(out.begin());
  if (!out.empty() && out.front() == '.') out.front() = '_';
  if (out.empty()) out = std::string(fallback);
  if (IsDeviceName(out)) out.insert(out.find('.') == std::string::npos ? out.size() : out.find('.'), "_");
  return out;
}

std::string BoundedName(std::string_view name, std::size_t maxBytes) {
  if (name.size() <= maxBytes) return std::string(name);
  std::uint32_t hash = 2166136261u;  // FNV-1a
  for (const char c : name) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
  char suffix[10];
  std::snprintf(suffix, sizeof suffix, "~%08x", hash);
  std::size_t keep = maxBytes > 9 ? maxBytes - 9 : 0;
  // Whole characters only: not into a UTF-8 sequence.
  while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
  return std::string(name.substr(0, keep)) + suffix;
}

std::string SiblingNames::Claim(const std::string& parent, const std::string& name) {
  std::set<std::string>& taken = taken_[parent];
  std::string candidate = name;
  for (int n = 2; reserved_.count(LowerAscii(candidate)) != 0 || taken.count(LowerAscii(candidate)) != 0; ++n) {
    candidate = name + " (" + std::to_string(n) + ")";
  }
  taken.insert(LowerAscii(candidate));
  return candidate;
}

}  // namespace palvara
