#include "writer/sample_generator.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <variant>

#include "items/analysis.h"
#include "items/mapping.h"
#include "reader/btree_walk.h"
#include "reader/named_properties.h"
#include "reader/property_list.h"
#include "tests/support/store_items.h"
#include "writer/store_check.h"

namespace palvara {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Keeps what the generator made, by folder path ("" for the top of the personal folders).
struct NoteItem {
  std::string text;
  std::uint64_t time;
};
struct JournalItem {
  std::string subject, type;
  std::uint64_t start;
};
using SampleItem = std::variant<MessageSpec, StoreWriter::Contact, StoreWriter::Appointment,
                                StoreWriter::Task, NoteItem, JournalItem>;

class RecordingSink : public SampleSink {
 public:
  RecordingSink() {
    paths_[kNidIpmSubtree] = "";
    paths_[kNidDeletedItems] = "Deleted Items";
  }
  std::uint32_t Folder(std::uint32_t parent, const std::string& name, const std::string&) override {
    const auto id = static_cast<std::uint32_t>(paths_.size() + 1);
    paths_[id] = paths_.at(parent).empty() ? name : paths_.at(parent) + "/" + name;
    items[paths_[id]];
    return id;
  }
  void Mail(std::uint32_t f, const MessageSpec& m) override { items[paths_.at(f)].push_back(m); }
  void Contact(std::uint32_t f, const StoreWriter::Contact& c) override { items[paths_.at(f)].push_back(c); }
  void Appointment(std::uint32_t f, const StoreWriter::Appointment& a) override {
    items[paths_.at(f)].push_back(a);
  }
  void Task(std::uint32_t f, const StoreWriter::Task& t) override { items[paths_.at(f)].push_back(t); }
  void Note(std::uint32_t f, const std::string& text, std::uint64_t time) override {
    items[paths_.at(f)].push_back(NoteItem{text, time});
  }
  void Journal(std::uint32_t f, const std::string& subject, const std::string& type,
               std::uint64_t start) override {
    items[paths_.at(f)].push_back(JournalItem{subject, type, start});
  }
  std::map<std::string, std::vector<SampleItem>> items;

 private:
  std::map<std::uint32_t, std::string> paths_;
};

// One stored item as our reader sees it: the mapped record and the raw property set.
struct ReadItem {
  std::unique_ptr<ItemRecord> record;
  std::unique_ptr<PropertyList> properties;
  std::unique_ptr<PropertyList> recipients;  // the last row first

  const PropertyEntry* Find(std::uint32_t id) const { return properties->Find(id); }
  std::string Text(std::uint32_t id) const {
    const PropertyEntry* e = Find(id);
    return e != nullptr && e->value ? NarrowUtf16(*e->value) : std::string("(absent)");
  }
  std::uint64_t Time(std::uint32_t id) const {
    const PropertyEntry* e = Find(id);
    return e != nullptr && e->value && e->value->size() == 8 ? *LoadLe64(*e->value, 0) : 0;
  }
};

ReadItem ReadBack(StoreFile& store, const StoreNode& node) {
  ReadItem item;
  item.record = LoadItem(store, node, MapContextFor(store));
  SubnodeList subnodes;
  if (node.subnodeBlock != nullptr) ReadSubnodes(store, node.subnodeBlock, subnodes);
  item.properties = ReadPropertyList(store, node.dataBlock, subnodes);
  if (const SubnodeEntry* table = FindSubnodeEntry(subnodes, 0x692)) {
    SubnodeList own;
    item.recipients = ReadSubnodePropertyList(store, *table, own);
  }
  return item;
}

void ExpectMail(const MessageSpec& m, const ReadItem& item) {
  const MailFields& mail = *item.record->mail;
  ASSERT_TRUE(mail.subject && mail.subject->text);
  EXPECT_EQ(*mail.subject->text, m.subject);
  EXPECT_EQ(mail.body.value_or(""), m.body);
  EXPECT_EQ(mail.senderName, m.senderName);
  EXPECT_EQ(mail.senderAddress, m.senderAddress);
  EXPECT_EQ(item.Time(0x0039), m.submitTime);
  EXPECT_EQ(item.Time(0x0E06), m.deliveryTime);
  EXPECT_EQ(mail.html, m.html);
  EXPECT_EQ((mail.messageFlags & 1) != 0, m.read);
  if (m.rtf) {
    ASSERT_TRUE(mail.rtfText);
    EXPECT_EQ(mail.rtfText->rfind("Hello,", 0), 0u) << *mail.rtfText;
  } else {
    EXPECT_FALSE(mail.rtfText);
  }
  // Every recipient with its name, address and type, in order.
  std::vector<std::tuple<std::string, std::string, std::uint32_t>> rows;
  for (const PropertyList* row = item.recipients.get(); row != nullptr; row = row->next.get()) {
    const PropertyEntry* type = row->Find(0x0C15);
    rows.emplace_back(NarrowUtf16(row->Find(0x3001)->value.value()),
                      NarrowUtf16(row->Find(0x3003)->value.value()),
                      type != nullptr && type->value ? *LoadLe32(*type->value, 0) : 0u);
  }
  std::reverse(rows.begin(), rows.end());
  ASSERT_EQ(rows.size(), m.recipients.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i], std::make_tuple(m.recipients[i].name, m.recipients[i].address,
                                       m.recipients[i].type));
  }
  // Attachments (the loader keeps them last row first): names, and the bytes of files.
  ASSERT_EQ(item.record->attachments.size(), m.attachments.size());
  for (std::size_t i = 0; i < m.attachments.size(); ++i) {
    const AttachmentNode& read = item.record->attachments[m.attachments.size() - 1 - i];
    EXPECT_EQ(read.longFileName, m.attachments[i].fileName);
    if (!m.attachments[i].embedded) {
      EXPECT_EQ(read.data, m.attachments[i].data);
    }
  }
}

