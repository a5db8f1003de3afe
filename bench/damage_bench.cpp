// The damage benchmark: every shared store (and two generated samples) damaged in each way of
// tests/support/damage_kinds, a few seeds each; prints per damage kind the share of the intact
// analysis' items (equal subject, folder and attachment count) that the walk alone and the
// walk with the recovery pass bring back, summed over all items, and the ceiling: the items
// whose own data (data and subnode blocks) the damage left intact. Each item still lost with
// the pass is put down to the first structure the damage hit on the way to it.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <tuple>

#include "items/analysis.h"
#include "reader/btree_walk.h"
#include "tests/support/damage_kinds.h"
#include "writer/sample_generator.h"

namespace {

namespace fs = std::filesystem;
using namespace palvara;

using Key = std::tuple<std::string, std::string, std::size_t>;

palvara::Bytes ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string raw((std::istreambuf_iterator<char>(in)), {});
  palvara::Bytes bytes(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) bytes[i] = static_cast<std::byte>(raw[i]);
  return bytes;
}

std::vector<ItemSummary> Items(const fs::path& path, ScanMode scan) {
  AnalysisOptions options;
  options.sourcePath = path;
  options.collectItems = true;
  options.scan = scan;
  AnalysisObserver observer;
  RunControl control;
  return RunAnalysis(options, observer, control).items;
}

std::map<Key, int> Keys(const std::vector<ItemSummary>& items) {
  std::map<Key, int> keys;
  for (const ItemSummary& s : items) ++keys[{s.subject, s.folder, s.attachments}];
  return keys;
}

int Found(const std::map<Key, int>& want, const std::map<Key, int>& got) {
  int found = 0;
  for (const auto& [key, count] : want) {
    auto it = got.find(key);
    if (it != got.end()) found += std::min(count, it->second);
  }
  return found;
}

// Where the damage hit the way to each item of an intact store.
class LossAttribution {
 public:
  LossAttribution(const Bytes& intact, const Bytes& damaged) : intact_(intact), damaged_(damaged) {
    OpenStore(before_, std::make_unique<ViewByteSource>(intact_), "intact");
    IndexStore(before_);
    OpenStore(after_, std::make_unique<ViewByteSource>(damaged_), "damaged");
    IndexStore(after_);
  }

  // The first structure on the way to node `nid` that the damage changed.
  const char* Cause(std::uint32_t nid) {
    const StoreNode* node = FindNode(before_, nid);
    if (node == nullptr) return "not in the intact store";
    if (!Intact(node->dataBlock) || !Intact(node->subnodeBlock)) return "own data";
    if (FindNode(after_, nid) == nullptr) return "node entry";
    const StoreNode* now = FindNode(after_, nid);
    if (now->dataBlock == nullptr ||
        (node->subnodeBlock != nullptr && now->subnodeBlock == nullptr)) {
      return "block entry";
    }
    if (node->parent != nullptr) {
      if (!Intact(node->parent->dataBlock)) return "folder's own data";
      const StoreNode* contents = FindNode(before_, (node->parent->nid & ~0x1Fu) | 0x0E);
      if (contents != nullptr && !Intact(contents->dataBlock)) return "folder's contents table";
      if (FindNode(after_, node->parent->nid) == nullptr) return "folder's node entry";
    }
    return "other";
  }

  // Whether the own data of node `nid` survived.
  bool OwnDataIntact(std::uint32_t nid) {
    const StoreNode* node = FindNode(before_, nid);
    return node != nullptr && Intact(node->dataBlock) && Intact(node->subnodeBlock);
  }

 private:
  bool Intact(const BlockEntry* block) const {
    if (block == nullptr) return true;
    const std::uint64_t end = block->offset + block->size;
    if (end > damaged_.size()) return false;
    for (std::uint64_t i = block->offset; i < end; ++i) {
      if (damaged_[i] != intact_[i]) return false;
    }
    return true;
  }

  const Bytes& intact_;
  const Bytes& damaged_;
  StoreFile before_;
  StoreFile after_;
};

}  // namespace

