// The open-format export under hostile conditions: links planted in the target folder, another
// user sharing it, a second and a concurrent export into it, folder names no file system takes
// as they are, trees deeper than PATH_MAX, a full disk and a stop.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <thread>

#include "common/folder_path.h"
#include "export/open_output.h"
#include "export/saving_driver.h"
#include "tests/export/tree_files.h"
#include "tests/support/cli_run.h"
#include "tests/support/test_data.h"
#include "writer/store_writer.h"

namespace palvara {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::ListTree;
using testing::TreeEntry;

constexpr std::uint64_t kTime = 0x01DB000000000000ull;

// A folder of a test store: its parent (an index into the folders before it, -1 for the top),
// its name, and the subjects of its messages.
struct TestFolder {
  int parent = -1;
  std::string name;
  std::vector<std::string> subjects;
};

// The store's folders, with a Contacts folder after them when `contact` is given; every body
// ends with `tag`. Returns the folder paths.
std::vector<std::string> WriteStore(const fs::path& path, const std::vector<TestFolder>& folders,
                                    const std::string& tag, const std::string& contact = "",
                                    std::size_t attachmentBytes = 0) {
  Status status = Status::Ok();
  auto w = StoreWriter::Create(path, "Personal Folders", EncodingMethod::kPermute, &status);
  std::vector<std::uint32_t> made;
  std::vector<std::string> paths;
  for (const TestFolder& f : folders) {
    const std::uint32_t parent =
        f.parent < 0 ? kNidIpmSubtree : made[static_cast<std::size_t>(f.parent)];
    made.push_back(w->CreateFolder(parent, f.name, "IPF.Note"));
    paths.push_back((f.parent < 0 ? std::string("Personal Folders\\")
                                  : paths[static_cast<std::size_t>(f.parent)]) +
                    EscapeFolderName(f.name) + "\\");
    for (const std::string& subject : f.subjects) {
      MessageSpec m;
      m.subject = subject;
      m.body = subject + " from " + tag + "\n";
      m.submitTime = kTime;
      if (subject == "big")
        m.attachments.push_back({"big.bin",
                                 testing::PatternBytes(attachmentBytes, 1),
                                 "application/octet-stream",
                                 nullptr,
                                 {}});
      w->AddMessage(made.back(), m);
    }
  }
  if (!contact.empty()) {
    w->AddContact(w->CreateFolder(kNidIpmSubtree, "Contacts", "IPF.Contact"),
                  {contact, contact, "Doe", "", "x@example.com", "", ""});
    paths.push_back("Personal Folders\\Contacts\\");
  }
  EXPECT_TRUE(w->Finish().ok());
  return paths;
}

// Messages in an mbox: its "From " separator lines.
int MboxMessages(const std::string& text) {
  int n = text.starts_with("From ") ? 1 : 0;
  for (std::size_t at = text.find("\nFrom "); at != std::string::npos;
       at = text.find("\nFrom ", at + 1))
    ++n;
  return n;
}

// Names the export uses while a file is unfinished: hidden ones, or "….part".
bool IsTemporary(const std::string& path, const TreeEntry& e) {
  const std::string name = path.substr(path.rfind('/') + 1);
  return e.type == 'f' && (name.starts_with(".") || name.ends_with(".part"));
}

class Recorder : public SavingObserver {
 public:
  RunControl* control = nullptr;
  std::int32_t stopAfter = -1;  // stops the run once this many steps are done
  std::vector<std::string> notices;
  void Progress(const SavingProgress& p) override {
    if (control != nullptr && stopAfter >= 0 && p.saved >= stopAfter) control->stopSaving = true;
  }
  void Notice(const std::string& text) override { notices.push_back(text); }
};

struct Exported {
  SaveResult result;
  std::map<std::string, OpenFormatOutput::Placement> placed;
  int temporariesAfterRun = 0;  // unfinished files the run left while its output still exists
};

Exported Export(const fs::path& store, const std::vector<std::string>& folders, OpenFormats formats,
                const fs::path& to, Recorder* recorder = nullptr) {
  Recorder own;
  Recorder& observer = recorder != nullptr ? *recorder : own;
  OpenFormatOutput output(formats, to);
  SaveOptions options;
  options.sourcePath = store;
  options.targetFolder = to.string();
  options.selectedFolders = folders;
  options.target = &output;
  RunControl control;
  observer.control = &control;
  Exported out;
  out.result = RunSave(options, observer, control);
  for (const std::string& f : folders) out.placed[f] = output.PlacementOf(f);
  for (const auto& [path, entry] : ListTree(to))
    out.temporariesAfterRun += IsTemporary(path, entry) ? 1 : 0;
  return out;
}

class ExportSafetyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string base = (fs::temp_directory_path() / "palvara-safety-XXXXXX").string();
    ASSERT_NE(::mkdtemp(base.data()), nullptr);
    dir_ = base;
    out_ = dir_ / "out";
    outside_ = dir_ / "outside";
    fs::create_directories(out_);
    fs::create_directories(outside_);
  }
  void TearDown() override { testing::RemoveTree(dir_); }

  fs::path dir_, out_, outside_;
};

