// Runs a fuzz target over every file of the given files and folders, so that the seed corpus
// and the inputs of past findings are replayed by plain CI builds. Missing folders are skipped.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::size_t replayed = 0;
  auto replay = [&replayed](const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    ++replayed;
  };
  for (int i = 1; i < argc; ++i) {
    const fs::path path(argv[i]);
    std::error_code ec;
    if (fs::is_regular_file(path, ec)) {
      replay(path);
    } else if (fs::is_directory(path, ec)) {
      for (const auto& entry : fs::recursive_directory_iterator(path, ec)) {
        if (entry.is_regular_file()) replay(entry.path());
      }
    } else {
      std::cout << "skipped (absent): " << path << "\n";
    }
  }
  std::cout << "replayed " << replayed << " inputs\n";
  return 0;
}