int main(int argc, char** argv) {
  // --write STORE KIND SEED OUT: one damaged copy, to look at with the command line.
  if (argc == 6 && std::string(argv[1]) == "--write") {
    const auto kinds = testing::AllDamageKinds();
    const auto kind = static_cast<std::size_t>(std::atoi(argv[3]));
    if (kind >= kinds.size()) return 2;
    const Bytes broken =
        testing::Damage(ReadAll(argv[2]), kinds[kind], std::strtoull(argv[4], nullptr, 10));
    std::ofstream(argv[5], std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(broken.data()),
               static_cast<std::streamsize>(broken.size()));
    return 0;
  }
  const int seeds = argc > 1 ? std::atoi(argv[1]) : 3;
  const bool causes = argc > 2 && std::string(argv[2]) == "--causes";
  const fs::path dir = fs::temp_directory_path() / ("palvara-damage-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::vector<fs::path> stores;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(fs::path(PALVARA_TESTDATA_DIR) / "stores", ec)) {
    stores.push_back(e.path());
  }
  for (EncodingMethod method : {EncodingMethod::kPermute, EncodingMethod::kCyclic}) {
    SampleOptions options;
    options.messages = 300;
    options.encoding = method;
    stores.push_back(dir / (std::string("sample-") + EncodingName(method) + ".pst"));
    WriteSampleStore(stores.back(), options, nullptr);
  }
  struct Tally {
    long total = 0, walk = 0, scan = 0, ceiling = 0;
    int belowWalk = 0;
    std::map<std::string, long> causes;
  };
  // By store set (the shared stores, the generated samples) and damage kind.
  std::map<std::pair<std::string, std::string>, Tally> tallies;
  const fs::path damaged = dir / "damaged.pst";
  for (const fs::path& store : stores) {
    const std::vector<ItemSummary> intactItems = Items(store, ScanMode::kOff);
    const auto intact = Keys(intactItems);
    const long items = static_cast<long>(intactItems.size());
    if (items == 0) continue;
    const Bytes bytes = ReadAll(store);
    for (testing::DamageKind kind : testing::AllDamageKinds()) {
      for (int seed = 1; seed <= seeds; ++seed) {
        const Bytes broken = testing::Damage(bytes, kind, static_cast<std::uint64_t>(seed));
        std::ofstream(damaged, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(broken.data()), static_cast<std::streamsize>(broken.size()));
        const int walk = Found(intact, Keys(Items(damaged, ScanMode::kOff)));
        const auto recovered = Keys(Items(damaged, ScanMode::kAuto));
        const int scan = Found(intact, recovered);
        const bool generated = store.parent_path() == dir;
        Tally& t = tallies[{generated ? "generated samples" : "shared stores",
                            testing::DamageKindName(kind)}];
        t.total += items;
        t.walk += walk;
        t.scan += scan;
        LossAttribution attribution(bytes, broken);
        std::map<Key, int> unmatched = recovered;
        for (const ItemSummary& s : intactItems) {
          t.ceiling += attribution.OwnDataIntact(s.nodeId) ? 1 : 0;
          auto it = unmatched.find({s.subject, s.folder, s.attachments});
          if (it != unmatched.end() && it->second > 0) {
            --it->second;
            continue;
          }
          const char* cause = attribution.Cause(s.nodeId);
          ++t.causes[cause];
          if (causes) {
            std::printf("lost: %s, %s, seed %d, node 0x%x: %s\n", store.filename().c_str(),
                        testing::DamageKindName(kind), seed, s.nodeId, cause);
          }
        }
        if (scan < walk) {
          ++t.belowWalk;
          std::printf("below the walk: %s, %s, seed %d (%d < %d)\n", store.filename().c_str(),
                      testing::DamageKindName(kind), seed, scan, walk);
        }
      }
    }
  }
  std::string set;
  for (const auto& [key, t] : tallies) {
    if (key.first != set) {
      set = key.first;
      std::printf("\n%s\n%-28s %8s %8s %10s %8s %s\n", set.c_str(), "damage", "items", "walk",
                  "with scan", "ceiling", "below walk");
    }
    const double total = static_cast<double>(t.total);
    std::printf("%-28s %8ld %7.1f%% %9.1f%% %7.1f%% %d\n", key.second.c_str(), t.total,
                100.0 * static_cast<double>(t.walk) / total,
                100.0 * static_cast<double>(t.scan) / total,
                100.0 * static_cast<double>(t.ceiling) / total, t.belowWalk);
  }
  std::printf("\nitems lost with the pass, by the first structure the damage hit:\n");
  for (const auto& [key, t] : tallies) {
    if (t.causes.empty()) continue;
    std::printf("%s, %s:", key.first.c_str(), key.second.c_str());
    for (const auto& [cause, count] : t.causes) std::printf("  %s %ld", cause.c_str(), count);
    std::printf("\n");
  }
  fs::remove_all(dir, ec);
  return 0;
}