const std::vector<TestFolder> kMailFolders = {{-1, "Inbox", {"First", "Second"}},
                                              {-1, "Sent Items", {"Sent"}}};

TEST_F(ExportSafetyTest, PlantedLinksOfEveryKindAreNotFollowed) {
  const auto paths = WriteStore(dir_ / "a.pst", kMailFolders, "A", "Ada");
  // Links under the names of the export's own files, temporary and final, and in place of
  // folders it makes.
  const std::vector<std::pair<std::string, std::string>> links = {
      {".palvara-write-test", "probe"}, {".palvara-write-test.part", "probe-part"},
      {"Inbox/mbox", "mbox"},           {"Inbox/mbox.part", "mbox-part"},
      {"Inbox/00001 First.eml", "eml"}, {"Inbox/00001 First.eml.part", "eml-part"},
      {"Contacts/contacts.vcf", "vcf"}};
  fs::create_directories(out_ / "Inbox");
  fs::create_directories(out_ / "Contacts");
  for (const auto& [link, victim] : links) {
    std::ofstream(outside_ / victim) << "precious " << victim;
    fs::create_symlink(outside_ / victim, out_ / link);
  }
  fs::create_directory_symlink("../outside", out_ / "Sent Items");
  fs::create_directory_symlink("../outside", out_ / "Maildir");
  const auto before = ListTree(outside_);

  const Exported e = Export(dir_ / "a.pst", paths, {true, true, true}, out_);
  ASSERT_EQ(e.result.outcome, SaveResult::Outcome::kCompleted) << e.result.error;
  EXPECT_EQ(e.result.failedItems, 0);
  EXPECT_EQ(e.result.Written(), 4);
  const auto after = ListTree(outside_);
  ASSERT_EQ(after.size(), before.size());
  for (const auto& [name, entry] : before) EXPECT_EQ(after.at(name).content, entry.content) << name;

  // Everything was written, under the next free names.
  const auto out = ListTree(out_);
  EXPECT_EQ(MboxMessages(out.at("Inbox/mbox (2)").content), 2);
  EXPECT_EQ(out.at("Inbox/00001 First (2).eml").type, 'f');
  EXPECT_EQ(MboxMessages(out.at("Sent Items (2)/mbox").content), 1);
  EXPECT_NE(out.at("Contacts/contacts (2).vcf").content.find("FN:Ada"), std::string::npos);
  EXPECT_EQ(out.at("Maildir (2)/.Inbox/new").type, 'd');
  EXPECT_EQ(e.placed.at(paths[0]).files, std::vector<fs::path>{out_ / "Inbox" / "mbox (2)"});
  EXPECT_EQ(e.placed.at(paths[1]).directory, out_ / "Sent Items (2)");
  EXPECT_EQ(e.placed.at(paths[1]).maildir, out_ / "Maildir (2)" / ".Sent Items");
  for (const auto& [path, entry] : out) EXPECT_FALSE(IsTemporary(path, entry)) << path;
  // Each link in the way is named in the run's notices.
  for (const char* link :
       {"Sent Items", "Maildir", "Inbox/mbox", "Inbox/00001 First.eml", "Contacts/contacts.vcf"}) {
    const std::string named = "\"" + (out_ / link).string() + "\" is a symbolic link";
    EXPECT_TRUE(
        std::any_of(e.result.notices.begin(), e.result.notices.end(),
                    [&](const std::string& n) { return n.find(named) != std::string::npos; }))
        << link;
  }
}

