// palvara-cli analyze --json against what the independent readers found in the shared stores.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>

#include "tests/support/damage_kinds.h"
#include "tests/support/test_data.h"

namespace palvara {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::kTestData;

std::string RunAnalyze(const fs::path& store, const fs::path& settings) {
  const std::string command = "PALVARA_SETTINGS='" + settings.string() + "' " +
                              PALVARA_CLI_PATH + " analyze '" + store.string() +
                              "' --json 2>/dev/null";
  int status = 0;
  const std::string out = testing::CaptureCommand(command, &status);
  EXPECT_EQ(status, 0);
  return out;
}

// A private folder for the settings and the activity log of each run.
class AnalyzeFolder {
 protected:
  void MakeFolder() {
    dir_ = fs::temp_directory_path() / ("palvara-analyze-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    std::ofstream(dir_ / "PV_PST.ini") << "[PV_PST]\nLogPath=" << dir_.string() << "\n";
  }
  fs::path dir_;
};

class AnalyzeCommandTest : public ::testing::TestWithParam<std::string>, public AnalyzeFolder {
 protected:
  void SetUp() override { MakeFolder(); }
  void TearDown() override { fs::remove_all(dir_); }
};

class AnalyzeDamageTest : public ::testing::Test, public AnalyzeFolder {
 protected:
  void SetUp() override { MakeFolder(); }
  void TearDown() override { fs::remove_all(dir_); }
};

// Truth "/" is "Personal Folders\", "/Inbox" is "Personal Folders\Inbox\".
std::string WizardPath(const std::string& truthPath) {
  std::string path = "Personal Folders\\";
  if (truthPath == "/") return path;
  for (char c : truthPath.substr(1)) path += c == '/' ? '\\' : c;
  return path + "\\";
}

TEST_P(AnalyzeCommandTest, FoldersAndChildCountsMatchThePeers) {
  const json truth = json::parse(std::ifstream(kTestData / "truth" / (GetParam() + ".json")));
  if (truth["summary"]["opened_by"].empty()) GTEST_SKIP() << "neither reader opened it";
  const json result =
      json::parse(RunAnalyze(kTestData / "stores" / truth["file"].get<std::string>(),
                             dir_ / "PV_PST.ini"));
  std::map<std::string, json> ours;
  for (const json& f : result["folders"]) ours[f["path"]] = f;
  ASSERT_EQ(ours.size(), truth["folders"].size());
  for (const json& f : truth["folders"]) {
    const std::string path = WizardPath(f["path"]);
    ASSERT_TRUE(ours.count(path)) << path;
    const json& children = ours[path]["children"];
    EXPECT_EQ(ours[path]["nodeId"], f["nid"]) << path;
    for (const char* kind : {"mail", "contact", "appointment", "task", "note", "journal", "other"}) {
      EXPECT_EQ(children[kind], f["by_category"].value(kind, 0)) << path << " " << kind;
    }
    EXPECT_EQ(children["hidden"], f["readpst"].value("hidden_fai_items", 0)) << path;
  }
  // The run left its entries in the activity log.
  std::ifstream log(dir_ / "Activity Log.txt");
  const std::string text((std::istreambuf_iterator<char>(log)), {});
  EXPECT_NE(text.find("Step2: Analysis PST File"), std::string::npos);
}

// The damage list of --json: every report with its kind, place and cost, and where the recovery
// pass found what it brought back; an intact store lists nothing.
TEST_F(AnalyzeDamageTest, DamageListsKindsPlacesAndRecoveredExtents) {
  const fs::path intact = dir_ / "sample.pst";
  int status = -1;
  testing::CaptureCommand(std::string(PALVARA_CLI_PATH) + " make-sample --out '" + intact.string() +
                              "' --messages 150 2>/dev/null",
                          &status);
  ASSERT_EQ(status, 0);
  const json clean = json::parse(RunAnalyze(intact, dir_ / "PV_PST.ini"))["damage"];
  EXPECT_EQ(clean["reports"], 0);
  EXPECT_TRUE(clean["list"].empty());
  EXPECT_TRUE(clean["recovered"].empty());

  const Bytes bytes =
      testing::Damage(testing::ReadFileBytes(intact), testing::DamageKind::kBlockLeafZeroed, 1);
  const fs::path damaged = dir_ / "damaged.pst";
  testing::WriteFileBytes(damaged, bytes);
  const json damage = json::parse(RunAnalyze(damaged, dir_ / "PV_PST.ini"))["damage"];
  const json& list = damage["list"];
  ASSERT_FALSE(list.empty());
  EXPECT_EQ(damage["reports"], list.size());
  const std::set<std::string> names = {"bad-crc",       "unreadable", "zeroed",  "cut-off",
                                       "bad-reference", "cycle",      "inflate", "inconsistent"};
  std::size_t zeroed = 0, counted = 0;
  for (const json& e : list) {
    ASSERT_TRUE(names.count(e["kind"].get<std::string>())) << e.dump();
    EXPECT_FALSE(e["structure"].get<std::string>().empty());
    EXPECT_FALSE(e["text"].get<std::string>().empty());
    // Put down to the index, or to a node of the walk.
    EXPECT_TRUE(e.value("index", false) || e.contains("nodeId")) << e.dump();
    if (e.contains("offset")) {
      EXPECT_LT(e["offset"].get<std::uint64_t>(), bytes.size());
    }
    if (e["kind"] == "zeroed" && e.contains("offset") && e.value("index", false)) ++zeroed;
  }
  EXPECT_GE(zeroed, 1u);
  for (const auto& [kind, n] : damage["kinds"].items()) {
    EXPECT_TRUE(names.count(kind));
    counted += n.get<std::size_t>();
  }
  EXPECT_EQ(counted, list.size());
  ASSERT_FALSE(damage["recovered"].empty());
  for (const json& x : damage["recovered"]) {
    EXPECT_GT(x["size"].get<std::uint64_t>(), 0u);
    EXPECT_LE(x["offset"].get<std::uint64_t>() + x["size"].get<std::uint64_t>(), bytes.size());
  }
}

INSTANTIATE_TEST_SUITE_P(SharedStores, AnalyzeCommandTest,
                         ::testing::ValuesIn(testing::TruthNames("truth")),
                         testing::StoreParamName());
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(AnalyzeCommandTest);

}  // namespace
}  // namespace palvara
