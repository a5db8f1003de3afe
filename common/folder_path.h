// Folder paths: the names of a folder and its parents from the top down, each followed by a
// backslash ("Personal Folders\\Inbox\\Old\\"). A backslash inside a name is written twice,
// so that a folder named "Q3\\2024" ("Personal Folders\\Q3\\\\2024\\") and a folder "2024"
// inside "Q3" ("Personal Folders\\Q3\\2024\\") have different paths.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace palvara {

// `name` as it stands in a path: every backslash doubled.
std::string EscapeFolderName(std::string_view name);

// The names of `path`, unescaped, in order; a trailing backslash ends the last name. Read from
// the left: two backslashes are one inside a name, a single one ends the name.
std::vector<std::string> FolderPathNames(std::string_view path);

// `path` without its last name (and the backslash before it), and that name unescaped:
// "\\\\store\\Q3\\\\2024" -> {"\\\\store", "Q3\\2024"}. A path of one name gives {"", name}.
// A trailing backslash is not part of the last name.
std::pair<std::string, std::string> SplitLastFolderName(std::string_view path);

// The path as it was written before names were escaped (every name as it is, so a name's
// backslash reads as a level): "Personal Folders\\Q3\\\\2024\\" -> "Personal Folders\\Q3\\2024\\".
std::string PlainFolderPath(std::string_view path);

// The folder of `known` that `path` names: the one equal to it, else the only one whose plain
// path (above) equals it, so that paths written before names were escaped keep working; `path`
// itself when neither is found or the plain path fits several.
std::string ResolveFolderPath(const std::string& path, const std::vector<std::string>& known);

}  // namespace palvara