TEST_F(ExportSafetyTest, AnotherUserSharingTheFolderCannotRedirectTheExport) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user";
  const auto paths = WriteStore(dir_ / "a.pst", kMailFolders, "A", "Ada");
  // A world-writable sticky folder, as /tmp is; the victim is a file of the exporting user's.
  const fs::path shared = dir_ / "shared";
  fs::create_directories(shared);
  ::chmod(dir_.c_str(), 0711);
  ::chmod(shared.c_str(), 01777);
  std::ofstream(outside_ / "victim") << "precious";
  const std::string inbox = (shared / "Inbox").string(),
                    inboxMbox = (shared / "Inbox" / "mbox").string(),
                    sent = (shared / "Sent Items").string(),
                    maildir = (shared / "Maildir").string(),
                    victim = (outside_ / "victim").string(), outside = outside_.string();
  const pid_t child = ::fork();
  if (child == 0) {
    // The other user plants a folder of its own with a link in it, and links for folders.
    const bool planted = ::setgid(65534) == 0 && ::setuid(65534) == 0 &&
                         ::mkdir(inbox.c_str(), 0777) == 0 && ::chmod(inbox.c_str(), 0777) == 0 &&
                         ::symlink(victim.c_str(), inboxMbox.c_str()) == 0 &&
                         ::symlink(outside.c_str(), sent.c_str()) == 0 &&
                         ::symlink(outside.c_str(), maildir.c_str()) == 0;
    ::_exit(planted ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) GTEST_SKIP() << "could not act as user 65534";

  const Exported e = Export(dir_ / "a.pst", paths, {true, true, true}, shared);
  ASSERT_EQ(e.result.outcome, SaveResult::Outcome::kCompleted) << e.result.error;
  EXPECT_EQ(e.result.Written(), 4);
  const auto outsideNow = ListTree(outside_);
  ASSERT_EQ(outsideNow.size(), 1u);
  EXPECT_EQ(outsideNow.at("victim").content, "precious");
  const auto out = ListTree(shared);
  // The other user's folder holds only what it put there; ours went beside it.
  EXPECT_EQ(out.count("Inbox/mbox (2)"), 0u);
  EXPECT_EQ(out.at("Inbox").owner, 65534u);
  EXPECT_EQ(out.at("Inbox (2)").owner, 0u);
  EXPECT_EQ(MboxMessages(out.at("Inbox (2)/mbox").content), 2);
  EXPECT_EQ(MboxMessages(out.at("Sent Items (2)/mbox").content), 1);
  EXPECT_EQ(out.at("Maildir (2)/.Inbox").type, 'd');
  EXPECT_TRUE(
      std::any_of(e.result.notices.begin(), e.result.notices.end(), [&](const std::string& n) {
        return n.find("\"" + inbox + "\" belongs to another user") != std::string::npos;
      }));
}

TEST_F(ExportSafetyTest, ASecondExportKeepsTheFirstsFiles) {
  const auto paths = WriteStore(dir_ / "a.pst", kMailFolders, "A", "Ada");
  WriteStore(dir_ / "b.pst", kMailFolders, "B", "Bob");
  ASSERT_EQ(Export(dir_ / "a.pst", paths, {true, true, true}, out_).result.outcome,
            SaveResult::Outcome::kCompleted);
  const auto first = ListTree(out_);
  const Exported second = Export(dir_ / "b.pst", paths, {true, true, true}, out_);
  ASSERT_EQ(second.result.outcome, SaveResult::Outcome::kCompleted) << second.result.error;
  const auto both = ListTree(out_);
  for (const auto& [path, entry] : first) {
    ASSERT_EQ(both.count(path), 1u) << path;
    EXPECT_EQ(both.at(path).content, entry.content) << path;
  }
  EXPECT_NE(both.at("Inbox/mbox").content.find("First from A"), std::string::npos);
  EXPECT_NE(both.at("Inbox/mbox (2)").content.find("First from B"), std::string::npos);
  EXPECT_NE(both.at("Inbox/00001 First (2).eml").content.find("First from B"), std::string::npos);
  EXPECT_NE(both.at("Contacts/contacts (2).vcf").content.find("FN:Bob"), std::string::npos);
  EXPECT_EQ(second.placed.at(paths[0]).files, std::vector<fs::path>{out_ / "Inbox" / "mbox (2)"});
  // The Maildir takes the messages of both.
  int maildir = 0;
  for (const auto& [path, entry] : both)
    maildir += path.starts_with("Maildir/.Inbox/") && entry.type == 'f' ? 1 : 0;
  EXPECT_EQ(maildir, 1 + 4);  // the folder's mark, and the messages
  EXPECT_TRUE(second.result.notices.empty());
}

