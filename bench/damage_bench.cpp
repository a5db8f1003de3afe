// The damage benchmark: every shared store (and two generated samples) damaged in each way of
// tests/support/damage_kinds, a few seeds each; prints per damage kind the share of the intact
// analysis' items (equal subject, folder and attachment count) that the walk alone and the
// walk with the recovery pass bring back, summed over all items, for the shared stores and
// the generated samples apart.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <tuple>

#include "items/analysis.h"
#include "tests/support/damage_kinds.h"
#include "writer/sample_generator.h"

namespace {

namespace fs = std::filesystem;
using namespace palvara;

palvara::Bytes ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string raw((std::istreambuf_iterator<char>(in)), {});
  palvara::Bytes bytes(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) bytes[i] = static_cast<std::byte>(raw[i]);
  return bytes;
}

std::map<std::tuple<std::string, std::string, std::size_t>, int> Keys(const fs::path& path,
                                                                       ScanMode scan) {
  AnalysisOptions options;
  options.sourcePath = path;
  options.collectItems = true;
  options.scan = scan;
  AnalysisObserver observer;
  RunControl control;
  std::map<std::tuple<std::string, std::string, std::size_t>, int> keys;
  for (const ItemSummary& s : RunAnalysis(options, observer, control).items) {
    ++keys[{s.subject, s.folder, s.attachments}];
  }
  return keys;
}

int Found(const std::map<std::tuple<std::string, std::string, std::size_t>, int>& want,
          const std::map<std::tuple<std::string, std::string, std::size_t>, int>& got) {
  int found = 0;
  for (const auto& [key, count] : want) {
    auto it = got.find(key);
    if (it != got.end()) found += std::min(count, it->second);
  }
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  const int seeds = argc > 1 ? std::atoi(argv[1]) : 3;
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
    long total = 0, walk = 0, scan = 0;
    int belowWalk = 0;
  };
  std::map<std::pair<std::string, std::string>, Tally> tallies;  // (group, damage kind)
  const fs::path damaged = dir / "damaged.pst";
  for (const fs::path& store : stores) {
    const auto intact = Keys(store, ScanMode::kOff);
    long items = 0;
    for (const auto& [key, count] : intact) items += count;
    if (items == 0) continue;
    const Bytes bytes = ReadAll(store);
    for (testing::DamageKind kind : testing::AllDamageKinds()) {
      for (int seed = 1; seed <= seeds; ++seed) {
        const Bytes broken = testing::Damage(bytes, kind, static_cast<std::uint64_t>(seed));
        std::ofstream(damaged, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(broken.data()), static_cast<std::streamsize>(broken.size()));
        const int walk = Found(intact, Keys(damaged, ScanMode::kOff));
        const int scan = Found(intact, Keys(damaged, ScanMode::kAuto));
        const bool generated = store.parent_path() == dir;
        Tally& t = tallies[{generated ? "generated samples" : "shared stores",
                            testing::DamageKindName(kind)}];
        t.total += items;
        t.walk += walk;
        t.scan += scan;
        if (scan < walk) {
          ++t.belowWalk;
          std::printf("below the walk: %s, %s, seed %d (%d < %d)\n", store.filename().c_str(),
                      testing::DamageKindName(kind), seed, scan, walk);
        }
      }
    }
  }
  std::printf("%-18s %-28s %10s %10s %10s %s\n", "stores", "damage", "items", "walk",
              "with scan", "below walk");
  for (const auto& [key, t] : tallies) {
    std::printf("%-18s %-28s %10ld %9.1f%% %9.1f%% %d\n", key.first.c_str(), key.second.c_str(),
                t.total,
                100.0 * static_cast<double>(t.walk) / static_cast<double>(t.total),
                100.0 * static_cast<double>(t.scan) / static_cast<double>(t.total), t.belowWalk);
  }
  fs::remove_all(dir, ec);
  return 0;
}
