// The recovery pass as the analysis uses it: damaged copies of real and generated stores give
// back at least a committed share of the intact store's items (subject, folder and attachment
// count), never less than the walk alone; intact stores analyse the same with and without the
// pass; lost folders come back by name or into "Recovered Items"; and a store saved from a
// damaged copy is sound.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <tuple>

#include "items/analysis.h"
#include "reader/block_access.h"
#include "reader/btree_walk.h"
#include "tests/support/damage_kinds.h"
#include "tests/support/test_data.h"
#include "writer/sample_generator.h"
#include "writer/store_check.h"

namespace palvara {
namespace {

namespace fs = std::filesystem;
using testing::DamageKind;
using testing::kTestData;

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/palvara-recovery-XXXXXX";
    path_ = ::mkdtemp(pattern);
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

void WriteBytes(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

AnalysisResult Analyze(const fs::path& path, ScanMode scan) {
  AnalysisOptions options;
  options.sourcePath = path;
  options.collectItems = true;
  options.scan = scan;
  AnalysisObserver observer;
  RunControl control;
  return RunAnalysis(options, observer, control);
}

using ItemKey = std::tuple<std::string, std::string, std::size_t>;

std::map<ItemKey, int> Keys(const AnalysisResult& r) {
  std::map<ItemKey, int> keys;
  for (const ItemSummary& s : r.items) ++keys[{s.subject, s.folder, s.attachments}];
  return keys;
}

// The share of the intact analysis' items that `damaged` has with equal subject, folder and
// attachment count.
double Share(const AnalysisResult& intact, const AnalysisResult& damaged) {
  const auto want = Keys(intact);
  const auto got = Keys(damaged);
  int total = 0, found = 0;
  for (const auto& [key, count] : want) {
    total += count;
    auto it = got.find(key);
    found += it == got.end() ? 0 : std::min(count, it->second);
  }
  return total == 0 ? 1.0 : static_cast<double>(found) / total;
}

// Recovers `damaged` into `dir`/out with the command line; returns the new store (empty when
// the run failed).
fs::path RecoverWithCli(const fs::path& damaged, const fs::path& dir) {
  const std::string settings = "PALVARA_SETTINGS='" + (dir / "PV_PST.ini").string() + "' ";
  int status = 0;
  const nlohmann::json saved = nlohmann::json::parse(testing::CaptureCommand(
      settings + PALVARA_CLI_PATH + " recover '" + damaged.string() + "' --to '" +
          (dir / "out").string() + "' --json 2>/dev/null",
      &status));
  EXPECT_EQ(status, 0) << saved.dump();
  if (status != 0 || saved["outputFiles"].size() != 1) return {};
  return saved["outputFiles"][0].get<std::string>();
}

// The items `pffexport` finds in `store` (attached messages not counted); -1 when it fails.
int PffexportItems(const fs::path& store, const fs::path& dir) {
  int status = 0;
  testing::CaptureCommand("pffexport -q -t '" + (dir / "pff").string() + "' '" + store.string() +
                              "' >/dev/null 2>&1",
                          &status);
  if (status != 0) return -1;
  const std::regex item("(Message|Contact|Appointment|Task|Note|Activity)[0-9]+");
  int items = 0;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir / "pff.export", ec);
       it != fs::recursive_directory_iterator(); ++it) {
    items += it->is_directory() && std::regex_match(it->path().filename().string(), item) &&
             it->path().string().find("/Attachments/") == std::string::npos;
  }
  return items;
}

// The share each kind must keep, on every store of the set. Generated samples write the
// message store, the named-property map and every folder with its tables last: a cut takes
// them all, and with them every item's folder. Zeroed runs and cuts also take items' own data,
// which no pass brings back: on a store of a few dozen items one hit costs a large share.
// A store of 4 KiB pages keeps up to 126 node entries in one leaf: a sample of 60 messages has
// every folder in its first leaf, and with it lost, its items come back into "Recovered Items"
// (which the share counts as lost) or not at all.
double Floor(DamageKind kind, const std::string& store) {
  const bool generated = store.rfind("sample:", 0) == 0;
  if (kind == DamageKind::kNodeLeafZeroed && store.rfind("sample:4k", 0) == 0) return 0.0;
  switch (kind) {
    case DamageKind::kHeaderWiped:
    case DamageKind::kBlockRootZeroed:
    case DamageKind::kNodeRootZeroed:
    case DamageKind::kCrcsSpoiled:
    case DamageKind::kBlockLeafZeroed:
    case DamageKind::kNodeLeafZeroed:
      return 0.95;
    case DamageKind::kBitFlips:
      return 0.90;
    case DamageKind::kCut10:
      return generated ? 0.0 : 0.90;
    case DamageKind::kRunsZeroed:
      return 0.60;
    case DamageKind::kCut25:
      return generated ? 0.0 : 0.25;
  }
  return 1.0;
}

// Stores of the damage set: real ones of both layouts and all three encodings, and generated
// samples (written on first use).
std::vector<std::string> DamageSet() {
  return {"aranetic_flags_jane_doe.pst", "pstsdk_sample2_ansi.pst",
          "pst2john_2003_compressible_quickquick.pst", "libyal_outlook.pst", "tika_testPST_2018.pst",
          "sample:permute", "sample:cyclic", "sample:4k", "sample:4k-compressed"};
}

fs::path StorePath(const std::string& name, const fs::path& dir) {
  if (name.rfind("sample:", 0) != 0) return kTestData / "stores" / name;
  const fs::path path = dir / (name.substr(7) + ".pst");
  SampleOptions options;
  options.messages = 60;
  options.seed = 7;
  options.encoding = name == "sample:cyclic" ? EncodingMethod::kCyclic : EncodingMethod::kPermute;
  if (name.rfind("sample:4k", 0) == 0) {
    options.encoding = EncodingMethod::kNone;
    options.layout = NdbLayout{&k4kGeometry, name == "sample:4k-compressed", kClientOst};
  }
  SampleSummary summary;
  EXPECT_TRUE(WriteSampleStore(path, options, &summary).ok());
  return path;
}

class DamageSetTest : public ::testing::TestWithParam<std::string> {
 protected:
  TempDir dir_;
};

TEST_P(DamageSetTest, EachKindKeepsItsFloorAndNeverLosesToTheWalk) {
  const fs::path source = StorePath(GetParam(), dir_.path());
  if (!fs::exists(source)) GTEST_SKIP() << "no test data";
  const AnalysisResult intact = Analyze(source, ScanMode::kOff);
  ASSERT_FALSE(intact.items.empty());
  const Bytes bytes = testing::ReadFileBytes(source);
  for (DamageKind kind : testing::AllDamageKinds()) {
    for (std::uint64_t seed : {1u, 2u}) {
      const fs::path damaged = dir_.path() / "damaged.pst";
      WriteBytes(damaged, testing::Damage(bytes, kind, seed));
      const double walk = Share(intact, Analyze(damaged, ScanMode::kOff));
      const AnalysisResult recovered = Analyze(damaged, ScanMode::kAuto);
      const double share = Share(intact, recovered);
      SCOPED_TRACE(std::string(testing::DamageKindName(kind)) + ", seed " + std::to_string(seed));
      // A store of a handful of items holds them all on one leaf: only the walk bounds it.
      if (intact.items.size() >= 5) {
        EXPECT_GE(share, Floor(kind, GetParam()));
      }
      EXPECT_GE(share + 1e-9, walk);
      if (share > walk) {
        EXPECT_GT(recovered.itemsFromScan, 0);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Stores, DamageSetTest, ::testing::ValuesIn(DamageSet()),
                         testing::StoreParamName());

// A cut takes the end of the file: on a store of a few dozen items the items' own data decides
// alone, so the share is held over a set of stores, with those whose node entries, contents
// tables and tree roots lie in the cut part (copies sharing one message's blocks among them).
TEST(DamageSetTest, CutsKeepTheirShareOverTheSharedStores) {
  TempDir dir;
  const std::vector<std::string> set = {
      "aranetic_flags_jane_doe.pst",        "pstsdk_sample2_ansi.pst",
      "pst2john_2003_compressible_quickquick.pst", "libyal_outlook.pst",
      "tika_testPST_2018.pst",              "pst2john_97_pass12345_ansi.pst",
      "pst2john_2003_no_enc_quickquick.pst", "pst2john_2003_high_enc_quickquick.pst"};
  for (const auto& [kind, floor] : {std::pair{DamageKind::kCut10, 0.95},
                                    std::pair{DamageKind::kCut25, 0.87}}) {
    double total = 0, found = 0;
    for (const std::string& name : set) {
      const fs::path source = kTestData / "stores" / name;
      if (!fs::exists(source)) GTEST_SKIP() << "no test data";
      const AnalysisResult intact = Analyze(source, ScanMode::kOff);
      const fs::path damaged = dir.path() / "damaged.pst";
      WriteBytes(damaged, testing::Damage(testing::ReadFileBytes(source), kind, 1));
      const AnalysisResult recovered = Analyze(damaged, ScanMode::kAuto);
      total += static_cast<double>(intact.items.size());
      found += Share(intact, recovered) * static_cast<double>(intact.items.size());
      // Nothing comes back twice: no folder holds more than the intact store's.
      for (const TreeFolder& f : recovered.tree) {
        for (const TreeFolder& g : intact.tree) {
          if (f.path == g.path) {
            EXPECT_LE(f.children.mail, g.children.mail) << name << " " << f.path;
          }
        }
      }
    }
    EXPECT_GE(found / total, floor) << testing::DamageKindName(kind);
  }
}

// Every message of a store shares one data block; the cut takes the node entries of most of
// the Inbox's copies and its contents table. The block's reference count says how many copies
// are missing and the Inbox's item count where they belong.
TEST(LostCopiesTest, CopiesOfASharedMessageGoBackToTheOneFolderShortOfThem) {
  TempDir dir;
  const fs::path source = kTestData / "stores" / "pst2john_97_pass12345_ansi.pst";
  if (!fs::exists(source)) GTEST_SKIP() << "no test data";
  const AnalysisResult intact = Analyze(source, ScanMode::kOff);
  const fs::path damaged = dir.path() / "damaged.pst";
  WriteBytes(damaged, testing::Damage(testing::ReadFileBytes(source), DamageKind::kCut25, 1));
  const AnalysisResult walk = Analyze(damaged, ScanMode::kOff);
  const AnalysisResult recovered = Analyze(damaged, ScanMode::kAuto);
  const std::string inbox = "Personal Folders\\Inbox\\";
  auto mailIn = [&inbox](const AnalysisResult& r) {
    for (const TreeFolder& f : r.tree) {
      if (f.path == inbox) return f.children.mail;
    }
    return -1;
  };
  ASSERT_LT(mailIn(walk), mailIn(intact));
  EXPECT_EQ(mailIn(recovered), mailIn(intact));
  EXPECT_EQ(Keys(recovered), Keys(intact));
  EXPECT_EQ(recovered.itemsFromScan, static_cast<std::int32_t>(intact.items.size() - walk.items.size()));
}

// Intact stores, stale B-tree slots and old page copies included: the pass adds nothing.
TEST(RecoveryIntactTest, EverySharedStoreAnalysesTheSameWithAndWithoutTheScan) {
  std::error_code ec;
  int stores = 0;
  for (const auto& entry : fs::directory_iterator(kTestData / "stores", ec)) {
    const AnalysisResult without = Analyze(entry.path(), ScanMode::kOff);
    const AnalysisResult with = Analyze(entry.path(), ScanMode::kForce);
    SCOPED_TRACE(entry.path().filename().string());
    EXPECT_TRUE(with.scanRan);
    EXPECT_EQ(Keys(with), Keys(without));
    ASSERT_EQ(with.tree.size(), without.tree.size());
    for (std::size_t i = 0; i < with.tree.size(); ++i) EXPECT_EQ(with.tree[i].path, without.tree[i].path);
    EXPECT_EQ(with.counters.values, without.counters.values);
    EXPECT_EQ(with.itemsFromScan, 0);
    EXPECT_EQ(with.foldersFromScan, 0);
    ++stores;
  }
  if (stores == 0) GTEST_SKIP() << "no test data";
}

// The byte range of node `nid`'s data block in the store at `path`.
std::pair<std::uint64_t, std::uint32_t> DataBlockOf(const fs::path& path, std::uint32_t nid) {
  StoreFile store;
  EXPECT_TRUE(OpenStore(store, path).ok());
  IndexStore(store);
  const StoreNode* node = FindNode(store, nid);
  if (node == nullptr || node->dataBlock == nullptr) return {0, 0};
  return {node->dataBlock->offset, node->dataBlock->size};
}

std::uint32_t FolderNid(const AnalysisResult& r, const std::string& path) {
  for (const TreeFolder& f : r.tree) {
    if (f.path == path) return f.nodeId;
  }
  return 0;
}

class LostFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    source_ = StorePath("sample:permute", dir_.path());
    intact_ = Analyze(source_, ScanMode::kOff);
    bytes_ = testing::ReadFileBytes(source_);
    // The mail folder with the most items below the top.
    for (const TreeFolder& f : intact_.tree) {
      if (f.path != "Personal Folders\\" && f.children.mail > folderItems_) {
        folder_ = f;
        folderItems_ = f.children.mail;
      }
    }
    ASSERT_GT(folderItems_, 0);
  }

  void ZeroDataOf(std::uint32_t nid) {
    const auto [offset, size] = DataBlockOf(source_, nid);
    ASSERT_GT(size, 0u);
    for (std::uint64_t i = offset; i < offset + size; ++i) bytes_[i] = std::byte{0};
  }

  // The top folder's hierarchy table, the one that names the folders below it.
  void ZeroTopHierarchyTable() {
    ZeroDataOf((FolderNid(intact_, "Personal Folders\\") & ~0x1Fu) | 0x0D);
  }

  // Drops the node B-tree leaf entry of `nid` (its nid zeroed) from the page that holds it.
  void DropNodeEntry(std::uint32_t nid) {
    StoreFile store;
    ASSERT_TRUE(OpenStore(store, source_).ok());
    IndexStore(store);
    const PageLayout& layout = *store.Layout();
    std::uint64_t leaf = 0;
    for (const StoreFile::WalkedLeaf& l : store.walkedNodeLeaves) {
      if (l.first <= nid && nid <= l.last) leaf = l.offset;
    }
    ASSERT_NE(leaf, 0u);
    for (std::size_t at = 0; at + layout.nodeLeafEntry <= layout.entryArea;
         at += layout.nodeLeafEntry) {
      if (LoadLe32(ByteSpan(bytes_).subspan(leaf), at).value_or(0) == nid) {
        for (std::size_t i = 0; i < layout.nodeLeafEntry; ++i) bytes_[leaf + at + i] = std::byte{0};
      }
    }
  }

  void LoseMessagesAndRowsOf(const TreeFolder& folder);

  // The mail folder with the most items after folder_.
  TreeFolder SecondFolder() const {
    TreeFolder second;
    for (const TreeFolder& f : intact_.tree) {
      if (f.nodeId != folder_.nodeId && f.path != "Personal Folders\\" &&
          f.children.mail > second.children.mail) {
        second = f;
      }
    }
    return second;
  }

  std::int32_t MailIn(const AnalysisResult& r, const std::string& path) {
    for (const TreeFolder& f : r.tree) {
      if (f.path == path) return f.children.mail;
    }
    return -1;
  }

  TempDir dir_;
  fs::path source_;
  AnalysisResult intact_;
  Bytes bytes_;
  TreeFolder folder_;
  std::int32_t folderItems_ = 0;
};

TEST_F(LostFolderTest, AFolderWhoseDataIsLostIsNamedFromItsHierarchyRow) {
  ZeroDataOf(folder_.nodeId);
  const fs::path damaged = dir_.path() / "damaged.pst";
  WriteBytes(damaged, bytes_);
  EXPECT_EQ(MailIn(Analyze(damaged, ScanMode::kOff), folder_.path), -1);
  const AnalysisResult recovered = Analyze(damaged, ScanMode::kForce);
  EXPECT_EQ(MailIn(recovered, folder_.path), folderItems_);
  EXPECT_GT(recovered.foldersFromScan, 0);
}

TEST_F(LostFolderTest, ItemsWhoseFolderIsLostEntirelyGoIntoRecoveredItems) {
  // The folder's own data and the parent's hierarchy table: nothing names it any more.
  ZeroDataOf(folder_.nodeId);
  ZeroTopHierarchyTable();
  const fs::path damaged = dir_.path() / "damaged.pst";
  WriteBytes(damaged, bytes_);
  const AnalysisResult recovered = Analyze(damaged, ScanMode::kForce);
  const std::string named = "Personal Folders\\Recovered Folder " + Hex(folder_.nodeId) + "\\";
  EXPECT_EQ(MailIn(recovered, named), folderItems_);
  int listed = 0;
  for (const ItemSummary& s : recovered.items) listed += s.folder == named && s.fromScan ? 1 : 0;
  EXPECT_EQ(listed, folderItems_);
}

TEST_F(LostFolderTest, OrphansOfALostFolderAreFiledIntoRecoveredItems) {
  // The folder's node entry, its own data and the rows that named it are lost: its messages
  // (on other leaves) are filed into the lost-and-found folder.
  DropNodeEntry(folder_.nodeId);
  ZeroDataOf(folder_.nodeId);
  ZeroTopHierarchyTable();
  const fs::path damaged = dir_.path() / "damaged.pst";
  WriteBytes(damaged, bytes_);
  const AnalysisResult recovered = Analyze(damaged, ScanMode::kForce);
  const std::string lostAndFound = std::string("Personal Folders\\") + kRecoveredItemsFolder + "\\";
  EXPECT_EQ(MailIn(recovered, lostAndFound), folderItems_);
}

TEST_F(LostFolderTest, ALostFolderNoRowNamesComesBackByItsOwnData) {
  // Node entry and rows lost, the folder's own data intact: it comes back below the top with
  // its own name and items.
  DropNodeEntry(folder_.nodeId);
  ZeroTopHierarchyTable();
  const fs::path damaged = dir_.path() / "damaged.pst";
  WriteBytes(damaged, bytes_);
  const AnalysisResult recovered = Analyze(damaged, ScanMode::kForce);
  const std::string path =
      folder_.path.substr(0, folder_.path.rfind('\\', folder_.path.size() - 2) + 1);
  EXPECT_EQ(MailIn(recovered, "Personal Folders\\" + folder_.path.substr(path.size())),
            folderItems_);
  EXPECT_EQ(MailIn(recovered, std::string("Personal Folders\\") + kRecoveredItemsFolder + "\\"),
            -1);
}

// The node B-tree leaf page holding the most message entries (and no folder's), zeroed in
// `bytes`: the messages' entries are lost, their blocks and their folders' tables are not.
// Returns the node ids the page held.
std::set<std::uint32_t> ZeroMessageLeaf(const fs::path& source, Bytes& bytes) {
  StoreFile store;
  EXPECT_TRUE(OpenStore(store, source).ok());
  IndexStore(store);
  const PageLayout& layout = *store.Layout();
  std::set<std::uint32_t> best;
  std::uint64_t bestOffset = 0;
  for (const StoreFile::WalkedLeaf& leaf : store.walkedNodeLeaves) {
    std::set<std::uint32_t> nids;
    bool onlyMessages = true;
    for (std::size_t at = 0; at + layout.nodeLeafEntry <= layout.entryArea;
         at += layout.nodeLeafEntry) {
      const std::uint32_t nid = LoadLe32(ByteSpan(bytes).subspan(leaf.offset), at).value_or(0);
      if (nid < leaf.first || nid > leaf.last) continue;
      onlyMessages = onlyMessages && (nid & 0x1F) == 0x04;
      nids.insert(nid);
    }
    if (onlyMessages && nids.size() > best.size()) {
      best = nids;
      bestOffset = leaf.offset;
    }
  }
  for (std::size_t i = 0; i < kSmallPageSize && !best.empty(); ++i) bytes[bestOffset + i] = std::byte{0};
  return best;
}

// Four copies of a forwarded message share one data block and, with the message they were
// copied from, one subnode block (their nine attachments). With their node leaf lost, the
// contents table places them and the copy they were made from lends them its subnode block.
TEST(LostCopiesTest, CopiesFoundByTheirRowsShareTheSubnodesOfTheMessageTheyCopy) {
  TempDir dir;
  const fs::path source = kTestData / "stores" / "pst2john_2003_high_enc_quickquick.pst";
  if (!fs::exists(source)) GTEST_SKIP() << "no test data";
  const AnalysisResult intact = Analyze(source, ScanMode::kOff);
  const std::set<std::uint32_t> copies = {0x200424, 0x200444, 0x200464, 0x200484};
  Bytes bytes = testing::ReadFileBytes(source);
  {
    StoreFile store;
    ASSERT_TRUE(OpenStore(store, source).ok());
    IndexStore(store);
    for (std::uint32_t nid : copies) {
      const StoreNode* node = FindNode(store, nid);
      ASSERT_NE(node, nullptr);
      ASSERT_EQ(node->subnodeBlock, FindNode(store, 0x200144)->subnodeBlock);
    }
    for (const StoreFile::WalkedLeaf& leaf : store.walkedNodeLeaves) {
      if (leaf.first > 0x200424 || leaf.last < 0x200424) continue;
      std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(leaf.offset), kSmallPageSize, std::byte{0});
    }
  }
  const fs::path damaged = dir.path() / "damaged.pst";
  WriteBytes(damaged, bytes);
  const AnalysisResult recovered = Analyze(damaged, ScanMode::kAuto);
  int found = 0;
  for (const ItemSummary& s : recovered.items) {
    if (copies.count(s.nodeId) == 0) continue;
    ++found;
    EXPECT_TRUE(s.fromScan);
    EXPECT_EQ(s.attachments, 9u) << Hex(s.nodeId);
  }
  EXPECT_EQ(found, 4);
  EXPECT_EQ(Keys(recovered), Keys(intact));
}

TEST_F(LostFolderTest, MessagesOfALostNodeLeafGoBackToTheFolderWhoseTableListsThem) {
  const std::set<std::uint32_t> lost = ZeroMessageLeaf(source_, bytes_);
  ASSERT_GE(lost.size(), 5u);
  const fs::path damaged = dir_.path() / "damaged.pst";
  WriteBytes(damaged, bytes_);
  const AnalysisResult walk = Analyze(damaged, ScanMode::kOff);
  const AnalysisResult recovered = Analyze(damaged, ScanMode::kAuto);
  std::map<std::uint32_t, const ItemSummary*> byNid;
  for (const ItemSummary& s : recovered.items) byNid[s.nodeId] = &s;
  int checked = 0, attached = 0;
  for (const ItemSummary& want : intact_.items) {
    if (lost.count(want.nodeId) == 0) continue;
    SCOPED_TRACE(want.subject);
    EXPECT_TRUE(std::none_of(walk.items.begin(), walk.items.end(),
                             [&want](const ItemSummary& s) { return s.nodeId == want.nodeId; }));
    ASSERT_EQ(byNid.count(want.nodeId), 1u);
    const ItemSummary& got = *byNid[want.nodeId];
    EXPECT_EQ(got.subject, want.subject);
    EXPECT_EQ(got.folder, want.folder);
    EXPECT_EQ(got.attachments, want.attachments);
    EXPECT_EQ(got.sender, want.sender);
    EXPECT_EQ(got.bodyBytes, want.bodyBytes);
    EXPECT_TRUE(got.fromScan);
    ++checked;
    attached += want.attachments > 0 ? 1 : 0;
  }
  EXPECT_EQ(checked, static_cast<int>(lost.size()));
  EXPECT_GT(attached, 0);  // subnode blocks found their messages too
  EXPECT_EQ(recovered.items.size(), intact_.items.size());
}

TEST_F(LostFolderTest, ALostMessageKeepsItsSubnodesWhenItsRecipientTableIsLostToo) {
  const std::set<std::uint32_t> lost = ZeroMessageLeaf(source_, bytes_);
  // The recipient tables of the lost messages with attachments go too: their subnode blocks
  // still list them, and still fit.
  std::set<std::uint32_t> withoutRecipients;
  {
    StoreFile store;
    ASSERT_TRUE(OpenStore(store, source_).ok());
    IndexStore(store);
    for (const ItemSummary& s : intact_.items) {
      const StoreNode* node = FindNode(store, s.nodeId);
      if (lost.count(s.nodeId) == 0 || s.attachments == 0 || node->subnodeBlock == nullptr) continue;
      SubnodeList subnodes;
      ASSERT_TRUE(ReadSubnodes(store, node->subnodeBlock, subnodes));
      const BlockEntry* recipients = FindSubnode(subnodes, 0x692);
      if (recipients == nullptr) continue;
      std::fill_n(bytes_.begin() + static_cast<std::ptrdiff_t>(recipients->offset), recipients->size,
                  std::byte{0});
      withoutRecipients.insert(s.nodeId);
    }
  }
  ASSERT_FALSE(withoutRecipients.empty());
  const fs::path damaged = dir_.path() / "damaged.pst";
  WriteBytes(damaged, bytes_);
  const AnalysisResult recovered = Analyze(damaged, ScanMode::kAuto);
  std::map<std::uint32_t, const ItemSummary*> byNid;
  for (const ItemSummary& s : recovered.items) byNid[s.nodeId] = &s;
  for (const ItemSummary& want : intact_.items) {
    if (withoutRecipients.count(want.nodeId) == 0) continue;
    SCOPED_TRACE(want.subject);
    ASSERT_EQ(byNid.count(want.nodeId), 1u);
    EXPECT_EQ(byNid[want.nodeId]->attachments, want.attachments);
    EXPECT_EQ(byNid[want.nodeId]->folder, want.folder);
  }
}

TEST_F(LostFolderTest, LostMessagesNoTableListsGoIntoRecoveredItems) {
  const std::set<std::uint32_t> lost = ZeroMessageLeaf(source_, bytes_);
  ASSERT_GE(lost.size(), 5u);
  // Every contents table's data block goes too. The later blocks of a table held in a data
  // tree survive and still place the messages they list.
  for (const TreeFolder& f : intact_.tree) {
    const auto [offset, size] = DataBlockOf(source_, (f.nodeId & ~0x1Fu) | 0x0E);
    for (std::uint64_t i = offset; i < offset + size; ++i) bytes_[i] = std::byte{0};
  }
  const fs::path damaged = dir_.path() / "damaged.pst";
  WriteBytes(damaged, bytes_);
  const AnalysisResult recovered = Analyze(damaged, ScanMode::kAuto);
  const std::string lostAndFound =
      std::string("Personal Folders\\") + kRecoveredItemsFolder + "\\";
  std::multiset<ItemKey> got;
  int filed = 0;
  for (const ItemSummary& s : recovered.items) {
    if (!s.fromScan) continue;
    got.insert({s.subject, s.folder, s.attachments});
    filed += s.folder == lostAndFound ? 1 : 0;
  }
  for (const ItemSummary& s : intact_.items) {
    if (lost.count(s.nodeId) == 0) continue;
    SCOPED_TRACE(s.subject);
    auto own = got.find({s.subject, s.folder, s.attachments});
    auto filedHere = got.find({s.subject, lostAndFound, s.attachments});
    EXPECT_TRUE(own != got.end() || filedHere != got.end());
    if (own != got.end()) {
      got.erase(own);
    } else if (filedHere != got.end()) {
      got.erase(filedHere);
    }
  }
  EXPECT_GT(filed, 0);
  EXPECT_TRUE(got.empty());  // nothing else came back
}

// The node entries of every message of `folder` dropped and its contents table zeroed: nothing
// names the messages any more but the folder's own item count.
void LostFolderTest::LoseMessagesAndRowsOf(const TreeFolder& folder) {
  for (const ItemSummary& s : intact_.items) {
    if (s.folder == folder.path) DropNodeEntry(s.nodeId);
  }
  // A table held in a data tree loses every block of it.
  StoreFile store;
  ASSERT_TRUE(OpenStore(store, source_).ok());
  IndexStore(store);
  const StoreNode* table = FindNode(store, (folder.nodeId & ~0x1Fu) | 0x0E);
  ASSERT_NE(table, nullptr);
  std::vector<const BlockEntry*> blocks{table->dataBlock};
  if (table->dataBlock->IsInternal()) {
    const Bytes tree = ReadBlockAt(store, table->dataBlock->offset, table->dataBlock->size);
    const std::size_t width = store.IsAnsi() ? 4 : 8;
    for (std::size_t at = 8; at + width <= tree.size(); at += width) {
      blocks.push_back(FindBlock(store, LoadLeN(tree, at, width).value_or(0)));
    }
  }
  for (const BlockEntry* block : blocks) {
    if (block == nullptr) continue;
    for (std::uint64_t i = block->offset; i < block->offset + block->size; ++i) bytes_[i] = std::byte{0};
  }
}

TEST_F(LostFolderTest, MessagesNoRowNamesGoBackToTheOneFolderShortOfThem) {
  LoseMessagesAndRowsOf(folder_);
  const fs::path damaged = dir_.path() / "damaged.pst";
  WriteBytes(damaged, bytes_);
  ASSERT_EQ(MailIn(Analyze(damaged, ScanMode::kOff), folder_.path), 0);
  const AnalysisResult recovered = Analyze(damaged, ScanMode::kAuto);
  EXPECT_EQ(MailIn(recovered, folder_.path), folderItems_);
  EXPECT_EQ(MailIn(recovered, std::string("Personal Folders\\") + kRecoveredItemsFolder + "\\"),
            -1);
  EXPECT_EQ(Keys(recovered), Keys(intact_));
}

TEST_F(LostFolderTest, MessagesNoRowNamesGoIntoRecoveredItemsWhenTwoFoldersAreShort) {
  const TreeFolder second = SecondFolder();
  ASSERT_GT(second.children.mail, 0);
  LoseMessagesAndRowsOf(folder_);
  LoseMessagesAndRowsOf(second);
  const fs::path damaged = dir_.path() / "damaged.pst";
  WriteBytes(damaged, bytes_);
  const AnalysisResult recovered = Analyze(damaged, ScanMode::kAuto);
  // Either folder could be any message's: none is guessed.
  EXPECT_EQ(MailIn(recovered, folder_.path), 0);
  EXPECT_EQ(MailIn(recovered, second.path), 0);
  EXPECT_EQ(MailIn(recovered, std::string("Personal Folders\\") + kRecoveredItemsFolder + "\\"),
            folderItems_ + second.children.mail);
}

TEST_F(LostFolderTest, MessagesNoRowNamesAreNotGuessedIntoAFolderWhileAnotherIsMissing) {
  const TreeFolder second = SecondFolder();
  ASSERT_GT(second.children.mail, 0);
  LoseMessagesAndRowsOf(folder_);
  // The second folder goes with its node entry and its messages' own data: only its row in
  // its parent's hierarchy table still says it held items.
  LoseMessagesAndRowsOf(second);
  DropNodeEntry(second.nodeId);
  for (const ItemSummary& s : intact_.items) {
    if (s.folder == second.path) ZeroDataOf(s.nodeId);
  }
  const fs::path damaged = dir_.path() / "damaged.pst";
  WriteBytes(damaged, bytes_);
  const AnalysisResult recovered = Analyze(damaged, ScanMode::kAuto);
  EXPECT_EQ(MailIn(recovered, folder_.path), 0);
  EXPECT_EQ(MailIn(recovered, std::string("Personal Folders\\") + kRecoveredItemsFolder + "\\"),
            folderItems_);
}

TEST_F(LostFolderTest, RecoveredFoldersAndTheLostAndFoundAreSaved) {
  // One folder loses its node entry and its own data (its items go to the lost-and-found),
  // another its own data; the top's hierarchy table, which named both, is lost too.
  const TreeFolder second = SecondFolder();
  ASSERT_GT(second.children.mail, 0);
  DropNodeEntry(folder_.nodeId);
  ZeroDataOf(folder_.nodeId);
  ZeroDataOf(second.nodeId);
  ZeroTopHierarchyTable();
  const fs::path damaged = dir_.path() / "damaged.pst";
  WriteBytes(damaged, bytes_);
  const AnalysisResult recovered = Analyze(damaged, ScanMode::kAuto);
  // The mail of the folder whose path ends so, in the analysis and in the saved store.
  auto mailIn = [](const AnalysisResult& r, const std::string& ending) {
    std::int32_t mail = -1;
    for (const TreeFolder& f : r.tree) {
      if (f.path.ends_with(ending)) mail = f.children.mail;
    }
    return mail;
  };
  const std::string lostAndFound = std::string("\\") + kRecoveredItemsFolder + "\\";
  const std::string named = "\\Recovered Folder " + Hex(second.nodeId) + "\\";
  ASSERT_GE(mailIn(recovered, lostAndFound), 1);
  ASSERT_EQ(mailIn(recovered, named), second.children.mail);

  const fs::path output = RecoverWithCli(damaged, dir_.path());
  ASSERT_FALSE(output.empty());
  EXPECT_EQ(CheckStore(output).Errors(), 0u);
  const AnalysisResult saved = Analyze(output, ScanMode::kOff);
  EXPECT_EQ(mailIn(saved, lostAndFound), mailIn(recovered, lostAndFound));
  EXPECT_EQ(mailIn(saved, named), second.children.mail);
  EXPECT_EQ(saved.items.size(), recovered.items.size());
  EXPECT_EQ(PffexportItems(output, dir_.path()), static_cast<int>(saved.items.size()));
}

TEST(RecoverySaveTest, AStoreSavedFromADamagedCopyIsSoundAndReadable) {
  TempDir dir;
  const fs::path source = kTestData / "stores" / "aranetic_flags_jane_doe.pst";
  if (!fs::exists(source)) GTEST_SKIP() << "no test data";
  const fs::path damaged = dir.path() / "damaged.pst";
  WriteBytes(damaged, testing::Damage(testing::ReadFileBytes(source), DamageKind::kHeaderWiped, 1));
  const fs::path output = RecoverWithCli(damaged, dir.path());
  ASSERT_FALSE(output.empty());
  EXPECT_EQ(CheckStore(output).Errors(), 0u);
  // Every item of the intact store is in the new one (folders are the saving run's choice).
  std::multiset<std::pair<std::string, std::size_t>> want, got;
  for (const ItemSummary& s : Analyze(source, ScanMode::kOff).items) want.emplace(s.subject, s.attachments);
  for (const ItemSummary& s : Analyze(output, ScanMode::kOff).items) got.emplace(s.subject, s.attachments);
  EXPECT_EQ(got, want);
  EXPECT_EQ(PffexportItems(output, dir.path()), static_cast<int>(Analyze(source, ScanMode::kOff).items.size()));
}

}  // namespace
}  // namespace palvara