// A file's bytes with what differs between two renderings of the same item left out (the
// MIME boundaries count up across the process).
std::string Comparable(const std::string& content) {
  static const std::regex boundary("=_palvara_([a-z]+)_[0-9]+_=");
  return std::regex_replace(content, boundary, "=_palvara_$1_=");
}

std::multiset<std::string> FileContents(const fs::path& top) {
  std::multiset<std::string> out;
  for (const auto& [path, entry] : ListTree(top)) {
    if (entry.type == 'f' && !path.ends_with("maildirfolder"))
      out.insert(Comparable(entry.content));
  }
  return out;
}

TEST_F(ExportSafetyTest, TwoExportsAtOnceLeaveOnlyWholeFilesOfEither) {
  const auto paths = WriteStore(dir_ / "a.pst", kMailFolders, "A", "Ada");
  WriteStore(dir_ / "b.pst", kMailFolders, "B", "Bob");
  Export(dir_ / "a.pst", paths, {true, true, true}, dir_ / "alone-a");
  Export(dir_ / "b.pst", paths, {true, true, true}, dir_ / "alone-b");
  std::multiset<std::string> want = FileContents(dir_ / "alone-a");
  const std::multiset<std::string> b = FileContents(dir_ / "alone-b");
  want.insert(b.begin(), b.end());
  ASSERT_EQ(want.size(), 2u * (2 + 3 + 3 + 1));  // mbox files, EML files, Maildir, cards

  for (int round = 0; round < 3; ++round) {
    const fs::path together = dir_ / ("together-" + std::to_string(round));
    SaveResult ra, rb;
    std::thread other([&] {
      rb = Export(dir_ / "b.pst", paths, {true, true, true}, together).result;
    });
    ra = Export(dir_ / "a.pst", paths, {true, true, true}, together).result;
    other.join();
    ASSERT_EQ(ra.outcome, SaveResult::Outcome::kCompleted) << ra.error;
    ASSERT_EQ(rb.outcome, SaveResult::Outcome::kCompleted) << rb.error;
    // Every file is one run's own, whole; none is lost or shared.
    EXPECT_EQ(FileContents(together), want) << round;
  }
}

