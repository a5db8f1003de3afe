// Checks the reader against real Outlook-written stores and what two independent readers found
// in them (../shared/testdata). Skips when the folder is absent.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>

#include "reader/block_access.h"
#include "reader/btree_walk.h"
#include "reader/property_list.h"
#include "common/text.h"
#include "tests/support/store_builder.h"
#include "tests/support/test_data.h"

namespace palvara {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

using testing::kTestData;

json ReadJson(const fs::path& path) {
  std::ifstream in(path);
  return json::parse(in);
}

// Runs the command-line tool and returns its standard output and exit code.
std::pair<std::string, int> RunCli(const std::string& args) {
  const std::string command = std::string(PALVARA_CLI_PATH) + " " + args + " 2>/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  std::string out;
  char buffer[65536];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  const int status = ::pclose(pipe);
  return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

class RealStoreTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    truth_ = ReadJson(kTestData / "truth" / (GetParam() + ".json"));
    store_ = kTestData / "stores" / truth_["file"].get<std::string>();
    if (truth_["summary"]["opened_by"].empty()) GTEST_SKIP() << "neither reader opened it";
  }
  json truth_;
  fs::path store_;
};

TEST_P(RealStoreTest, NodeTreeHoldsEveryFolderAndItemUnderTheRightParent) {
  auto [out, code] = RunCli("nodes '" + store_.string() + "' --json");
  ASSERT_EQ(code, 0);
  std::map<std::uint32_t, std::uint32_t> parentOf;
  std::map<std::uint32_t, std::set<std::uint32_t>> messagesOf;
  for (const json& n : json::parse(out)) {
    const auto nid = n["nid"].get<std::uint32_t>();
    const auto parent = n["parent"].get<std::uint32_t>();
    ASSERT_TRUE(parentOf.emplace(nid, parent).second) << "nid listed twice: " << nid;
    if ((nid & 0x1F) == 0x04) messagesOf[parent].insert(nid);
  }
  std::map<std::string, std::uint32_t> folderByPath;
  for (const json& f : truth_["folders"]) folderByPath[f["path"]] = f["nid"];
  for (const json& f : truth_["folders"]) {
    const auto nid = f["nid"].get<std::uint32_t>();
    const std::string path = f["path"];
    ASSERT_TRUE(parentOf.count(nid)) << "folder " << path << " (" << nid << ") missing";
    if (path != "/") {
      const auto slash = path.rfind('/');
      const std::string parentPath = slash == 0 ? "/" : path.substr(0, slash);
      EXPECT_EQ(parentOf[nid], folderByPath.at(parentPath)) << path;
    }
    std::set<std::uint32_t> items;
    for (const json& item : f["item_nids"]) {
      const auto id = item.get<std::uint32_t>();
      items.insert(id);
      ASSERT_TRUE(parentOf.count(id)) << "item " << id << " of " << path << " missing";
      EXPECT_EQ(parentOf[id], nid) << "item " << id;
    }
    // Exactly the peers' messages: no stale page slot read as a live message.
    EXPECT_EQ(messagesOf[nid], items) << path;
  }
}

TEST_P(RealStoreTest, HeaderValuesAndEncodingMatchTheFile) {
  StoreFile store;
  ASSERT_TRUE(OpenStore(store, store_).ok());
  EXPECT_EQ(IndexStore(store), 0);
  const json& header = truth_["header"];
  EXPECT_EQ(store.wVer, header["wVer"].get<std::uint32_t>());
  EXPECT_EQ(store.IsAnsi(), header["format"] == "ANSI");
  EXPECT_EQ(static_cast<int>(store.encoding), header["bCryptMethod"].get<int>());
  EXPECT_TRUE(store.encodingFromHeader);
  EXPECT_TRUE(store.damage.Empty()) << store.damage.Reports().front().ToString();
  const StoreNode* messageStore = FindNode(store, 0x21);
  ASSERT_NE(messageStore, nullptr);
  EXPECT_TRUE(LooksLikePropertyContextHeap(ReadNodeBytes(store, messageStore->dataBlock)));
}

