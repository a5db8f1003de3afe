// palvara-cli recover on the shared stores, the new PST against its source item by item: both
// exported by pffexport (every item in the folder of the same path, every field and file it
// writes equal), and both listed by our own reader (class, subject and sender). The new PST
// also passes our check and readpst.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>

#include "common/damage.h"
#include "common/text.h"
#include "items/mapping.h"
#include "reader/block_access.h"
#include "reader/btree_walk.h"
#include "reader/property_list.h"
#include "reader/store_file.h"
#include "tests/support/store_items.h"
#include "tests/support/test_data.h"
#include "writer/store_check.h"
#include "writer/table_templates.h"

namespace palvara {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::kTestData;

// Fields that differ by design: the size of an item (of every kind, attached messages too) is
// that of its new node.
bool DiffersByDesign(const std::string& key) {
  const std::string field = key.substr(0, key.find('#'));
  return field.ends_with(".txt/Size");
}

// One exported item: every field ("file/key#n" -> value) and every file of its folder,
// attachments and attached messages included ("path" -> content).
using Fields = std::map<std::string, std::string>;

std::string ReadText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// "Key:<tabs>value" lines as fields; a key met again (one block per recipient) is numbered.
void AddKeyValueFile(const std::string& prefix, const std::string& text, Fields& fields) {
  std::map<std::string, int> seen;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const auto colon = line.find(':');
    if (colon == std::string::npos || colon == 0) continue;
    const std::string key = prefix + "/" + line.substr(0, colon);
    const auto value = line.find_first_not_of('\t', colon + 1);
    const int n = seen[key]++;
    fields[n == 0 ? key : key + "#" + std::to_string(n)] = value == std::string::npos ? "" : line.substr(value);
  }
}

void CollectItem(const fs::path& dir, const std::string& prefix, Fields& fields) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) {
    const std::string name = e.path().filename().string();
    const std::string key = prefix.empty() ? name : prefix + "/" + name;
    if (e.is_directory()) {
      CollectItem(e.path(), key, fields);
    } else if (name.ends_with(".txt") && name != "Message.txt" && name != "InternetHeaders.txt") {
      AddKeyValueFile(key, ReadText(e.path()), fields);
    } else {
      fields[key] = ReadText(e.path());
    }
  }
}

bool IsItemDir(const std::string& name) {
  static const std::regex kItem("[A-Za-z]+[0-9]{5}");
  return std::regex_match(name, kItem);
}
std::string KindOf(const std::string& itemDir) { return itemDir.substr(0, itemDir.size() - 5); }

struct ExportedItem {
  std::string folder;  // below the top folder
  std::string kind;    // "Message", "Contact", ...
  std::string dir;
  Fields fields;
};

void CollectFolder(const fs::path& dir, const std::string& folder, std::vector<ExportedItem>& items) {
  std::error_code ec;
  std::vector<fs::path> entries;
  for (const auto& e : fs::directory_iterator(dir, ec)) {
    if (e.is_directory()) entries.push_back(e.path());
  }
  std::sort(entries.begin(), entries.end());
  for (const fs::path& e : entries) {
    const std::string name = e.filename().string();
    if (IsItemDir(name)) {
      ExportedItem item{folder, KindOf(name), name, {}};
      CollectItem(e, "", item.fields);
      items.push_back(std::move(item));
    } else {
      CollectFolder(e, folder + name + "/", items);
    }
  }
}

// The display name of the top of the personal folders (the IPM subtree, node 0x8022): the
// folder pffexport exports the user's folders under.
std::string TopFolderName(const fs::path& store) {
  StoreFile file;
  if (!OpenStore(file, store).ok()) return "";
  IndexStore(file);
  LoadNamedPropertyMap(file);
  const StoreNode* top = FindNode(file, 0x8022);
  if (top == nullptr) return "";
  const auto record = LoadItem(file, *top, MapContextFor(file));
  return record && record->displayName ? *record->displayName : "";
}

// Differences accounted for one by one: fields pffexport does not show for the source while the
// source holds them, and the copy (written in the plain layout) shows them.
const std::map<std::string, std::vector<std::string>> kUnreadInSource = {
    // The message's recipient table has one row (To xmailuser), which pffexport does not list.
    {"rubymsg_msg_in_msg.pst", {"Message00001 Recipients.txt/"}},
};

bool AccountedFor(const std::string& store, const std::string& difference) {
  const auto it = kUnreadInSource.find(store);
  if (it == kUnreadInSource.end()) return false;
  for (const std::string& prefix : it->second) {
    if (difference.rfind(prefix, 0) == 0 && difference.find(": \"<absent>\" vs") != std::string::npos) return true;
  }
  return false;
}

struct Comparison {
  std::size_t items = 0, present = 0, values = 0, equal = 0;
  std::vector<std::string> differences;
};

