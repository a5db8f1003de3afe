#include "export/output_tree.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "export/components.h"
#include "tests/export/tree_files.h"

namespace palvara {
namespace {

namespace fs = std::filesystem;
using testing::ListTree;

OutputTree::NameFor Numbered(const std::string& stem, const std::string& extension = "") {
  return [stem, extension](int n) { return NumberedName(stem, extension, n); };
}

// Whole files unnamed (O_TMPFILE) or through named temporaries.
class ExportTreeTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    std::string base = (fs::temp_directory_path() / "palvara-tree-XXXXXX").string();
    ASSERT_NE(::mkdtemp(base.data()), nullptr);
    dir_ = base;
    out_ = dir_ / "out";
    outside_ = dir_ / "outside";
    fs::create_directories(out_);
    fs::create_directories(outside_);
    std::ofstream(outside_ / "victim.txt") << "precious";
    tree_ = std::make_unique<OutputTree>(out_);
    if (!GetParam()) tree_->UseNamedTemporaries();
  }
  void TearDown() override {
    tree_.reset();
    testing::RemoveTree(dir_);
  }
  // What lies outside the target must stay as it was.
  void ExpectOutsideUntouched() {
    const auto outside = ListTree(outside_);
    ASSERT_EQ(outside.size(), 1u);
    EXPECT_EQ(outside.at("victim.txt").content, "precious");
  }

  fs::path dir_, out_, outside_;
  std::unique_ptr<OutputTree> tree_;
};

TEST_P(ExportTreeTest, PlantedLinksAreNeitherFollowedNorReplaced) {
  fs::create_directory_symlink("../outside", out_ / "Inbox");
  fs::create_symlink(outside_ / "victim.txt", out_ / "mbox");
  fs::create_symlink(outside_ / "new.txt", out_ / "note.txt");  // dangling: would make a file
  std::ofstream(out_ / "Sent") << "a file where a folder goes";

  const OutputTree::Dir inbox = tree_->MakeDirectory(OutputTree::kTop, Numbered("Inbox"));
  EXPECT_EQ(tree_->NameOf(inbox), "Inbox (2)");
  EXPECT_EQ(tree_->NameOf(tree_->MakeDirectory(OutputTree::kTop, Numbered("Sent"))), "Sent (2)");
  EXPECT_EQ(tree_->WriteNewFile(OutputTree::kTop, Numbered("mbox"), "mail"), "mbox (2)");
  EXPECT_EQ(tree_->WriteNewFile(OutputTree::kTop, Numbered("note", ".txt"), "note"),
            "note (2).txt");
  // A file that grows: its final name is taken by a link meanwhile.
  OutputTree::Temporary t = tree_->CreateTemporary(inbox, "contacts.vcf", false);
  ASSERT_EQ(::write(t.fd, "card", 4), 4);
  ::close(t.fd);
  fs::create_symlink(outside_ / "victim.txt", out_ / "Inbox (2)" / "contacts.vcf");
  EXPECT_EQ(tree_->PublishTemporary(inbox, t.name, Numbered("contacts", ".vcf")),
            "contacts (2).vcf");

  ExpectOutsideUntouched();
  const auto out = ListTree(out_);
  EXPECT_EQ(out.at("Inbox").type, 'l');
  EXPECT_EQ(out.at("Sent (2)").type, 'd');
  EXPECT_EQ(out.at("mbox (2)").content, "mail");
  EXPECT_EQ(out.at("note (2).txt").content, "note");
  EXPECT_EQ(out.at("Inbox (2)/contacts (2).vcf").content, "card");
  EXPECT_EQ(out.size(), 10u);  // the four planted, the link in Inbox (2), and ours: nothing else
  // Each link is named, with the name taken instead.
  const std::vector<std::string> notices = tree_->TakeNotices();
  ASSERT_EQ(notices.size(), 5u);
  EXPECT_NE(notices[0].find((out_ / "Inbox").string() + "\" is a symbolic link to \"../outside\""),
            std::string::npos)
      << notices[0];
  EXPECT_NE(notices[0].find("Inbox (2)"), std::string::npos) << notices[0];
  EXPECT_NE(notices[1].find("is not a folder"), std::string::npos) << notices[1];
  EXPECT_NE(notices[2].find("mbox\" is a symbolic link"), std::string::npos) << notices[2];
  EXPECT_NE(notices[4].find("\"contacts (2).vcf\""), std::string::npos) << notices[4];
  EXPECT_TRUE(tree_->TakeNotices().empty());
}