std::string StringValue(const PropertyEntry* entry) {
  if (entry == nullptr || !entry->value) return "";
  if (entry->type == 0x001F) return Utf16LeToUtf8(*entry->value);
  const Bytes& v = *entry->value;
  return std::string(reinterpret_cast<const char*>(v.data()),
                     std::find(v.begin(), v.end(), std::byte{0}) - v.begin());
}

struct OpenedStore {
  std::unique_ptr<StoreFile> store;
  std::unique_ptr<PropertyList> Properties(std::uint32_t nid, SubnodeList& subnodes) {
    const StoreNode* node = FindNode(*store, nid);
    if (node == nullptr) return nullptr;
    ReadSubnodes(*store, node->subnodeBlock, subnodes);
    return ReadPropertyList(*store, node->dataBlock, subnodes);
  }
  // Rows of the attachment table (subnode 0x671) of message `nid`; 0 without one.
  int AttachmentRows(std::uint32_t nid) {
    SubnodeList subnodes;
    if (!Properties(nid, subnodes)) return -1;
    const SubnodeEntry* table = FindSubnodeEntry(subnodes, 0x671);
    if (table == nullptr) return 0;
    SubnodeList tableSubnodes;
    ReadSubnodes(*store, table->subnodes, tableSubnodes);
    auto rows = ReadPropertyList(*store, table->data, tableSubnodes);
    return rows ? rows->rowCount : 0;
  }
};

OpenedStore OpenIndexed(const fs::path& path) {
  OpenedStore opened{std::make_unique<StoreFile>()};
  OpenStore(*opened.store, path);
  IndexStore(*opened.store);
  LoadNamedPropertyMap(*opened.store);
  return opened;
}

TEST_P(RealStoreTest, PropertyListsGiveClassesNamesAndAttachmentCounts) {
  OpenedStore opened = OpenIndexed(store_);
  for (const json& f : truth_["folders"]) {
    const std::string path = f["path"];
    if (path == "/") continue;
    SubnodeList subnodes;
    auto folder = opened.Properties(f["nid"].get<std::uint32_t>(), subnodes);
    ASSERT_NE(folder, nullptr) << path;
    EXPECT_EQ(StringValue(folder->Find(0x3001)), path.substr(path.rfind('/') + 1));
  }
  const fs::path itemsFile = kTestData / "truth" / "items" / (GetParam() + ".json");
  if (!fs::exists(itemsFile)) return;
  const json items = ReadJson(itemsFile);
  int checked = 0;
  for (const json& item : items["items"]) {
    const auto nid = item["nid"].get<std::uint32_t>();
    SubnodeList subnodes;
    auto list = opened.Properties(nid, subnodes);
    ASSERT_NE(list, nullptr) << nid;
    if (item.contains("message_class")) {
      EXPECT_EQ(StringValue(list->Find(0x001A)), item["message_class"]["value"].get<std::string>())
          << nid;
      ++checked;
    }
    EXPECT_EQ(opened.AttachmentRows(nid), static_cast<int>(item["attachments"].size())) << nid;
  }
  EXPECT_EQ(checked > 0, !items["items"].empty());
}

INSTANTIATE_TEST_SUITE_P(SharedStores, RealStoreTest,
                         ::testing::ValuesIn(testing::TruthNames("truth")),
                         testing::StoreParamName());
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(RealStoreTest);

TEST(RealStoreFacts, AnsiPasswordStoreHoldsExactlyItsLiveMessages) {
  const fs::path file = kTestData / "stores" / "pst2john_97_pass12345_ansi.pst";
  if (!fs::exists(file)) GTEST_SKIP() << "test data absent";
  const json truth = ReadJson(kTestData / "truth" / "pst2john_97_pass12345_ansi.pst.json");
  std::set<std::uint32_t> folders;
  for (const json& f : truth["folders"]) folders.insert(f["nid"].get<std::uint32_t>());
  StoreFile store;
  ASSERT_TRUE(OpenStore(store, file).ok());
  IndexStore(store);
  std::size_t messages = 0;
  store.nodes.ForEachPreorder([&](const StoreNode& n, int) {
    if (n.NidType() == 0x04 && n.parent != nullptr && folders.count(n.parent->nid)) ++messages;
  });
  EXPECT_EQ(messages, 294u);
  EXPECT_GT(store.staleNodeEntries.size(), 0u);  // the old slots exist, and were set aside
}

