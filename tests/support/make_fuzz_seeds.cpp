// Writes small synthetic seed inputs for the fuzz targets (fuzz/corpus/<target>/).
#include <filesystem>
#include <fstream>
#include <iostream>
#include <span>
#include <string>

#include "tests/support/heap_builder.h"
#include "writer/sample_generator.h"

namespace {

using namespace palvara;
using namespace palvara::testing;

void Write(const std::filesystem::path& path, ByteSpan bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes Text(const char* ascii) {
  Bytes b;
  for (const char* p = ascii; *p; ++p) {
    b.push_back(static_cast<std::byte>(*p));
    b.push_back(std::byte{0});
  }
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: make-fuzz-seeds FUZZ_CORPUS_DIR\n";
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  const auto pc = MakePropertyContext({{0x001A, 0x001F, Text("IPM.Note")},
                                       {0x0E08, 0x0003, {}, 1234},
                                       {0x1000, 0x001F, {}, 0x3F},
                                       {0x3701, 0x000D, Bytes{std::byte{0x5F}, {}, {}, {}}},
                                       {0x0E06, 0x0040, Bytes(8, std::byte{0x01})}});
  Write(dir / "property_list_fuzzer" / "pc", pc[0]);

  TcSpec spec;
  spec.extraItems = {Text("a.txt")};
  spec.columns = {{0x67F2, 0x0003, 4}, {0x3704, 0x001F, 4}, {0x7FFB, 0x0040, 8},
                  {0x7FFE, 0x000B, 1}};
  Bytes hid(4);
  StoreLe(hid, 0, ExtraItemHid(0), 4);
  spec.rows = {{Bytes(4, std::byte{1}), hid, Bytes(8, std::byte{2}), Bytes(1, std::byte{1})},
               {Bytes(4, std::byte{2}), std::nullopt, Bytes(8, std::byte{3}), std::nullopt}};
  Write(dir / "property_list_fuzzer" / "tc", MakeTableContext(spec).heap[0]);

  Bytes named(2 + 24);
  StoreLe(named, 0, 24, 2);
  StoreLe(named, 2, 0x8205, 4);
  StoreLe(named, 6, 4, 2);
  StoreLe(named, 8, 1, 2);
  StoreLe(named, 10, 0, 4);
  StoreLe(named, 14, 7, 2);
  StoreLe(named, 16, 2, 2);
  StoreLe(named, 18, 0x8205, 4);
  StoreLe(named, 22, 4, 2);
  StoreLe(named, 24, 1, 2);
  Bytes strings(4);
  StoreLe(strings, 0, 8, 4);
  const Bytes name = Text("Name");
  strings.insert(strings.end(), name.begin(), name.end());
  named.insert(named.end(), strings.begin(), strings.end());
  Write(dir / "named_map_fuzzer" / "map", named);

  const unsigned char example[] = {
      0x2d, 0x00, 0x00, 0x00, 0x2b, 0x00, 0x00, 0x00, 0x4c, 0x5a, 0x46, 0x75, 0xf1, 0xc5, 0xc7,
      0xa7, 0x03, 0x00, 0x0a, 0x00, 0x72, 0x63, 0x70, 0x67, 0x31, 0x32, 0x35, 0x42, 0x32, 0x0a,
      0xf3, 0x20, 0x68, 0x65, 0x6c, 0x09, 0x00, 0x20, 0x62, 0x77, 0x05, 0xb0, 0x6c, 0x64, 0x7d,
      0x0a, 0x80, 0x0f, 0xa0};
  Write(dir / "rtf_decompress_fuzzer" / "hello", std::as_bytes(std::span(example)));
  const std::string rtf =
      "{\\rtf1\\ansi\\ansicpg1252{\\fonttbl{\\f0 Arial;}}{\\*\\generator x;}Hello\\par "
      "caf\\'e9 \\u20013?\\uc2\\u-3??\\tab{\\b bold}\\bin2 ab\\line end}";
  Write(dir / "rtf_text_fuzzer" / "document",
        std::as_bytes(std::span(rtf.data(), rtf.size())));
  palvara::SampleOptions sample;
  sample.messages = 5;
  // The same sample in 4 KiB pages, its blocks compressed.
  palvara::SampleOptions fourK = sample;
  fourK.encoding = EncodingMethod::kNone;
  fourK.layout = NdbLayout{&k4kGeometry, true, kClientOst};
  for (const char* target : {"check_fuzzer", "save_fuzzer", "scan_fuzzer", "store_fuzzer"}) {
    std::filesystem::create_directories(dir / target);
    const bool unicode = std::string(target) != "store_fuzzer";
    if ((unicode && !palvara::WriteSampleStore(dir / target / "sample-store.bin", sample, nullptr).ok()) ||
        !palvara::WriteSampleStore(dir / target / "sample-store-4k.bin", fourK, nullptr).ok()) {
      std::cerr << "make-fuzz-seeds: cannot write the sample store\n";
      return 1;
    }
  }
  std::cout << "seeds written to " << dir << "\n";
  return 0;
}
