#include "shell/app_settings.h"

#include <dlfcn.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "common/text.h"
#include "shell/app_paths.h"
#include "shell/install_layout.h"

namespace palvara {
namespace {

constexpr std::size_t kSettingBuffer = 260;

std::string Trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

}  // namespace

std::filesystem::path AppSettings::File() {
  if (const char* file = std::getenv("PALVARA_SETTINGS"); file != nullptr && *file != '\0') {
    return file;
  }
  std::filesystem::path base;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && *xdg == '/') {
    base = xdg;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    base = std::filesystem::path(home) / ".config";
  }
  return base / "palvara" / "PV_PST.ini";
}

std::string AppSettings::Read(const std::string& name) {
  std::ifstream in(File());
  bool inGroup = false;
  for (std::string line; std::getline(in, line);) {
    line = Trim(line);
    if (!line.empty() && line.front() == '[') {
      inGroup = line == std::string("[") + kSettingsKey + "]";
      continue;
    }
    const auto eq = line.find('=');
    if (!inGroup || eq == std::string::npos || Trim(line.substr(0, eq)) != name) continue;
    const std::string value = Trim(line.substr(eq + 1));
    return value.size() >= kSettingBuffer ? "" : value;
  }
  return "";
}

bool AppSettings::Write(const std::string& name, const std::string& value) {
  const std::filesystem::path file = File();
  std::vector<std::string> lines;
  {
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
  }
  // Replace the value inside the group, or add it (and the group) when missing.
  const std::string group = std::string("[") + kSettingsKey + "]";
  std::size_t groupLine = lines.size();
  bool replaced = false;
  for (std::size_t i = 0; i < lines.size() && !replaced; ++i) {
    const std::string t = Trim(lines[i]);
    if (!t.empty() && t.front() == '[') {
      if (groupLine < lines.size()) break;  // the group ended without the value
      if (t == group) groupLine = i;
      continue;
    }
    const auto eq = t.find('=');
    if (groupLine < lines.size() && eq != std::string::npos && Trim(t.substr(0, eq)) == name) {
      lines[i] = name + "=" + value;
      replaced = true;
    }
  }
  if (!replaced) {
    if (groupLine == lines.size()) {
      lines.push_back(group);
      groupLine = lines.size() - 1;
    }
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(groupLine) + 1, name + "=" + value);
  }
  std::error_code ec;
  std::filesystem::create_directories(file.parent_path(), ec);
  std::ofstream out(file, std::ios::trunc);
  for (const std::string& line : lines) out << line << "\n";
  return static_cast<bool>(out);
}

std::string AppSettings::LanguageFile() {
  const std::string value = Read("LngFile");
  for (const char* known : {"EnglishA.dat", "FrenchA.dat", "DutchA.dat", "GermanA.dat"}) {
    if (EqualsIgnoringCase(value, known)) return value;
  }
  return "EnglishA.dat";
}

void TerminateSelf() { ::_exit(0); }

bool LoadCompanionLibrary() {
  static void* handle = nullptr;  // kept until the process ends
  if (handle != nullptr) return true;
  const std::filesystem::path programs = AppPaths::ProgramFolder();
  for (const std::filesystem::path& file :
       {programs / "libItemDecodeA.so",
        programs / kCompanionFolderFromPrograms / "libItemDecodeA.so",
        std::filesystem::path("libItemDecodeA.so")}) {
    handle = ::dlopen(file.c_str(), RTLD_NOW);
    if (handle != nullptr) break;
  }
  return handle != nullptr;
}

}  // namespace palvara
