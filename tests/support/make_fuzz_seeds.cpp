// Writes small synthetic seed inputs for the fuzz targets (fuzz/corpus/<target>/).
#include <filesystem>
#include <fstream>
#include <iostream>
#include <span>
#include <string>

#include "tests/support/crafted_files.h"
#include "tests/support/heap_builder.h"
#include "writer/sample_generator.h"
#include "writer/store_writer.h"

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

// A store whose folder and subject names are what an export must not take as paths: dot names,
// separators, backslashes at either end, names of the export's own files, device names, names
// past 255 bytes and a deep tree of long names.
bool WriteAwkwardNames(const std::filesystem::path& path) {
  Status status = Status::Ok();
  auto w = StoreWriter::Create(path, "Personal Folders", EncodingMethod::kPermute, &status);
  if (!w) return false;
  MessageSpec m;
  m.body = "x";
  std::uint32_t last = kNidIpmSubtree;
  for (const char* name : {"..", ".", "a/b", "a\\b", "a:b", "\\lead", "trail\\", "mbox", "Maildir",
                           "contacts.vcf", "CON", ".hidden", "mbox.part"}) {
    last = w->CreateFolder(kNidIpmSubtree, name, "IPF.Note");
    for (const char* subject : {"../../escape", "/etc/passwd", ""}) {
      m.subject = subject;
      w->AddMessage(last, m);
    }
  }
  w->AddMessage(w->CreateFolder(last, std::string(300, 'n'), "IPF.Note"), m);
  std::uint32_t deep = kNidIpmSubtree;
  for (int level = 0; level < 12; ++level) {
    deep = w->CreateFolder(deep, std::string(100, static_cast<char>('a' + level)), "IPF.Note");
    w->AddMessage(deep, m);
  }
  w->AddContact(w->CreateFolder(kNidIpmSubtree, "Contacts", "IPF.Contact"),
                {"../card", "", "", "", "x@example.com", "", ""});
  return w->Finish().ok();
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
  // Bodies wrapped in RTF: HTML with htmlrtf parts, an image, MHTML links and Windows-1252
  // bytes; text in code page 936; Japanese fonts with surrogates, a UTF-8 font and binary data.
  const std::string html =
      "{\\rtf1\\ansi\\ansicpg1252\\fromhtml1 \\deff0{\\fonttbl\r\n{\\f0\\fswiss\\fcharset0 Arial;}"
      "\r\n{\\f1\\fmodern Courier New;}}\r\n{\\colortbl\\red0\\green0\\blue0;}\r\n"
      "\\uc1\\pard\\plain\\deftab360 \\f0\\fs24 \r\n{\\*\\htmltag19 <html>}{\\*\\htmltag34 <head>}"
      "{\\*\\htmltag161 <meta http-equiv=\"Content-Type\" content=\"text/html; "
      "charset=windows-1252\">}\r\n{\\*\\htmltag241 <style>\\par p \\{margin:0\\}\\par </style>}"
      "{\\*\\htmltag41 </head>}\r\n{\\*\\htmltag50 <body lang=EN-US>}\\htmlrtf \\lang1033 "
      "\\htmlrtf0 \r\n{\\*\\htmltag64 <p>}\\htmlrtf {\\htmlrtf0 Caf\\'e9 \\lquote quoted\\rquote , "
      "{\\*\\htmltag84 <b>}\\htmlrtf {\\b \\htmlrtf0 bold{\\*\\htmltag92 </b>}\\htmlrtf }"
      "\\htmlrtf0 \r\n{\\*\\htmltag84 <img src=\"cid:image001.png@01D2\">}\\htmlrtf {\\field"
      "{\\*\\fldinst INCLUDEPICTURE}{\\fldrslt x}}\\htmlrtf0 \r\n{\\*\\mhtmltag84 <a "
      "href=\"http://example.com/\">}{\\*\\htmltag84 <a href=\"page.htm\">}link"
      "{\\*\\htmltag92 </a>}\\htmlrtf\\par}\\htmlrtf0 \r\n{\\*\\htmltag72 </p>}"
      "{\\*\\htmltag58 </body>}{\\*\\htmltag27 </html>}}\r\n";
  const std::string text =
      "{\\rtf1\\ansi\\fbidis\\ansicpg936\\deff0\\deftab720\\fromtext{\\fonttbl{\\f0\\fswiss"
      "\\fcharset134 Times New Roman;}{\\f1\\fswiss\\fcharset2\r\nSymbol;}}\r\n"
      "{\\colortbl;\\red192\\green192\\blue192;}\r\n\\viewkind5\\viewscale100\r\n"
      "{\\*\\bkmkstart BM_BEGIN}\\pard\\ql\\plain\\fs20\\f0{a@example.com\\line\r\n"
      "*\\'d6\\'d0*\\'ce\\'c4*\\tab end\\line\r\n}}\r\n";
  const std::string japanese =
      "{\\rtf1\\ansi\\ansicpg932\\fromhtml1 \\fbidis \\deff0{\\fonttbl\r\n"
      "{\\f0\\fswiss\\fcharset128 MS PGothic;}{\\f2\\fnil\\fcharset2 Symbol;}"
      "{\\f3\\fmodern\\fcharset0 Courier New;}{\\f4\\cpg65001 U;}}\r\n\\uc1\\pard\\plain \\f0 \r\n"
      "{\\*\\htmltag64 <p>}\\htmlrtf {\\htmlrtf0 \\'82\\'6c\\'82\\'72 {\\f3 caf\\'e9} "
      "{\\f4 \\'e6\\'97\\'a5}\r\n\\uc2\\u26085\\'93\\'fa\\u-10179??\\u-8704??\\bin3 abc}\r\n"
      "{\\*\\htmltag72 </p>}}\r\n";
  for (const auto& [seed, document] :
       {std::pair{"html", &html}, std::pair{"text", &text}, std::pair{"japanese", &japanese}}) {
    Write(dir / "rtf_html_fuzzer" / seed, std::as_bytes(std::span(*document)));
  }
  palvara::SampleOptions sample;
  sample.messages = 5;
  // The same sample in 4 KiB pages, its blocks compressed.
  palvara::SampleOptions fourK = sample;
  fourK.encoding = EncodingMethod::kNone;
  fourK.layout = NdbLayout{&k4kGeometry, true, kClientOst};
  for (const char* target : {"check_fuzzer", "save_fuzzer", "scan_fuzzer", "store_fuzzer", "export_fuzzer"}) {
    std::filesystem::create_directories(dir / target);
    const bool unicode = std::string(target) != "store_fuzzer";
    if ((unicode && !palvara::WriteSampleStore(dir / target / "sample-store.bin", sample, nullptr).ok()) ||
        !palvara::WriteSampleStore(dir / target / "sample-store-4k.bin", fourK, nullptr).ok()) {
      std::cerr << "make-fuzz-seeds: cannot write the sample store\n";
      return 1;
    }
  }
  // One small crafted file of each shape for the recovery pass, the layouts taken in turn and
  // every other header wiped (the layout then comes from the pages).
  const Geometry* layouts[] = {&kUnicodeGeometry, &kAnsiGeometry, &k4kGeometry};
  std::size_t turn = 0;
  for (CraftedShape shape : AllCraftedShapes()) {
    CraftedSpec crafted;
    crafted.shape = shape;
    crafted.geometry = layouts[turn % 3];
    crafted.wipeHeader = turn % 2 == 1;
    crafted.size = crafted.geometry->pageSize == kSmallPageSize ? 48 << 10 : 160 << 10;
    ++turn;
    const Bytes bytes = CraftedBytes(crafted);
    Write(dir / "scan_fuzzer" /
              (std::string("crafted-") + CraftedShapeName(shape) + "-" + crafted.geometry->name +
               ".bin"),
          bytes);
  }
  if (!WriteAwkwardNames(dir / "export_fuzzer" / "awkward-names.bin")) {
    std::cerr << "make-fuzz-seeds: cannot write the store of awkward names\n";
    return 1;
  }
  std::cout << "seeds written to " << dir << "\n";
  return 0;
}