void ExpectItem(const SampleItem& written, const ReadItem& item) {
  ASSERT_TRUE(item.record && item.properties);
  if (const auto* m = std::get_if<MessageSpec>(&written)) {
    EXPECT_EQ(item.record->kind, ItemKind::kMail);
    ExpectMail(*m, item);
  } else if (const auto* c = std::get_if<StoreWriter::Contact>(&written)) {
    ASSERT_EQ(item.record->kind, ItemKind::kContact);
    const ContactFields& f = *item.record->contact;
    EXPECT_EQ(item.record->displayName, c->displayName);
    EXPECT_EQ(f.givenName, c->givenName);
    EXPECT_EQ(f.surname, c->surname);
    EXPECT_EQ(f.company, c->company);
    EXPECT_EQ(f.businessPhone, c->businessPhone);
    EXPECT_EQ(f.mobilePhone, c->mobilePhone);
    EXPECT_EQ(item.Text(0x8083), c->email);  // e-mail 1, a named property
  } else if (const auto* a = std::get_if<StoreWriter::Appointment>(&written)) {
    ASSERT_EQ(item.record->kind, ItemKind::kAppointment);
    EXPECT_EQ(*item.record->mail->subject->text, a->subject);
    EXPECT_EQ(item.record->mail->body, a->body);
    EXPECT_EQ(item.Text(0x8208), a->location);
    EXPECT_EQ(item.Time(0x820D), a->start);
    EXPECT_EQ(item.Time(0x820E), a->end);
    ASSERT_NE(item.Find(0x8215), nullptr);
    EXPECT_EQ(item.Find(0x8215)->value->at(0) != std::byte{0}, a->allDay);
  } else if (const auto* t = std::get_if<StoreWriter::Task>(&written)) {
    // Tasks and notes are told apart by their folder, not by the item kind.
    ASSERT_EQ(item.record->messageClass, "IPM.Task");
    EXPECT_EQ(*item.record->mail->subject->text, t->subject);
    EXPECT_EQ(item.record->mail->body, t->body);
    EXPECT_EQ(item.Time(0x8104), t->start);
    EXPECT_EQ(item.Time(0x8105), t->due);
    double percent = -1;
    ASSERT_NE(item.Find(0x8102), nullptr);
    std::memcpy(&percent, item.Find(0x8102)->value->data(), 8);
    EXPECT_EQ(percent, t->percentComplete);
  } else if (const auto* n = std::get_if<NoteItem>(&written)) {
    ASSERT_EQ(item.record->messageClass, "IPM.StickyNote");
    EXPECT_EQ(item.record->mail->body, n->text);
    EXPECT_EQ(item.Time(0x0E06), n->time);
  } else if (const auto* j = std::get_if<JournalItem>(&written)) {
    ASSERT_EQ(item.record->kind, ItemKind::kJournal);
    EXPECT_EQ(*item.record->mail->subject->text, j->subject);
    EXPECT_EQ(item.record->journal->entryType, j->type);
    EXPECT_EQ(item.Time(0x8706), j->start);
  }
}

