#include "writer/store_writer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "items/analysis.h"
#include "items/mapping.h"
#include "reader/block_access.h"
#include "reader/btree_walk.h"
#include "tests/support/test_data.h"

namespace palvara {
namespace {

namespace fs = std::filesystem;

Bytes Fill(std::size_t size, int seed) { return testing::PatternBytes(size, seed, 131); }

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A store with two folders and messages of every shape the writer knows.
struct Written {
  struct Folder {
    std::string path;  // below the top of the personal folders, "/"-separated
    std::vector<MessageSpec> messages;
  };
  std::vector<Folder> folders;
};

Written WriteSample(const fs::path& path, EncodingMethod encoding) {
  Status status = Status::Ok();
  auto writer = StoreWriter::Create(path, "Personal Folders", encoding, &status);
  EXPECT_TRUE(writer) << status.message();
  Written written;
  const std::uint32_t inbox = writer->CreateFolder(kNidIpmSubtree, "Inbox", "IPF.Note");
  const std::uint32_t sub = writer->CreateFolder(inbox, "Проекты", "IPF.Note");
  written.folders = {{"Inbox", {}}, {"Inbox/Проекты", {}}};
  const char* subjects[] = {"Quarterly report", "東京の会議", "RE: Grüße aus Köln", "تقرير",
                            "Facture été"};
  for (int i = 0; i < 5; ++i) {
    MessageSpec m;
    m.subject = subjects[i];
    m.body = std::string("Body of ") + subjects[i] + "\r\nsecond line";
    m.senderName = "Ada Lovelace";
    m.senderAddress = "ada@example.com";
    m.submitTime = m.deliveryTime = 0x01D6000000000000ull + static_cast<std::uint64_t>(i) * 10000000;
    m.recipients = {{"Bob", "bob@example.com", 1}, {"Carol", "carol@example.com", 2}};
    if (i == 1) m.html = Fill(5000, 1);
    if (i == 2) {
      const std::string octets = "application/octet-stream";
      m.attachments = {{"small.txt", Fill(10, 2), octets, nullptr},
                       {"medium.bin", Fill(5000, 3), octets, nullptr},
                       {"large.bin", Fill(300000, 4), octets, nullptr}};
    }
    const bool inSub = i >= 3;
    writer->AddMessage(inSub ? sub : inbox, m);
    written.folders[inSub ? 1 : 0].messages.push_back(m);
  }
  EXPECT_TRUE(writer->Finish().ok());
  return written;
}

class StoreWriterTest : public ::testing::TestWithParam<EncodingMethod> {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("palvara-store-" + std::to_string(::getpid()) + "-" + EncodingName(GetParam()));
    fs::create_directories(dir_);
    path_ = dir_ / "written.pst";
    written_ = WriteSample(path_, GetParam());
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_, path_;
  Written written_;
};

TEST_P(StoreWriterTest, OurReaderReadsBackEveryFolderAndItem) {
  StoreFile store;
  ASSERT_TRUE(OpenStore(store, path_).ok());
  EXPECT_EQ(IndexStore(store), 0);
  EXPECT_TRUE(store.damage.Empty());
  EXPECT_EQ(store.encoding, GetParam());
  EXPECT_EQ(LoadNamedPropertyMap(store), 1);

  AnalysisOptions options;
  options.sourcePath = path_;
  AnalysisObserver quiet;
  RunControl control;
  const AnalysisResult result = RunAnalysis(options, quiet, control);
  EXPECT_EQ(result.outcome, AnalysisResult::Outcome::kCompleted);
  for (const Written::Folder& folder : written_.folders) {
    std::string wizardPath = "Personal Folders\\";
    for (char c : folder.path) wizardPath += c == '/' ? '\\' : c;
    wizardPath += "\\";
    const auto entry = std::find_if(result.folders.begin(), result.folders.end(),
                                    [&](const FolderEntry& e) { return e.path == wizardPath; });
    ASSERT_NE(entry, result.folders.end()) << wizardPath;
    ASSERT_EQ(entry->items.size(), folder.messages.size());
    for (std::size_t i = 0; i < folder.messages.size(); ++i) {
      const MessageSpec& m = folder.messages[i];
      const MailFields& mail = *entry->items[i];
      EXPECT_EQ(mail.subject->text, m.subject);
      EXPECT_EQ(mail.body, m.body);
      EXPECT_EQ(mail.senderName, m.senderName);
      EXPECT_EQ(mail.displayTo, "Bob");
      EXPECT_EQ(mail.displayCc, "Carol");
      EXPECT_EQ(*LoadLe64(*mail.deliveryTime, 0), m.deliveryTime);
      EXPECT_EQ(mail.html, m.html);
    }
  }
  // Attachments, names and bytes, through the item loader.
  const StoreNode* message = FindNode(store, (0x10003u << 5) | 0x04);
  ASSERT_NE(message, nullptr);
  const auto record = LoadItem(store, *message, MapContextFor(store));
  ASSERT_NE(record, nullptr);
  const auto& expected = written_.folders[0].messages[2].attachments;
  ASSERT_EQ(record->attachments.size(), expected.size());
  for (const AttachmentSpec& a : expected) {
    const auto found = std::find_if(record->attachments.begin(), record->attachments.end(),
                                    [&](const AttachmentNode& n) { return n.longFileName == a.fileName; });
    ASSERT_NE(found, record->attachments.end()) << a.fileName;
    EXPECT_EQ(found->data, a.data) << a.fileName;
  }
}

TEST_P(StoreWriterTest, IndependentReadersExportWhatWasWritten) {
  if (std::system("command -v pffexport >/dev/null 2>&1 && command -v readpst >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "pffexport or readpst is not installed";
  }
  const std::string quoted = "'" + path_.string() + "'";
  ASSERT_EQ(std::system(("pffinfo " + quoted + " >/dev/null 2>&1").c_str()), 0);
  const fs::path pff = dir_ / "pff";
  ASSERT_EQ(std::system(("pffexport -m all -t '" + pff.string() + "' " + quoted + " >/dev/null 2>&1").c_str()), 0);
  const fs::path rp = dir_ / "readpst";
  fs::create_directories(rp);
  ASSERT_EQ(std::system(("readpst -j 0 -D -M -b -o '" + rp.string() + "' " + quoted + " >/dev/null 2>&1").c_str()), 0);

  for (const Written::Folder& folder : written_.folders) {
    const fs::path pffFolder = fs::path(pff.string() + ".export") / "Top of Personal Folders" / folder.path;
    const fs::path rpFolder = rp / "Personal Folders" / folder.path;
    std::vector<fs::path> messages;
    for (const auto& e : fs::directory_iterator(pffFolder)) {
      if (e.is_directory() && e.path().filename().string().rfind("Message", 0) == 0) messages.push_back(e.path());
    }
    std::sort(messages.begin(), messages.end());
    ASSERT_EQ(messages.size(), folder.messages.size()) << folder.path;
    std::size_t files = 0;
    for (const auto& e : fs::directory_iterator(rpFolder)) files += e.is_regular_file() ? 1 : 0;
    EXPECT_EQ(files, folder.messages.size()) << folder.path;
    for (std::size_t i = 0; i < messages.size(); ++i) {
      const MessageSpec& m = folder.messages[i];
      EXPECT_NE(ReadText(messages[i] / "OutlookHeaders.txt").find("Subject:\t\t\t\t" + m.subject),
                std::string::npos) << m.subject;
      EXPECT_NE(ReadText(messages[i] / "Message.txt").find("second line"), std::string::npos);
      for (std::size_t k = 0; k < m.attachments.size(); ++k) {
        const fs::path file = messages[i] / "Attachments" /
                              (std::to_string(k + 1) + "_" + m.attachments[k].fileName);
        const std::string bytes = ReadText(file);
        ASSERT_EQ(bytes.size(), m.attachments[k].data.size()) << file;
        EXPECT_EQ(std::memcmp(bytes.data(), m.attachments[k].data.data(), bytes.size()), 0);
      }
    }
  }
}

// The nodes a new store needs sit where Outlook puts them in a store it created itself.
TEST(StoreWriterNodeSet, MatchesOutlooksEmptyStore) {
  const fs::path sample =
      testing::kTestData.parent_path() / "docs" / "samples" / "outlook-empty-unicode.pst";
  if (!fs::exists(sample)) GTEST_SKIP() << "sample store absent";
  const fs::path dir = fs::temp_directory_path() / ("palvara-nodeset-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  Status status = Status::Ok();
  auto writer = StoreWriter::Create(dir / "empty.pst", "Personal Folders", EncodingMethod::kPermute, &status);
  ASSERT_TRUE(writer);
  ASSERT_TRUE(writer->Finish().ok());
  StoreFile ours, outlook;
  ASSERT_TRUE(OpenStore(ours, dir / "empty.pst").ok());
  ASSERT_TRUE(OpenStore(outlook, sample).ok());
  ASSERT_EQ(IndexStore(ours), 0);
  ASSERT_EQ(IndexStore(outlook), 0);
  for (std::uint32_t nid : {0x21u, 0x61u, 0x122u, 0x12Du, 0x12Eu, 0x12Fu, 0x8022u, 0x802Du,
                            0x8042u, 0x8062u, 0x8082u, 0x2223u, 0x2226u, 0x2227u, 0x2230u, 0x1E1u,
                            0x201u, 0x261u, 0x60Du, 0x60Eu, 0x60Fu, 0x610u, 0x671u, 0x692u, 0x62Bu,
                            0x64Cu}) {
    const StoreNode* mine = FindNode(ours, nid);
    const StoreNode* theirs = FindNode(outlook, nid);
    ASSERT_NE(theirs, nullptr) << std::hex << nid;
    ASSERT_NE(mine, nullptr) << std::hex << nid;
    EXPECT_EQ(mine->nidParent, theirs->nidParent) << std::hex << nid;
    EXPECT_EQ(mine->dataBlock == nullptr, theirs->dataBlock == nullptr) << std::hex << nid;
  }
  // The search activity list names the spam search folder.
  EXPECT_EQ(ReadNodeBytes(ours, FindNode(ours, 0x201)->dataBlock),
            ReadNodeBytes(outlook, FindNode(outlook, 0x201)->dataBlock));
  fs::remove_all(dir);
}

// What a store will weigh once finished is known before: samples stop short of the 2 GB limit.
TEST(StoreWriterSize, TheProjectedSizeIsNeverBelowTheFinishedFile) {
  const fs::path path = fs::temp_directory_path() / ("palvara-projected-" + std::to_string(::getpid()) + ".pst");
  Status status = Status::Ok();
  auto writer = StoreWriter::Create(path, "Personal Folders", EncodingMethod::kPermute, &status);
  ASSERT_TRUE(writer);
  const std::uint32_t inbox = writer->CreateFolder(kNidIpmSubtree, "Inbox", "IPF.Note");
  for (int i = 0; i < 3000; ++i) {
    MessageSpec m;
    m.subject = "Message " + std::to_string(i);
    m.body = "short";
    m.recipients = {{"Bob", "bob@example.com", 1}};
    writer->AddMessage(inbox, m);
  }
  const std::uint64_t projected = writer->ProjectedSize();
  ASSERT_TRUE(writer->Finish().ok());
  const std::uint64_t size = fs::file_size(path);
  EXPECT_LE(size, projected);
  EXPECT_LE(projected, size + size / 2);  // and not far above it
  fs::remove(path);
}

INSTANTIATE_TEST_SUITE_P(AllEncodings, StoreWriterTest,
                         ::testing::Values(EncodingMethod::kNone, EncodingMethod::kPermute,
                                           EncodingMethod::kCyclic),
                         [](const auto& param) { return std::string(EncodingName(param.param)); });

}  // namespace
}  // namespace palvara