TEST_F(ExportSafetyTest, EveryFolderGetsADistinctBoundedPlaceListedInTheJson) {
  std::vector<TestFolder> folders;
  // Names that differ only in what file systems cannot hold, and names with backslashes at
  // either end (one level each, whatever they hold).
  for (const char* name :
       {"a/b", "a\\b", "a:b", "a*b", "a_b", "\\lead", "trail\\", "\\\\two\\\\"}) {
    folders.push_back({-1, name, {}});
  }
  folders.push_back({5, "child", {}});
  folders.push_back({6, "x", {}});
  folders.push_back({-1, "A", {}});
  folders.push_back({10, "\\x", {}});
  // Five levels of 100-byte names: 500 bytes as one Maildir++ name.
  for (int level = 0; level < 5; ++level) {
    folders.push_back({level == 0 ? -1 : static_cast<int>(folders.size()) - 1,
                       std::string(100, static_cast<char>('p' + level)),
                       {}});
  }
  for (std::size_t i = 0; i < folders.size(); ++i) folders[i].subjects = {"s" + std::to_string(i)};
  const auto paths = WriteStore(dir_ / "names.pst", folders, "A");
  std::ofstream(dir_ / "PV_PST.ini") << "[PV_PST]\nLogPath=" << dir_.string() << "\n";
  ::setenv("PALVARA_SETTINGS", (dir_ / "PV_PST.ini").c_str(), 1);
  const auto r = testing::RunCli({"export", (dir_ / "names.pst").string(), "--to", out_.string(),
                                  "--format", "all", "--all", "--json"});
  ::unsetenv("PALVARA_SETTINGS");
  ASSERT_EQ(r.code, 0) << r.err;
  const json report = json::parse(r.out);
  EXPECT_TRUE(report["notices"].empty());

  std::set<std::string> directories, maildirs;
  const auto tree = ListTree(out_);
  for (std::size_t i = 0; i < paths.size(); ++i) {
    const json& f = report["folders"][paths[i]];
    ASSERT_TRUE(f.is_object()) << paths[i];
    EXPECT_EQ(f["messages"], 1) << paths[i];
    const fs::path directory = f["directory"].get<std::string>(),
                   maildir = f["maildir"].get<std::string>();
    EXPECT_TRUE(directories.insert(directory).second) << directory;
    EXPECT_TRUE(maildirs.insert(maildir).second) << maildir;
    for (const fs::path& p : {fs::relative(directory, out_), fs::relative(maildir, out_)}) {
      for (const fs::path& component : p) EXPECT_LE(component.string().size(), 255u) << p;
    }
    // The folder's own message, and only it, in its mbox and its Maildir++ folder.
    ASSERT_EQ(f["files"].size(), 1u) << paths[i];
    const std::string mbox =
        tree.at(fs::relative(f["files"][0].get<std::string>(), out_).string()).content;
    EXPECT_EQ(MboxMessages(mbox), 1);
    EXPECT_NE(mbox.find("Subject: s" + std::to_string(i) + "\n"), std::string::npos) << paths[i];
    const std::string box = fs::relative(maildir, out_).string();
    EXPECT_EQ(std::count_if(tree.begin(), tree.end(),
                            [&](const auto& e) {
                              return e.first.starts_with(box + "/new/") ||
                                     e.first.starts_with(box + "/cur/");
                            }),
              1)
        << paths[i];
  }
  // A name with backslashes is one level, its children below it.
  const auto directoryOf = [&](std::size_t i) {
    return fs::path(report["folders"][paths[i]]["directory"].get<std::string>());
  };
  EXPECT_EQ(directoryOf(5), out_ / "_lead");
  EXPECT_EQ(directoryOf(8).parent_path(), directoryOf(5));
  EXPECT_EQ(directoryOf(9).parent_path(), directoryOf(6));
  EXPECT_EQ(directoryOf(7).parent_path(), out_);
  EXPECT_EQ(fs::path(report["folders"][paths[8]]["maildir"].get<std::string>()).filename(),
            "._lead.child");
  // Exported without its parent, a name that begins with a backslash is still one level: the
  // path alone ("A\\\x") could also read as "A\" and "x".
  const Exported alone =
      Export(dir_ / "names.pst", {paths[11]}, {true, true, false}, dir_ / "alone");
  EXPECT_EQ(alone.placed.at(paths[11]).directory, dir_ / "alone" / "A" / "_x");
  EXPECT_EQ(alone.placed.at(paths[11]).maildir.filename(), ".A._x");
}

TEST_F(ExportSafetyTest, ATreeDeeperThanPathMaxIsExportedWhole) {
  // 40 levels of 200-byte names, a message in each.
  std::vector<TestFolder> folders;
  for (int level = 0; level < 40; ++level) {
    folders.push_back({level - 1,
                       std::string(200, static_cast<char>('a' + level % 26)),
                       {"d" + std::to_string(level)}});
  }
  const auto paths = WriteStore(dir_ / "deep.pst", folders, "A");
  const Exported e = Export(dir_ / "deep.pst", paths, {true, true, true}, out_);
  ASSERT_EQ(e.result.outcome, SaveResult::Outcome::kCompleted) << e.result.error;
  EXPECT_EQ(e.result.Written(), 40);
  const auto tree = ListTree(out_);
  std::string path;
  std::set<fs::path> maildirs;
  for (int level = 0; level < 40; ++level) {
    const OpenFormatOutput::Placement& placed = e.placed.at(paths[static_cast<std::size_t>(level)]);
    // Each level one directory below the one before, its name bounded.
    const std::string name = placed.directory.filename().string();
    EXPECT_LE(name.size(), 120u);
    path += (level == 0 ? "" : "/") + name;
    ASSERT_EQ(placed.directory.lexically_relative(out_).string(), path);
    ASSERT_EQ(tree.count(path + "/mbox"), 1u) << level;
    EXPECT_NE(tree.at(path + "/mbox").content.find("Subject: d" + std::to_string(level) + "\n"),
              std::string::npos);
    EXPECT_EQ(tree.count(path + "/00001 d" + std::to_string(level) + ".eml"), 1u) << level;
    EXPECT_LE(placed.maildir.filename().string().size(), 255u);
    EXPECT_TRUE(maildirs.insert(placed.maildir).second) << placed.maildir;
  }
  EXPECT_GT(path.size(), static_cast<std::size_t>(PATH_MAX));
  for (const auto& [p, entry] : tree) EXPECT_FALSE(IsTemporary(p, entry)) << p;
}

