#include "cli/help.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "common/version.h"
#include "tests/support/cli_run.h"

namespace palvara {
namespace {

namespace fs = std::filesystem;

using Result = testing::CliResult;
using testing::RunCli;

// The options a help text names ("--to", "--json", ...), without --help.
std::set<std::string> OptionsOf(const std::string& text) {
  std::set<std::string> options;
  const std::regex option("--[a-z]+(-[a-z]+)*");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), option);
       it != std::sregex_iterator(); ++it) {
    if (it->str() != "--help") options.insert(it->str());
  }
  return options;
}

TEST(CliHelpTest, VersionIsTheProjectVersion) {
  const Result r = RunCli({"--version"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, std::string("palvara-cli ") + kVersion + "\n");
  EXPECT_EQ(std::string(kVersionText), std::string("Version ") + kVersion);
  EXPECT_TRUE(std::regex_match(kVersion, std::regex("[0-9]+\\.[0-9]+(\\.[0-9]+)?")));
}

TEST(CliHelpTest, EveryCommandOfTheUsageHasItsHelpAndNoOther) {
  const Result usage = RunCli({"--help"});
  ASSERT_EQ(usage.code, 0);
  // Each command's lines of the usage: its own line and the indented ones below it.
  std::map<std::string, std::string> listed;
  const std::regex line("^  ([a-z][a-z-]*) ");
  std::istringstream lines(usage.out);
  std::string current;
  for (std::string l; std::getline(lines, l);) {
    std::smatch m;
    if (std::regex_search(l, m, line)) {
      current = m[1];
    } else if (l.rfind("    ", 0) != 0) {
      current.clear();
    }
    if (!current.empty()) listed[current] += l + "\n";
  }
  std::set<std::string> helped;
  for (const cli::CommandHelp& h : cli::CommandHelpTexts()) {
    helped.insert(h.name);
    ASSERT_TRUE(listed.count(h.name)) << h.name << " is not in the usage";
    // The help names every option the usage names.
    const std::set<std::string> named = OptionsOf(h.text);
    for (const std::string& option : OptionsOf(listed.at(h.name))) {
      EXPECT_TRUE(named.count(option)) << h.name << " help lacks " << option;
    }
  }
  EXPECT_EQ(listed.size(), helped.size());

  for (const std::string& command : helped) {
    SCOPED_TRACE(command);
    for (const std::vector<std::string>& args : {std::vector<std::string>{command, "--help"},
                                                 {command, "FILE", "-h"},
                                                 {"help", command}}) {
      const Result r = RunCli(args);
      EXPECT_EQ(r.code, 0);
      EXPECT_EQ(r.out.rfind("usage: palvara-cli " + command + " ", 0), 0u) << r.out;
      EXPECT_NE(r.out.find("exit codes:"), std::string::npos);
      EXPECT_TRUE(r.err.empty());
    }
  }
}

TEST(CliHelpTest, HelpOfUnknownCommandsAndPlainRunsAreUntouched) {
  EXPECT_EQ(RunCli({"frobnicate", "--help"}).code, 2);
  EXPECT_EQ(RunCli({"--version", "info"}).code, 2);
  const Result plain = RunCli({"info", "/nonexistent/store.pst"});
  EXPECT_EQ(plain.code, 1);
  EXPECT_EQ(plain.out.find("usage:"), std::string::npos);
}

// Each option a command's help names is one the command accepts: with it, a run on a file
// that does not exist (or into a folder that does not exist) fails on the file, never on usage.
TEST(CliHelpTest, EveryOptionInTheHelpIsAccepted) {
  const fs::path dir =
      fs::temp_directory_path() / ("palvara-help-test-" + std::to_string(::getpid()));
  const std::string missing = (dir / "missing.pst").string();
  const std::string outside = (dir / "no-such-folder" / "sample.pst").string();
  const std::map<std::string, std::vector<std::string>> base = {
      {"info", {"info", missing}},
      {"nodes", {"nodes", missing}},
      {"props", {"props", missing, "0x21"}},
      {"item", {"item", missing, "0x21"}},
      {"analyze", {"analyze", missing}},
      {"save", {"save", missing, "--to", dir.string(), "--all"}},
      {"export", {"export", missing, "--to", dir.string(), "--format", "mbox", "--all"}},
      {"recover", {"recover", missing, "--to", dir.string()}},
      {"check", {"check", missing}},
      {"make-sample", {"make-sample", "--out", outside}},
      {"search", {"search", dir.string()}},
  };
  const std::map<std::string, std::string> values = {
      {"--to", dir.string()}, {"--folder", "Personal Folders\\Inbox\\"},
      {"--out", outside},     {"--messages", "1"},
      {"--seed", "7"},        {"--encoding", "cyclic"},
      {"--format", "eml"},    {"--layout", "4k"},
      {"--client", "ost"},
      {"--subnode", "0x8025"}};
  for (const cli::CommandHelp& h : cli::CommandHelpTexts()) {
    ASSERT_TRUE(base.count(h.name)) << h.name;
    for (const std::string& option : OptionsOf(h.text)) {
      SCOPED_TRACE(std::string(h.name) + " " + option);
      std::vector<std::string> args = base.at(h.name);
      args.push_back(option);
      if (values.count(option)) args.push_back(values.at(option));
      const Result r = RunCli(args);
      EXPECT_NE(r.code, 0) << r.err;
      EXPECT_NE(r.code, 2) << r.err;  // usage
    }
  }
  EXPECT_FALSE(fs::exists(outside));
  fs::remove_all(dir);
}

}  // namespace
}  // namespace palvara
