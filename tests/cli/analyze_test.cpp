// palvara-cli analyze --json against what the independent readers found in the shared stores.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

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

class AnalyzeCommandTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("palvara-analyze-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    std::ofstream(dir_ / "PV_PST.ini") << "[PV_PST]\nLogPath=" << dir_.string() << "\n";
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
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

INSTANTIATE_TEST_SUITE_P(SharedStores, AnalyzeCommandTest,
                         ::testing::ValuesIn(testing::TruthNames("truth")),
                         testing::StoreParamName());
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(AnalyzeCommandTest);

}  // namespace
}  // namespace palvara
