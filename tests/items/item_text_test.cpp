// Item and folder texts end to end: 8-bit strings through the code page the item, or else the
// store, names; the folders of stores written on Japanese systems; IMAP mail folders.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/commands.h"
#include "tests/support/cli_run.h"
#include "tests/support/store_sketch.h"
#include "tests/support/test_data.h"

namespace palvara {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::kTestData;
using testing::RunJson;
using testing::PcProperty;

Bytes Narrow(const std::string& bytes) {
  Bytes b;
  for (char c : bytes) b.push_back(static_cast<std::byte>(c));
  return b;
}

// The folder paths of an analysis, and the items of each by kind.
std::map<std::string, json> Folders(const std::string& file) {
  std::map<std::string, json> out;
  const json analysis = RunJson({"analyze", file, "--json"});
  for (const json& f : analysis["folders"]) out[f["path"]] = f["children"];
  return out;
}

TEST(ItemTextTest, AnsiStoreTextsFollowTheItemsOrTheStoresCodePage) {
  // A store written on a Japanese system: its message store object names the locale 1041,
  // its folder and first message name nothing; the second message names code page 1251.
  testing::StoreSketch s(0x8022, {{0x66A1, 0x0003, {}, 1041}});
  const std::string deleted = "\x8D\xED\x8F\x9C\x8D\xCF\x82\xDD\x83\x41\x83\x43\x83\x65\x83\x80";
  s.Node(0x8042, 0x8022, {{0x3001, 0x001E, Narrow(deleted)}, {0x3602, 0x0003, {}, 2},
                          {0x3613, 0x001E, Narrow("IPF.Note")}});
  s.Node(0x200024, 0x8042, {{0x001A, 0x001E, Narrow("IPM.Note")},
                            {0x0037, 0x001E, Narrow("\x8C\x8F\x96\xBC\x83\x65\x83\x58\x83\x67")}});
  s.Node(0x200044, 0x8042, {{0x001A, 0x001E, Narrow("IPM.Note")},
                            {0x0037, 0x001E, Narrow("\xCF\xF0\xE8\xE2\xE5\xF2")},
                            {0x3FFD, 0x0003, {}, 1251}});
  const fs::path path = fs::temp_directory_path() / ("palvara-text-" + std::to_string(::getpid()) + ".pst");
  {
    const Bytes image = s.Build(testing::Layout::kAnsi);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  }
  const auto folders = Folders(path.string());
  EXPECT_EQ(folders.count("Personal Folders\\削除済みアイテム\\"), 1u) << json(folders).dump();
  const json first = RunJson({"item", path.string(), "0x200024", "--json"});
  const json second = RunJson({"item", path.string(), "0x200044", "--json"});
  const json props = RunJson({"props", path.string(), "0x8042", "--json"});
  fs::remove(path);
  ASSERT_TRUE(first.is_object() && second.is_object());
  EXPECT_EQ(first["mail"]["subject"], "件名テスト");
  EXPECT_EQ(second["mail"]["subject"], "Привет");
  // props shows 8-bit strings through the same code page.
  ASSERT_TRUE(props.contains("entries"));
  EXPECT_EQ(props["entries"][0]["value"], "削除済みアイテム");
}

TEST(ItemTextTest, JapaneseFolderNamesComeOutRight) {
  const fs::path file = kTestData / "stores" / "hiraoka_contacts.pst";
  if (!fs::exists(file)) GTEST_SKIP() << "test data absent";
  const auto folders = Folders(file.string());
  EXPECT_EQ(folders.count("Personal Folders\\削除済みアイテム\\"), 1u);
  ASSERT_EQ(folders.count("Personal Folders\\連絡先 (Contact dedicated)\\"), 1u);
  EXPECT_EQ(folders.at("Personal Folders\\連絡先 (Contact dedicated)\\")["contact"], 1);
}

TEST(ItemTextTest, ImapMailStaysInItsInboxAndSentItems) {
  const fs::path file = kTestData / "stores" / "aranetic_flags_jane_doe.pst";
  if (!fs::exists(file)) GTEST_SKIP() << "test data absent";
  const json analysis = RunJson({"analyze", file.string(), "--json"});
  ASSERT_TRUE(analysis.is_object());
  std::map<std::string, int> mail;
  for (const json& f : analysis["folders"]) mail[f["path"]] = f["itemCount"];
  EXPECT_EQ(mail["Personal Folders\\Inbox\\"], 6);
  EXPECT_EQ(mail["Personal Folders\\Sent Items\\"], 2);
  EXPECT_EQ(mail["Personal Folders\\"], 0);
  EXPECT_EQ(analysis["counters"]["Inbox"], 6);
  EXPECT_EQ(analysis["counters"]["Sent Items"], 2);
}

}  // namespace
}  // namespace palvara
