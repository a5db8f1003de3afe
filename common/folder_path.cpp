#include "common/folder_path.h"

namespace palvara {
namespace {

// Calls `name(begin, end)` for the escaped text of each name of `path`; a name's end is the
// position of the single backslash after it (or the end of the path).
template <typename Visit>
void ForEachName(std::string_view path, Visit name) {
  std::size_t begin = 0;
  std::size_t i = 0;
  while (i < path.size()) {
    if (path[i] != '\\') {
      ++i;
    } else if (i + 1 < path.size() && path[i + 1] == '\\') {
      i += 2;
    } else {
      name(begin, i);
      begin = ++i;
    }
  }
  if (begin < path.size()) name(begin, path.size());
}

std::string Unescaped(std::string_view escaped) {
  std::string out;
  out.reserve(escaped.size());
  for (std::size_t i = 0; i < escaped.size(); ++i) {
    out += escaped[i];
    if (escaped[i] == '\\' && i + 1 < escaped.size() && escaped[i + 1] == '\\') ++i;
  }
  return out;
}

}  // namespace

std::string EscapeFolderName(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (char c : name) {
    out += c;
    if (c == '\\') out += '\\';
  }
  return out;
}

std::vector<std::string> FolderPathNames(std::string_view path) {
  std::vector<std::string> names;
  ForEachName(path, [&](std::size_t begin, std::size_t end) {
    names.push_back(Unescaped(path.substr(begin, end - begin)));
  });
  return names;
}

std::pair<std::string, std::string> SplitLastFolderName(std::string_view path) {
  std::size_t lastBegin = 0, lastEnd = 0, parentEnd = 0;
  bool any = false;
  ForEachName(path, [&](std::size_t begin, std::size_t end) {
    // The parent ends at the separator before this name.
    parentEnd = any ? lastEnd : 0;
    lastBegin = begin;
    lastEnd = end;
    any = true;
  });
  if (!any) return {};
  return {std::string(path.substr(0, parentEnd)), Unescaped(path.substr(lastBegin, lastEnd - lastBegin))};
}

std::string PlainFolderPath(std::string_view path) { return Unescaped(path); }

std::string ResolveFolderPath(const std::string& path, const std::vector<std::string>& known) {
  const std::string* found = nullptr;
  for (const std::string& k : known) {
    if (k == path) return path;
    if (PlainFolderPath(k) != path) continue;
    if (found != nullptr) return path;  // several folders read so: none is chosen
    found = &k;
  }
  return found != nullptr ? *found : path;
}

}  // namespace palvara