// Pairs each source item with the unused new item of its folder and kind that agrees with it
// in the most fields, and counts the field values that are equal.
Comparison Compare(const std::vector<ExportedItem>& source, const std::vector<ExportedItem>& saved) {
  Comparison c;
  std::vector<bool> used(saved.size(), false);
  for (const ExportedItem& s : source) {
    ++c.items;
    std::size_t best = saved.size(), bestEqual = 0;
    for (std::size_t k = 0; k < saved.size(); ++k) {
      if (used[k] || saved[k].folder != s.folder || saved[k].kind != s.kind) continue;
      std::size_t equal = 0;
      for (const auto& [key, value] : s.fields) {
        const auto it = saved[k].fields.find(key);
        equal += it != saved[k].fields.end() && it->second == value ? 1 : 0;
      }
      if (best == saved.size() || equal > bestEqual) {
        best = k;
        bestEqual = equal;
      }
    }
    if (best == saved.size()) {
      c.differences.push_back(s.folder + s.dir + ": missing");
      continue;
    }
    used[best] = true;
    ++c.present;
    const Fields& t = saved[best].fields;
    std::set<std::string> keys;
    for (const auto& [key, value] : s.fields) keys.insert(key);
    for (const auto& [key, value] : t) keys.insert(key);
    for (const std::string& key : keys) {
      if (DiffersByDesign(key)) continue;
      const auto a = s.fields.find(key);
      const auto b = t.find(key);
      ++c.values;
      if (a != s.fields.end() && b != t.end() && a->second == b->second) {
        ++c.equal;
      } else {
        c.differences.push_back(s.folder + s.dir + " " + key + ": \"" +
                                (a != s.fields.end() ? a->second.substr(0, 80) : "<absent>") + "\" vs \"" +
                                (b != t.end() ? b->second.substr(0, 80) : "<absent>") + "\"");
      }
    }
  }
  return c;
}

// What our reader lists for a store: folder, class, subject and sender of every item.
std::multiset<std::string> ListedItems(const std::string& settings, const fs::path& store) {
  int status = 0;
  const std::string out = testing::CaptureCommand(settings + PALVARA_CLI_PATH + " analyze '" + store.string() +
                                                      "' --json --items 2>/dev/null", &status);
  std::multiset<std::string> items;
  const json j = json::parse(out, nullptr, false);
  if (j.is_discarded()) return items;
  for (const json& m : j["messages"]) {
    items.insert(m["folder"].get<std::string>() + " | " + m["class"].dump() + " | " + m["subject"].dump() +
                 " | " + m["sender"].dump());
  }
  return items;
}

std::string HexOf(ByteSpan bytes) {
  static const char* const kDigits = "0123456789ABCDEF";
  std::string out;
  for (std::byte b : bytes) {
    out += kDigits[std::to_integer<int>(b) >> 4];
    out += kDigits[std::to_integer<int>(b) & 15];
  }
  return out;
}

// The attachment tables' rows, each with its folder and the values of the columns readers name
// and list attachments from (strings as text, whatever their 8-bit or Unicode type).
struct AttachmentRow {
  std::string folder;
  std::map<std::uint32_t, std::string> cells;
};

std::vector<AttachmentRow> AttachmentRows(const fs::path& path) {
  std::vector<AttachmentRow> rows;
  testing::StoreItems items;
  if (!testing::LoadStoreItems(path, items)) return rows;
  std::set<std::uint32_t> ids;
  for (const Tags* tags : {&kAttachmentColumns, &kAttachmentListingColumns}) {
    for (std::uint32_t tag : *tags) ids.insert(tag >> 16);
  }
  for (const auto& [folder, nodes] : items.nodes) {
    for (const StoreNode* node : nodes) {
      SubnodeList subnodes, inner;
      ReadSubnodes(items.store, node->subnodeBlock, subnodes);
      const SubnodeEntry* table = FindSubnodeEntry(subnodes, 0x671);
      if (table == nullptr) continue;
      ReadSubnodes(items.store, table->subnodes, inner);
      const auto list = ReadPropertyList(items.store, table->data, inner);
      for (const PropertyList* row = list.get(); row != nullptr; row = row->next.get()) {
        AttachmentRow& r = rows.emplace_back(AttachmentRow{folder, {}});
        for (const PropertyEntry& e : row->entries) {
          if (ids.count(e.id) == 0 || !e.value) continue;
          const ByteSpan v(*e.value);
          r.cells[e.id] = e.type == 0x001F   ? Utf16LeToUtf8(v)
                          : e.type == 0x001E ? CodePageToUtf8(v, 1252)
                                             : HexOf(v);
        }
      }
    }
  }
  return rows;
}

// The source's rows that no row of the new store in the same folder holds with every one of
// their cells (the new rows may carry more columns: those the attachment itself has).
std::vector<std::string> RowsNotCarried(const std::vector<AttachmentRow>& source,
                                        std::vector<AttachmentRow> saved) {
  std::vector<std::string> missing;
  for (const AttachmentRow& row : source) {
    const auto found = std::find_if(saved.begin(), saved.end(), [&row](const AttachmentRow& s) {
      return s.folder == row.folder &&
             std::all_of(row.cells.begin(), row.cells.end(), [&s](const auto& cell) {
               const auto at = s.cells.find(cell.first);
               return at != s.cells.end() && at->second == cell.second;
             });
    });
    if (found != saved.end()) {
      saved.erase(found);
      continue;
    }
    std::string shown = row.folder;
    for (const auto& [id, value] : row.cells) shown += " | " + Hex(id) + "=" + value;
    missing.push_back(shown);
  }
  return missing;
}

class RecoverSharedTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("palvara-recover-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    std::ofstream(dir_ / "PV_PST.ini") << "[PV_PST]\nLogPath=" << dir_.string() << "\n";
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_P(RecoverSharedTest, TheNewStoreHoldsEveryItemAsTheSourceHasIt) {
  const json truth = json::parse(std::ifstream(kTestData / "truth" / (GetParam() + ".json")));
  if (truth["summary"]["opened_by"].empty()) GTEST_SKIP() << "neither reader opened it";
  const fs::path source = kTestData / "stores" / truth["file"].get<std::string>();
  int status = 0;
  const std::string settings = "PALVARA_SETTINGS='" + (dir_ / "PV_PST.ini").string() + "' ";
  const json saved = json::parse(testing::CaptureCommand(settings + PALVARA_CLI_PATH + " recover '" + source.string() +
                                     "' --to '" + (dir_ / "out").string() + "' --json 2>/dev/null",
                                     &status));
  ASSERT_EQ(status, 0) << saved.dump();
  ASSERT_EQ(saved["outcome"], "completed");
  ASSERT_EQ(saved["outputFiles"].size(), 1u);
  EXPECT_EQ(saved["notWritten"], 0) << saved["unsaved"].dump();
  const fs::path output = saved["outputFiles"][0].get<std::string>();
  EXPECT_EQ(CheckStore(output).Errors(), 0u);

  // Our own reader lists the same items on both sides.
  const std::multiset<std::string> before = ListedItems(settings, source);
  const std::multiset<std::string> after = ListedItems(settings, output);
  EXPECT_EQ(after, before);
  EXPECT_EQ(saved["written"], static_cast<int>(before.size()));
  // Every attachment is listed in its message's table with the same names, kinds and flags.
  const std::vector<AttachmentRow> sourceRows = AttachmentRows(source);
  const std::vector<AttachmentRow> savedRows = AttachmentRows(output);
  EXPECT_EQ(savedRows.size(), sourceRows.size());
  const std::vector<std::string> notCarried = RowsNotCarried(sourceRows, savedRows);
  EXPECT_TRUE(notCarried.empty()) << notCarried.size() << " rows, the first: "
                                  << (notCarried.empty() ? "" : notCarried.front());

  if (std::system("command -v pffexport >/dev/null 2>&1 && command -v readpst >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "pffexport or readpst is not installed";
  }
  std::vector<ExportedItem> sourceItems, savedItems;
  for (const auto& [store, name, items] :
       {std::tuple<fs::path, std::string, std::vector<ExportedItem>*>{source, "src", &sourceItems},
        {output, "dst", &savedItems}}) {
    const std::string top = TopFolderName(store);
    ASSERT_FALSE(top.empty()) << store;
    ASSERT_EQ(std::system(("pffexport -q -m all -f all -t '" + (dir_ / name).string() + "' '" + store.string() +
                           "' >/dev/null 2>&1").c_str()), 0) << store;
    const fs::path exported = dir_ / (name + ".export") / top;
    ASSERT_TRUE(fs::is_directory(exported)) << exported;
    CollectFolder(exported, "", *items);
  }
  Comparison c = Compare(sourceItems, savedItems);
  std::erase_if(c.differences, [&](const std::string& d) { return AccountedFor(GetParam(), d); });
  // Figures for the record: items present and field values equal.
  RecordProperty("items", static_cast<int>(c.items));
  RecordProperty("present", static_cast<int>(c.present));
  RecordProperty("values", static_cast<int>(c.values));
  RecordProperty("equal", static_cast<int>(c.equal));
  EXPECT_EQ(c.present, c.items);
  EXPECT_EQ(savedItems.size(), sourceItems.size());
  std::string shown;
  for (std::size_t i = 0; i < std::min<std::size_t>(c.differences.size(), 20); ++i) shown += c.differences[i] + "\n";
  EXPECT_TRUE(c.differences.empty()) << c.differences.size() << " of " << c.values << " differ:\n" << shown;

  fs::create_directories(dir_ / "rp");
  EXPECT_EQ(std::system(("readpst -j 0 -D -M -b -o '" + (dir_ / "rp").string() + "' '" + output.string() +
                         "' >/dev/null 2>&1").c_str()), 0);
}

INSTANTIATE_TEST_SUITE_P(SharedStores, RecoverSharedTest,
                         ::testing::ValuesIn(testing::TruthNames("truth")),
                         testing::StoreParamName());
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(RecoverSharedTest);

}  // namespace
}  // namespace palvara
