// The shared real-world test stores and their ground truth (../shared/testdata), for tests
// that skip cleanly when the folder is absent.
#pragma once

#include <stdio.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/byte_view.h"

namespace palvara::testing {

inline const std::filesystem::path kTestData = PALVARA_TESTDATA_DIR;

// The names (without ".json") of the truth files in `folder` of the test data, sorted; files
// whose name starts with "_" are summaries, not truth files.
inline std::vector<std::string> TruthNames(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(kTestData / folder, ec)) {
    const std::string name = e.path().filename().string();
    if (e.path().extension() == ".json" && name[0] != '_') names.push_back(e.path().stem().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The whole content of a file (empty when it cannot be read).
inline Bytes ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> raw((std::istreambuf_iterator<char>(in)), {});
  Bytes bytes(raw.size());
  std::transform(raw.begin(), raw.end(), bytes.begin(), [](char c) { return std::byte(c); });
  return bytes;
}

// Writes `bytes` as the whole content of `path`.
inline void WriteFileBytes(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// `size` bytes of a repeating pattern: byte i is (i * step + seed) mod 256.
inline Bytes PatternBytes(std::size_t size, int seed, std::size_t step = 131) {
  Bytes b(size);
  for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::byte>((i * step + static_cast<std::size_t>(seed)) & 0xFF);
  return b;
}

// Runs a shell command and returns what it wrote to stdout; its exit status in `status`.
inline std::string CaptureCommand(const std::string& command, int* status) {
  FILE* pipe = ::popen(command.c_str(), "r");
  std::string out;
  char buffer[65536];
  for (std::size_t n; pipe != nullptr && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    out.append(buffer, n);
  }
  *status = pipe != nullptr ? ::pclose(pipe) : -1;
  return out;
}

// A test name from a store file name.
struct StoreParamName {
  template <typename Info>
  std::string operator()(const Info& info) const {
    std::string name = info.param;
    for (char& c : name) {
      if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    }
    return name;
  }
};

}  // namespace palvara::testing
