#include "cli/commands.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "tests/support/cli_run.h"
#include "tests/support/store_builder.h"
#include "tests/support/test_data.h"
#include "writer/store_writer.h"

namespace palvara {
namespace {

namespace fs = std::filesystem;

using Result = testing::CliResult;
using testing::RunCli;

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("palvara-cli-test-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Write(const std::string& name, const Bytes& bytes) {
    const fs::path path = dir_ / name;
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return path.string();
  }

  fs::path dir_;
};

TEST_F(CliTest, UsageErrorsExitWithTwo) {
  EXPECT_EQ(RunCli({}).code, 2);
  EXPECT_EQ(RunCli({"frobnicate", "x"}).code, 2);
  EXPECT_EQ(RunCli({"info"}).code, 2);
  EXPECT_EQ(RunCli({"nodes", "a", "b"}).code, 2);
  Result bad = RunCli({"info", "a", "--bogus"});
  EXPECT_EQ(bad.code, 2);
  EXPECT_NE(bad.err.find("--bogus"), std::string::npos);
  EXPECT_EQ(RunCli({"--help"}).code, 0);
}

TEST_F(CliTest, FilesThatCannotBeOpenedExitWithOneAndSayWhy) {
  for (const std::string& path : {(dir_ / "missing.pst").string(), dir_.string()}) {
    for (const char* command : {"info", "nodes"}) {
      Result r = RunCli({command, path});
      EXPECT_EQ(r.code, 1) << command << " " << path;
      EXPECT_TRUE(r.out.empty());
      EXPECT_NE(r.err.find(path), std::string::npos) << r.err;
    }
  }
}

TEST_F(CliTest, DamagedFilesOpenWithAnEmptyTreeAndDamageReports) {
  std::mt19937 random(7);
  Bytes noise(300000);
  for (std::byte& b : noise) b = static_cast<std::byte>(random());
  Bytes unicodeNoise = noise;
  StoreLe(unicodeNoise, 10, 23, 2);  // a plausible version over random roots
  for (const Bytes& bytes : {Bytes{}, noise, unicodeNoise}) {
    const std::string path = Write("damaged.pst", bytes);
    Result info = RunCli({"info", path, "--json"});
    ASSERT_EQ(info.code, 0) << info.err;
    const auto j = nlohmann::json::parse(info.out);
    EXPECT_GE(j["damage"]["reports"].get<int>(), 1);
    Result nodes = RunCli({"nodes", path, "--json"});
    EXPECT_EQ(nodes.code, 0);
    EXPECT_TRUE(nlohmann::json::parse(nodes.out).is_array());
  }
}

TEST_F(CliTest, NodesJsonListsTheTreeInPreorder) {
  testing::SimpleStore spec;
  spec.blocks.push_back({4, testing::EmptyPropertyContextHeap()});
  spec.blocks.push_back({8, Bytes(30)});
  spec.nodes = {{0x21, 4, 0, 0}, {0x122, 8, 0, 0x122}, {0x8022, 0, 8, 0x122}};
  const std::string path = Write("small.pst", testing::BuildSimpleStore(spec).image);
  Result r = RunCli({"nodes", path, "--json"});
  ASSERT_EQ(r.code, 0);
  const auto j = nlohmann::json::parse(r.out);
  ASSERT_EQ(j.size(), 3u);
  EXPECT_EQ(j[2], (nlohmann::json{{"nid", 0x8022}, {"parent", 0x122}, {"dataBid", 0},
                                  {"subnodeBid", 8}, {"depth", 1}}));
  EXPECT_EQ(j[0]["parent"], 0);
  Result text = RunCli({"info", path});
  EXPECT_EQ(text.code, 0);
  EXPECT_NE(text.out.find("Nodes in tree:     3"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("Encoding:          permute"), std::string::npos);
}

TEST_F(CliTest, SaveWritesTheNamedFoldersAndSaysWhere) {
  std::ofstream(dir_ / "PV_PST.ini") << "[PV_PST]\nLogPath=" << dir_.string() << "\n";
  ::setenv("PALVARA_SETTINGS", (dir_ / "PV_PST.ini").c_str(), 1);
  const std::string store = (dir_ / "s.pst").string(), out = (dir_ / "out").string();
  ASSERT_EQ(RunCli({"make-sample", "--out", store, "--messages", "40"}).code, 0);

  EXPECT_EQ(RunCli({"save", store, "--folder", "Personal Folders\\Inbox\\"}).code, 2);  // no --to
  EXPECT_EQ(RunCli({"save", store, "--to", out}).code, 2);  // no folder
  EXPECT_EQ(RunCli({"recover"}).code, 2);
  const Result missing = RunCli({"save", (dir_ / "none.pst").string(), "--to", out, "--all"});
  EXPECT_EQ(missing.code, 1);

  const Result saved =
      RunCli({"save", store, "--to", out, "--folder", "Personal Folders\\Inbox\\", "--json"});
  ASSERT_EQ(saved.code, 0) << saved.err;
  const auto j = nlohmann::json::parse(saved.out);
  EXPECT_EQ(j["outcome"], "completed");
  EXPECT_GT(j["saved"]["Inbox"].get<int>(), 0);
  EXPECT_EQ(j["saved"]["Sent Items"], 0);
  EXPECT_EQ(j["saved"]["Contacts"], 0);
  ASSERT_EQ(j["outputFiles"].size(), 1u);
  EXPECT_TRUE(fs::exists(j["outputFiles"][0].get<std::string>()));
  EXPECT_TRUE(j["summary"].get<std::string>().ends_with("Saving completed successfully"));
  // Written and not written, in all and by kind.
  EXPECT_EQ(j["written"], j["saved"]["Inbox"]);
  EXPECT_EQ(j["notWritten"], 0);
  EXPECT_EQ(j["kinds"]["mail"]["written"], j["written"]);
  EXPECT_EQ(j["kinds"]["contacts"]["written"], 0);
  EXPECT_TRUE(j["unsaved"].empty());
  EXPECT_NE(j["summary"].get<std::string>().find("Items written    " + j["written"].dump() + "\r\n"),
            std::string::npos);

  const Result all = RunCli({"save", store, "--to", out, "--all"});
  ASSERT_EQ(all.code, 0) << all.err;
  EXPECT_EQ(all.out.rfind("Saved to: " + out, 0), 0u) << all.out;
  EXPECT_NE(all.out.find("Contacts Items    "), std::string::npos);
  EXPECT_NE(all.out.find("Items not written    0\n"), std::string::npos) << all.out;
  EXPECT_NE(all.out.find("mail: "), std::string::npos) << all.out;
  std::ifstream log(dir_ / "Activity Log.txt");
  const std::string text((std::istreambuf_iterator<char>(log)), {});
  EXPECT_NE(text.find("Step3: Saving PST File"), std::string::npos);
  EXPECT_NE(text.find("Target Path: " + out), std::string::npos);
  EXPECT_NE(text.find("Saving completed successfully"), std::string::npos);
  ::unsetenv("PALVARA_SETTINGS");
}

TEST_F(CliTest, FolderPathsNameAFolderWithABackslashApart) {
  std::ofstream(dir_ / "PV_PST.ini") << "[PV_PST]\nLogPath=" << dir_.string() << "\n";
  ::setenv("PALVARA_SETTINGS", (dir_ / "PV_PST.ini").c_str(), 1);
  // "Q3\\2024" alone first, then beside "2024" inside "Q3".
  const auto write = [&](const fs::path& path, bool nested) {
    Status status = Status::Ok();
    auto w = StoreWriter::Create(path, "Personal Folders", EncodingMethod::kPermute, &status);
    MessageSpec m;
    m.subject = "one";
    w->AddMessage(w->CreateFolder(kNidIpmSubtree, "Q3\\2024", "IPF.Note"), m);
    if (nested) {
      const std::uint32_t q3 = w->CreateFolder(kNidIpmSubtree, "Q3", "IPF.Note");
      const std::uint32_t year = w->CreateFolder(q3, "2024", "IPF.Note");
      w->AddMessage(year, m);
      w->AddMessage(year, m);
    }
    ASSERT_TRUE(w->Finish().ok());
  };
  write(dir_ / "alone.pst", false);
  write(dir_ / "both.pst", true);
  const auto messages = [&](const fs::path& store, const std::string& folder) {
    const Result r = RunCli({"export", store.string(), "--to", (dir_ / "out").string(), "--format", "mbox",
                             "--folder", folder, "--json"});
    fs::remove_all(dir_ / "out");
    if (r.code != 0) return std::map<std::string, int>{{"exit " + std::to_string(r.code), 0}};
    std::map<std::string, int> found;
    const nlohmann::json report = nlohmann::json::parse(r.out);
    for (const auto& [path, f] : report["folders"].items()) found[path] = f["messages"];
    return found;
  };
  using Found = std::map<std::string, int>;
  // The path written with one backslash still finds the only folder it can mean.
  EXPECT_EQ(messages(dir_ / "alone.pst", "Personal Folders\\Q3\\2024\\"), (Found{{"Personal Folders\\Q3\\\\2024\\", 1}}));
  // Beside a folder of that very path, it means that one; the doubled backslash the other.
  EXPECT_EQ(messages(dir_ / "both.pst", "Personal Folders\\Q3\\2024\\"), (Found{{"Personal Folders\\Q3\\2024\\", 2}}));
  EXPECT_EQ(messages(dir_ / "both.pst", "Personal Folders\\Q3\\\\2024\\"), (Found{{"Personal Folders\\Q3\\\\2024\\", 1}}));
  EXPECT_EQ(messages(dir_ / "alone.pst", "Personal Folders\\Q4\\"), (Found{{"exit 1", 0}}));
  ::unsetenv("PALVARA_SETTINGS");
}

TEST_F(CliTest, SearchListsStoreFilesAndRefusesWhatIsNoFolder) {
  fs::create_directories(dir_ / "sub");
  Write("top.pst", testing::PatternBytes(20000, 1));
  Write("sub/inner.OST", testing::PatternBytes(100, 2));
  Write("readme.txt", testing::PatternBytes(10, 3));
  const Result flat = RunCli({"search", dir_.string()});
  ASSERT_EQ(flat.code, 0) << flat.err;
  EXPECT_NE(flat.out.find("top.pst\t" + (dir_ / "top.pst").string() + "\t19 KB\t"),
            std::string::npos) << flat.out;
  EXPECT_EQ(flat.out.find("inner.OST"), std::string::npos);
  EXPECT_NE(flat.out.find("1 items found"), std::string::npos);

  const Result deep = RunCli({"search", dir_.string(), "--recursive", "--json"});
  ASSERT_EQ(deep.code, 0) << deep.err;
  const auto j = nlohmann::json::parse(deep.out);
  ASSERT_EQ(j["count"], 2);
  EXPECT_EQ(j["found"][0]["name"], "inner.OST");
  EXPECT_EQ(j["found"][0]["sizeText"], "100 B");
  EXPECT_FALSE(j.contains("stopped"));

  const Result missing = RunCli({"search", (dir_ / "nowhere").string(), "--json"});
  EXPECT_EQ(missing.code, 1);
  EXPECT_NE(missing.err.find("No such file or directory"), std::string::npos) << missing.err;
  EXPECT_TRUE(nlohmann::json::parse(missing.out).contains("error"));
  EXPECT_EQ(RunCli({"search"}).code, 2);
  EXPECT_EQ(RunCli({"search", "a", "b"}).code, 2);
}

}  // namespace
}  // namespace palvara
