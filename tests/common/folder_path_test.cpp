#include "common/folder_path.h"

#include <gtest/gtest.h>

namespace palvara {
namespace {

using Names = std::vector<std::string>;

TEST(FolderPath, NamesWithBackslashesSurviveTheRoundTrip) {
  // Each list of names, written as a path and read back, gives the same names: the one folder
  // "Q3\\2024" and "2024" inside "Q3" have different paths.
  for (const Names& names : {Names{"Personal Folders", "Q3\\2024"}, Names{"Personal Folders", "Q3", "2024"},
                             Names{"Personal Folders", "a\\\\b", "c"}, Names{"Personal Folders", "end\\"},
                             Names{"Personal Folders", "Inbox", "Old"}}) {
    std::string path;
    for (const std::string& name : names) path += EscapeFolderName(name) + "\\";
    EXPECT_EQ(FolderPathNames(path), names) << path;
    EXPECT_EQ(SplitLastFolderName(path).second, names.back()) << path;
  }
  EXPECT_NE(EscapeFolderName("Q3\\2024") + "\\", std::string("Q3\\") + "2024\\");
  EXPECT_EQ(EscapeFolderName("Q3\\2024"), "Q3\\\\2024");
  EXPECT_EQ(EscapeFolderName("Inbox"), "Inbox");
}

TEST(FolderPath, TheLastNameSplitsOffAtTheLastSingleBackslash) {
  // The component form: a store path, no trailing backslash.
  EXPECT_EQ(SplitLastFolderName("\\\\store\\Q3\\\\2024"), (std::pair<std::string, std::string>{"\\\\store", "Q3\\2024"}));
  EXPECT_EQ(SplitLastFolderName("\\\\store\\Q3\\2024"), (std::pair<std::string, std::string>{"\\\\store\\Q3", "2024"}));
  EXPECT_EQ(SplitLastFolderName("Inbox\\Old\\"), (std::pair<std::string, std::string>{"Inbox", "Old"}));
  EXPECT_EQ(SplitLastFolderName("Inbox"), (std::pair<std::string, std::string>{"", "Inbox"}));
  EXPECT_EQ(SplitLastFolderName(""), (std::pair<std::string, std::string>{}));
  EXPECT_TRUE(FolderPathNames("").empty());
}

TEST(FolderPath, PathsWrittenBeforeEscapingStillFindTheirFolder) {
  const std::vector<std::string> onlyOne = {"Personal Folders\\", "Personal Folders\\Q3\\\\2024\\"};
  const std::vector<std::string> both = {"Personal Folders\\", "Personal Folders\\Q3\\\\2024\\",
                                         "Personal Folders\\Q3\\", "Personal Folders\\Q3\\2024\\"};
  const std::vector<std::string> twins = {"Personal Folders\\a\\\\b\\c\\", "Personal Folders\\a\\b\\\\c\\"};
  EXPECT_EQ(PlainFolderPath("Personal Folders\\Q3\\\\2024\\"), "Personal Folders\\Q3\\2024\\");
  // The plain form names the one folder when no other folder has that very path...
  EXPECT_EQ(ResolveFolderPath("Personal Folders\\Q3\\2024\\", onlyOne), "Personal Folders\\Q3\\\\2024\\");
  // ... and the exact path wins when one has.
  EXPECT_EQ(ResolveFolderPath("Personal Folders\\Q3\\2024\\", both), "Personal Folders\\Q3\\2024\\");
  EXPECT_EQ(ResolveFolderPath("Personal Folders\\Q3\\\\2024\\", both), "Personal Folders\\Q3\\\\2024\\");
  // Two folders that read alike in the plain form: neither is guessed.
  EXPECT_EQ(ResolveFolderPath("Personal Folders\\a\\b\\c\\", twins), "Personal Folders\\a\\b\\c\\");
  EXPECT_EQ(ResolveFolderPath("Personal Folders\\Nowhere\\", both), "Personal Folders\\Nowhere\\");
}

}  // namespace
}  // namespace palvara