TEST_P(ExportTreeTest, OurDirectoryIsReusedAnotherUsersIsNot) {
  fs::create_directory(out_ / "Inbox");
  const OutputTree::Dir inbox = tree_->MakeDirectory(OutputTree::kTop, Numbered("Inbox"));
  EXPECT_EQ(tree_->NameOf(inbox), "Inbox");
  // Within a run, a directory is one folder's only.
  EXPECT_EQ(tree_->NameOf(tree_->MakeDirectory(OutputTree::kTop, Numbered("Inbox"))), "Inbox (2)");
  EXPECT_TRUE(tree_->TakeNotices().empty());
  if (::geteuid() != 0) GTEST_SKIP() << "another user's folder needs root to make";
  fs::create_directory(out_ / "Shared");
  ASSERT_EQ(::chown((out_ / "Shared").c_str(), 65534, 65534), 0);
  EXPECT_EQ(tree_->NameOf(tree_->MakeDirectory(OutputTree::kTop, Numbered("Shared"))),
            "Shared (2)");
  const std::vector<std::string> notices = tree_->TakeNotices();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_NE(notices[0].find("belongs to another user"), std::string::npos) << notices[0];
}

TEST_P(ExportTreeTest, ATreeDeeperThanPathMaxIsWrittenLevelByLevel) {
  // 40 levels of 200-byte names: 8,000 bytes of path, twice PATH_MAX, and more directories
  // than stay open.
  std::vector<OutputTree::Dir> levels{OutputTree::kTop};
  std::string path;
  for (int i = 0; i < 40; ++i) {
    const std::string name(200, static_cast<char>('a' + i % 26));
    levels.push_back(tree_->MakeDirectory(levels.back(), Numbered(name)));
    path += (i == 0 ? "" : "/") + name;
  }
  ASSERT_GT(path.size(), static_cast<std::size_t>(PATH_MAX));
  // Into every level, deepest first and then from the top: each one is opened again.
  for (std::size_t i = levels.size(); i-- > 1;)
    tree_->WriteNewFile(levels[i], Numbered("one"), std::to_string(i));
  for (std::size_t i = 1; i < levels.size(); ++i)
    tree_->WriteNewFile(levels[i], Numbered("two"), std::to_string(i));
  const auto out = ListTree(out_);
  EXPECT_EQ(out.size(), 40u * 3);
  EXPECT_EQ(out.at(path + "/one").content, "40");
  EXPECT_EQ(out.at(path + "/two").content, "40");
  EXPECT_EQ(tree_->PathOf(levels.back()), out_ / path);
}

TEST_P(ExportTreeTest, ADirectoryReplacedDuringTheRunIsNotWrittenThrough) {
  const OutputTree::Dir inbox = tree_->MakeDirectory(OutputTree::kTop, Numbered("Inbox"));
  // Enough others that Inbox is no longer open, then a link takes its place.
  for (std::size_t i = 0; i < OutputTree::kOpenDirectories + 2; ++i) {
    tree_->MakeDirectory(OutputTree::kTop, Numbered("d" + std::to_string(i)));
  }
  fs::rename(out_ / "Inbox", out_ / "moved");
  fs::create_directory_symlink("../outside", out_ / "Inbox");
  EXPECT_THROW(tree_->WriteNewFile(inbox, Numbered("x"), "x"), ComponentError);
  // A directory of the same name that is not the one made.
  fs::remove(out_ / "Inbox");
  fs::create_directory(out_ / "Inbox");
  EXPECT_THROW(tree_->WriteNewFile(inbox, Numbered("x"), "x"), ComponentError);
  ExpectOutsideUntouched();
  EXPECT_TRUE(fs::is_empty(out_ / "Inbox"));
  EXPECT_TRUE(fs::is_empty(out_ / "moved"));
}

TEST_P(ExportTreeTest, AFailedWriteLeavesNothing) {
  ::signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  ::getrlimit(RLIMIT_FSIZE, &old);
  rlimit small = old;
  small.rlim_cur = 1000;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  std::string error;
  bool fatal = false;
  try {
    tree_->WriteNewFile(OutputTree::kTop, Numbered("big", ".eml"), std::string(5000, 'x'));
  } catch (const ComponentError& e) {
    error = e.what();
    fatal = e.fatal();
  }
  ::setrlimit(RLIMIT_FSIZE, &old);
  EXPECT_TRUE(fatal);
  EXPECT_EQ(error, (out_ / "big.eml").string() + ": File too large");
  EXPECT_TRUE(ListTree(out_).empty());
}

INSTANTIATE_TEST_SUITE_P(WholeFiles, ExportTreeTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& param) {
                           return param.param ? "Unnamed" : "NamedTemporaries";
                         });

}  // namespace
}  // namespace palvara