TEST_F(ExportSafetyTest, AFullDiskEndsTheRunWithStatus3AndLeavesNoTemporary) {
  const std::vector<TestFolder> folders = {{-1, "Inbox", {"one", "two", "big", "three"}},
                                           {-1, "Sent Items", {"Sent"}}};
  WriteStore(dir_ / "a.pst", folders, "A", "Ada", 70000);
  std::ofstream(dir_ / "PV_PST.ini") << "[PV_PST]\nLogPath=" << dir_.string() << "\n";
  ::setenv("PALVARA_SETTINGS", (dir_ / "PV_PST.ini").c_str(), 1);
  // A file size limit stands in for a full disk: writes past it fail.
  ::signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  ::getrlimit(RLIMIT_FSIZE, &old);
  rlimit small = old;
  small.rlim_cur = 40000;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const auto r = testing::RunCli({"export", (dir_ / "a.pst").string(), "--to", out_.string(),
                                  "--format", "all", "--all", "--json"});
  // The mbox grows in memory while the EML of the big message fails: the run's unfinished
  // mbox goes at once, not when its output does.
  const Exported e =
      Export(dir_ / "a.pst", {"Personal Folders\\Inbox\\"}, {true, false, true}, dir_ / "driver");
  ::setrlimit(RLIMIT_FSIZE, &old);
  EXPECT_EQ(e.result.outcome, SaveResult::Outcome::kOutputFailed);
  EXPECT_EQ(e.temporariesAfterRun, 0);
  ::unsetenv("PALVARA_SETTINGS");
  EXPECT_EQ(r.code, 3);
  // The file that did not fit is named.
  EXPECT_NE(r.err.find(out_.string() + "/"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("File too large"), std::string::npos) << r.err;
  EXPECT_EQ(json::parse(r.out)["outcome"], "output-failed");
  // The messages before the big one stand whole; no mbox was finished; nothing temporary.
  const auto tree = ListTree(out_);
  for (const auto& [path, entry] : tree) {
    EXPECT_FALSE(IsTemporary(path, entry)) << path;
    EXPECT_FALSE(path.ends_with("mbox")) << path;
  }
  for (const char* eml : {"Inbox/00001 one.eml", "Inbox/00002 two.eml"}) {
    ASSERT_EQ(tree.count(eml), 1u) << eml;
    EXPECT_NE(tree.at(eml).content.find(" from A"), std::string::npos) << tree.at(eml).content;
  }
  EXPECT_EQ(tree.count("Inbox/00003 big.eml"), 0u);
}

TEST_F(ExportSafetyTest, AStopKeepsWhatWasFinished) {
  const auto paths =
      WriteStore(dir_ / "a.pst", {{-1, "Inbox", {"1", "2", "3", "4", "5", "6"}}}, "A");
  Recorder recorder;
  recorder.stopAfter = 4;
  const Exported e = Export(dir_ / "a.pst", paths, {true, false, true}, out_, &recorder);
  EXPECT_EQ(e.result.outcome, SaveResult::Outcome::kAborted);
  const int written = e.result.Written();
  EXPECT_GT(written, 0);
  EXPECT_LT(written, 6);
  const auto tree = ListTree(out_);
  ASSERT_EQ(tree.count("Inbox/mbox"), 1u);
  EXPECT_EQ(MboxMessages(tree.at("Inbox/mbox").content), written);
  for (const auto& [path, entry] : tree) EXPECT_FALSE(IsTemporary(path, entry)) << path;
}

}  // namespace
}  // namespace palvara
