// The export of every shared real-world store: each mail folder holds the messages the analysis
// counted for it, at least as many as readpst exports for it, and every message, card and
// calendar parses with Python's own parsers.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tests/support/test_data.h"

namespace palvara {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::kTestData;

class ExportSharedTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("palvara-export-shared-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    std::ofstream(dir_ / "PV_PST.ini") << "[PV_PST]\nLogPath=" << dir_.string() << "\n";
  }
  void TearDown() override { fs::remove_all(dir_); }

  json Run(const std::string& command) {
    int status = 0;
    const std::string out = testing::CaptureCommand(command, &status);
    try {
      return json::parse(out);
    } catch (const json::exception&) {
      ADD_FAILURE() << command << " printed: " << out.substr(0, 500);
      return json::object();
    }
  }
  fs::path dir_;
};

// "Personal Folders\\Inbox\\Old\\" -> "Inbox/Old", as readpst lays out its folders.
std::string ReadpstPath(const std::string& path) {
  std::string out;
  std::size_t start = path.find('\\');
  while (start != std::string::npos && start + 1 < path.size()) {
    const std::size_t end = path.find('\\', start + 1);
    out += (out.empty() ? "" : "/") + path.substr(start + 1, end - start - 1);
    start = end;
  }
  return out;
}

TEST_P(ExportSharedTest, EveryMailFolderHoldsWhatTheAnalysisCounted) {
  const json truth = json::parse(std::ifstream(kTestData / "truth" / (GetParam() + ".json")));
  if (truth["summary"]["opened_by"].empty()) GTEST_SKIP() << "neither reader opened it";
  const fs::path source = kTestData / "stores" / truth["file"].get<std::string>();
  const std::string cli = "PALVARA_SETTINGS='" + (dir_ / "PV_PST.ini").string() + "' " + PALVARA_CLI_PATH;
  const json analysis = Run(cli + " analyze '" + source.string() + "' --json 2>/dev/null");
  const fs::path out = dir_ / "out";
  json exported = Run(cli + " export '" + source.string() + "' --to '" + out.string() +
                            "' --format all --all --json 2>/dev/null");
  ASSERT_EQ(exported["outcome"], "completed") << exported.dump();
  json found = Run(std::string("/usr/bin/python3 '") + PALVARA_EXPORT_READER + "' '" + out.string() + "'");

  // readpst's mail, by folder path below the store's top folder.
  fs::create_directories(dir_ / "rp");
  int status = 0;
  testing::CaptureCommand("readpst -j 0 -D -r -o '" + (dir_ / "rp").string() + "' '" + source.string() +
                              "' >/dev/null 2>&1", &status);
  std::map<std::string, int> byReadpst;
  for (const auto& top : fs::directory_iterator(dir_ / "rp")) {
    const json counts = Run(std::string("/usr/bin/python3 '") + PALVARA_EXPORT_READER + "' --count '" +
                            top.path().string() + "'");
    for (const auto& [path, n] : counts.items()) byReadpst[path] += n.get<int>();
  }

  int ours = 0, theirs = 0;
  for (const json& folder : analysis["folders"]) {
    if (!folder["mailFolder"]) continue;
    const std::string path = folder["path"];
    json& written = exported["folders"][path];
    EXPECT_EQ(written["messages"], folder["itemCount"]) << path;
    const std::string rel = fs::relative(written["directory"].get<std::string>(), out).string();
    json& files = found["folders"][rel == "." ? "" : rel];
    EXPECT_EQ(files["mbox"].size(), folder["itemCount"].get<std::size_t>()) << path;
    EXPECT_EQ(files["eml"].size(), folder["itemCount"].get<std::size_t>()) << path;
    for (const json* list : {&files["mbox"], &files["eml"]}) {
      for (const json& m : *list) EXPECT_TRUE(m["defects"].empty()) << path << " " << m["subject"] << " " << m["defects"];
    }
    ours += folder["itemCount"].get<int>();
    const auto readpst = byReadpst.find(ReadpstPath(path));
    if (readpst != byReadpst.end()) {
      // readpst also writes a folder's hidden messages (views, rules), which are not mail.
      EXPECT_GE(folder["itemCount"].get<int>() + folder["children"]["hidden"].get<int>(), readpst->second)
          << path;
      theirs += readpst->second;
    }
  }
  int maildir = 0;
  for (const auto& [name, messages] : found["maildir"].items()) {
    maildir += static_cast<int>(messages.size());
    for (const json& m : messages) EXPECT_TRUE(m["defects"].empty()) << name << " " << m["defects"];
  }
  EXPECT_EQ(maildir, ours);
  RecordProperty("messages", ours);
  RecordProperty("readpst", theirs);
}

INSTANTIATE_TEST_SUITE_P(SharedStores, ExportSharedTest,
                         ::testing::ValuesIn(testing::TruthNames("truth")),
                         testing::StoreParamName());
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(ExportSharedTest);

}  // namespace
}  // namespace palvara