struct SampleCase {
  std::uint64_t seed;
  EncodingMethod encoding;
  NdbLayout layout = {};
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
    options_.layout = GetParam().layout;
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

TEST_P(SampleStoreTest, EveryItemReadsBackWithTheValuesWritten) {
  RecordingSink recorded;
  SampleSummary summary;
  GenerateSample(options_, recorded, summary);

  testing::StoreItems stored;
  ASSERT_TRUE(testing::LoadStoreItems(dir_ / "sample.pst", stored));
  StoreFile& store = stored.store;
  EXPECT_TRUE(store.damage.Empty());
  std::size_t compared = 0;
  for (const auto& [path, items] : recorded.items) {
    ASSERT_TRUE(stored.nodes.count(path) || items.empty()) << path;
    const auto& nodes = stored.nodes[path];
    ASSERT_EQ(nodes.size(), items.size()) << path;
    for (std::size_t i = 0; i < items.size(); ++i, ++compared) {
      SCOPED_TRACE(path + " #" + std::to_string(i));
      ExpectItem(items[i], ReadBack(store, *nodes[i]));
    }
  }
  EXPECT_EQ(compared, summary.mails + summary.contacts + summary.appointments + summary.tasks +
                          summary.notes + summary.journal);
}

TEST(SampleParts, ASampleLargerThanThePartLimitGoesOnInFurtherFiles) {
  const fs::path dir = fs::temp_directory_path() / ("palvara-parts-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  SampleOptions options;
  options.messages = 120;
  options.partLimit = 2'000'000;
  SampleSummary summary;
  ASSERT_TRUE(WriteSampleStore(dir / "big.pst", options, &summary).ok());
  ASSERT_GE(summary.files.size(), 2u);
  EXPECT_EQ(summary.files[0], dir / "big.pst");
  EXPECT_EQ(summary.files[1], dir / "big-2.pst");
  ChildCounts total;
  for (const fs::path& file : summary.files) {
    AnalysisOptions analysis;
    analysis.sourcePath = file;
    AnalysisObserver quiet;
    RunControl control;
    const AnalysisResult r = RunAnalysis(analysis, quiet, control);
    ASSERT_EQ(r.outcome, AnalysisResult::Outcome::kCompleted) << file;
    const CheckReport check = CheckStore(file);
    EXPECT_EQ(check.Errors() + check.Warnings(), 0u) << file;
    EXPECT_EQ(r.tree.size(), summary.folders + 1) << file;  // every part has every folder
    for (const TreeFolder& f : r.tree) total += f.children;
  }
  EXPECT_EQ(static_cast<std::uint64_t>(total.mail), summary.mails);
  EXPECT_EQ(static_cast<std::uint64_t>(total.Items()),
            summary.mails + summary.contacts + summary.appointments + summary.tasks +
                summary.notes + summary.journal);
  fs::remove_all(dir);
}

// The Unicode layout in each encoding, and the 4 KiB pages of an OST: plain, compressed, and
// compressed under a PST's client signature.
INSTANTIATE_TEST_SUITE_P(
    Seeds, SampleStoreTest,
    ::testing::Values(SampleCase{1, EncodingMethod::kPermute}, SampleCase{2, EncodingMethod::kNone},
                      SampleCase{3, EncodingMethod::kCyclic},
                      SampleCase{4, EncodingMethod::kNone, {&k4kGeometry, false, kClientOst}},
                      SampleCase{5, EncodingMethod::kNone, {&k4kGeometry, true, kClientOst}},
                      SampleCase{6, EncodingMethod::kNone, {&k4kGeometry, true, kClientPst}}),
    [](const auto& param) {
      const NdbLayout& layout = param.param.layout;
      std::string name = "seed" + std::to_string(param.param.seed) + "_" +
                         EncodingName(param.param.encoding);
      if (layout.geometry == &k4kGeometry) {
        name += std::string("_4k") + (layout.compress ? "_compressed" : "") +
                (layout.client == kClientOst ? "_ost" : "_pst");
      }
      return name;
    });

}  // namespace
}  // namespace palvara
