#include "writer/sample_generator.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "items/analysis.h"

namespace palvara {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

struct SampleCase {
  std::uint64_t seed;
  EncodingMethod encoding;
};

class SampleStoreTest : public ::testing::TestWithParam<SampleCase> {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("palvara-sample-" + std::to_string(::getpid()) + "-" +
                                        std::to_string(GetParam().seed));
    fs::create_directories(dir_);
    options_.messages = 80;
    options_.seed = GetParam().seed;
    options_.encoding = GetParam().encoding;
    ASSERT_TRUE(WriteSampleStore(dir_ / "sample.pst", options_, &summary_).ok());
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
  SampleOptions options_;
  SampleSummary summary_;
};

TEST_P(SampleStoreTest, IsDeterministicAndReadsBackWhole) {
  ASSERT_TRUE(WriteSampleStore(dir_ / "again.pst", options_, nullptr).ok());
  EXPECT_TRUE(ReadAll(dir_ / "sample.pst") == ReadAll(dir_ / "again.pst"));

  AnalysisOptions options;
  options.sourcePath = dir_ / "sample.pst";
  AnalysisObserver quiet;
  RunControl control;
  const AnalysisResult r = RunAnalysis(options, quiet, control);
  ASSERT_EQ(r.outcome, AnalysisResult::Outcome::kCompleted);
  EXPECT_EQ(r.damageReports, 0u);
  ChildCounts total;
  for (const TreeFolder& f : r.tree) total += f.children;
  EXPECT_EQ(r.tree.size(), summary_.folders + 1);  // and the top folder
  EXPECT_EQ(static_cast<std::uint64_t>(total.mail), summary_.mails);
  EXPECT_EQ(static_cast<std::uint64_t>(total.contact), summary_.contacts);
  EXPECT_EQ(static_cast<std::uint64_t>(total.appointment), summary_.appointments);
  EXPECT_EQ(static_cast<std::uint64_t>(total.task), summary_.tasks);
  EXPECT_EQ(static_cast<std::uint64_t>(total.note), summary_.notes);
  EXPECT_EQ(static_cast<std::uint64_t>(total.journal), summary_.journal);
  EXPECT_EQ(total.other, 0);
  EXPECT_EQ(r.counters.values[AnalysisCounters::kContacts], static_cast<int>(summary_.contacts));
  EXPECT_EQ(r.counters.values[AnalysisCounters::kCalendar], static_cast<int>(summary_.appointments));
}

TEST_P(SampleStoreTest, IndependentReadersFindEveryItemOfEveryFolder) {
  if (std::system("command -v pffexport >/dev/null 2>&1 && command -v readpst >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "pffexport or readpst is not installed";
  }
  const std::string store = "'" + (dir_ / "sample.pst").string() + "'";
  ASSERT_EQ(std::system(("pffinfo " + store + " >/dev/null 2>&1").c_str()), 0);
  ASSERT_EQ(std::system(("pffexport -m all -t '" + (dir_ / "pff").string() + "' " + store +
                         " >/dev/null 2>&1").c_str()), 0);
  fs::create_directories(dir_ / "readpst");
  ASSERT_EQ(std::system(("readpst -j 0 -D -M -b -o '" + (dir_ / "readpst").string() + "' " + store +
                         " >/dev/null 2>&1").c_str()), 0);
  AnalysisOptions options;
  options.sourcePath = dir_ / "sample.pst";
  AnalysisObserver quiet;
  RunControl control;
  const AnalysisResult r = RunAnalysis(options, quiet, control);
  for (const TreeFolder& f : r.tree) {
    if (f.path == "Personal Folders\\") continue;
    std::string relative = f.path.substr(std::string("Personal Folders\\").size());
    relative.pop_back();
    for (char& c : relative) c = c == '\\' ? '/' : c;
    const ChildCounts& c = f.children;
    const int items = c.Items();
    int exported = 0;
    for (const auto& e : fs::directory_iterator(dir_ / "pff.export" / "Top of Personal Folders" / relative)) {
      const std::string name = e.path().filename().string();
      for (const char* kind : {"Message", "Contact", "Appointment", "Task", "Note", "Activity"}) {
        if (e.is_directory() && name.rfind(kind, 0) == 0) ++exported;
      }
    }
    EXPECT_EQ(exported, items) << f.path;
    // readpst writes mail, contacts, appointments and journal entries, not tasks or notes.
    if (c.task + c.note > 0) continue;
    int written = 0;
    for (const auto& e : fs::directory_iterator(dir_ / "readpst" / "Personal Folders" / relative)) {
      written += e.is_regular_file() ? 1 : 0;
    }
    EXPECT_EQ(written, items) << f.path;
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, SampleStoreTest,
                         ::testing::Values(SampleCase{1, EncodingMethod::kPermute},
                                           SampleCase{2, EncodingMethod::kNone},
                                           SampleCase{3, EncodingMethod::kCyclic}),
                         [](const auto& param) {
                           return "seed" + std::to_string(param.param.seed) + "_" +
                                  EncodingName(param.param.encoding);
                         });

}  // namespace
}  // namespace palvara