TEST(RealStoreFacts, TruncatedHeaderOpensEmptyWithDamage) {
  const fs::path file = kTestData / "stores" / "jmcleodfoss_truncated_header_40B.pst";
  if (!fs::exists(file)) GTEST_SKIP() << "test data absent";
  auto [nodes, code] = RunCli("nodes '" + file.string() + "' --json");
  EXPECT_EQ(code, 0);
  EXPECT_TRUE(json::parse(nodes).empty());
  auto [info, infoCode] = RunCli("info '" + file.string() + "' --json");
  EXPECT_EQ(infoCode, 0);
  EXPECT_GE(json::parse(info)["damage"]["reports"].get<int>(), 1);
}

// Every prefix of a real store (in steps) reads without harm, and whatever is found sits
// under the same parent as in the whole file: truncation loses nodes, never invents them.
TEST(RealStoreFacts, TruncatedStoresLoseNodesButNeverInventThem) {
  const fs::path file = kTestData / "stores" / "tika_testPST_2020_small.pst";
  if (!fs::exists(file)) GTEST_SKIP() << "test data absent";
  const Bytes whole = testing::ReadFileBytes(file);
  auto full = testing::OpenAndIndex(whole);
  const auto fullPairs = testing::NodesWithParents(*full);
  const std::set<std::pair<std::uint32_t, std::uint32_t>> known(fullPairs.begin(), fullPairs.end());
  std::size_t previous = 0;
  for (std::size_t cut = 0;; cut = std::min(cut + 4096, whole.size())) {
    auto store = testing::OpenAndIndex(Bytes(whole.begin(), whole.begin() + cut));
    const auto pairs = testing::NodesWithParents(*store);
    for (const auto& p : pairs) EXPECT_TRUE(known.count(p)) << cut << ": " << Hex(p.first);
    store->nodes.ForEachPreorder([&store](const StoreNode& n, int) {
      ReadNodeBytes(*store, n.dataBlock);
    });
    EXPECT_GE(pairs.size(), previous) << "a longer prefix lost nodes, at " << cut;
    previous = pairs.size();
    if (cut == whole.size()) break;
  }
  EXPECT_EQ(previous, fullPairs.size());
}

// Every prefix of a real property-context block and of a real table-context block reads as a
// partial list or nothing.
TEST(RealStoreFacts, TruncatedPropertyAndTableBlocksGivePartialResults) {
  const fs::path file = kTestData / "stores" / "libyal_outlook.pst";
  if (!fs::exists(file)) GTEST_SKIP() << "test data absent";
  OpenedStore opened = OpenIndexed(file);
  StoreFile& store = *opened.store;
  const StoreNode* message = FindNode(store, 2097188);
  ASSERT_NE(message, nullptr);
  SubnodeList subnodes;
  ReadSubnodes(store, message->subnodeBlock, subnodes);
  const SubnodeEntry* table = FindSubnodeEntry(subnodes, 0x671);
  ASSERT_NE(table, nullptr);
  std::uint64_t nextId = 0xF0000000;
  for (const BlockEntry* block : {message->dataBlock.Get(), table->data}) {
    ASSERT_FALSE(block->IsInternal());
    const auto whole = ReadPropertyList(store, block, subnodes);
    ASSERT_NE(whole, nullptr);
    for (std::uint32_t n = 0; n <= block->size; ++n) {
      store.blocks.Append({nextId, block->offset, static_cast<std::uint16_t>(n), 2});
      const auto part = ReadPropertyList(store, FindBlock(store, nextId), subnodes);
      nextId += 4;
      if (part) {
        EXPECT_LE(part->count(), whole->count()) << n;
        EXPECT_LE(part->rowCount, whole->rowCount) << n;
      }
    }
  }
}

}  // namespace
}  // namespace palvara
