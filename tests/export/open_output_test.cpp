#include "export/open_output.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>

#include "common/text.h"
#include "export/saving_driver.h"
#include "tests/export/recurrence_blob.h"
#include "tests/support/store_items.h"
#include "tests/support/test_data.h"
#include "writer/sample_generator.h"
#include "writer/store_writer.h"

namespace palvara {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr std::uint64_t kTime = 0x01DB000000000000ull;

// What Python's mail, vCard and iCalendar parsers find in an export.
json ReadExport(const fs::path& dir) {
  int status = 0;
  const std::string out = testing::CaptureCommand(
      std::string("/usr/bin/python3 '") + PALVARA_EXPORT_READER + "' '" + dir.string() + "'", &status);
  EXPECT_EQ(status, 0) << out;
  return status == 0 ? json::parse(out) : json::object();
}

// The number of messages mutt shows for a mailbox (run under a pseudo-terminal).
int MuttCount(const fs::path& mailbox) {
  int status = 0;
  const std::string screen = testing::CaptureCommand(
      "cd /tmp && TERM=vt100 timeout 30 script -qec \"mutt -n -F /dev/null -R -e 'set folder=/tmp' -f '" +
          mailbox.string() +
          "' -e 'set status_format=\\\"COUNT<%m>\\\"' -e 'push <quit>'\" /dev/null 2>&1",
      &status);
  const auto at = screen.rfind("COUNT<");
  return at == std::string::npos ? -1 : std::stoi(screen.substr(at + 6));
}

PropertyValue TextProperty(std::uint16_t id, const std::string& text) {
  return {id, 0x001F, Utf8ToUtf16Le(text)};
}

class Observer : public SavingObserver {
 public:
  std::vector<std::string> messages, failed;
  void Message(const std::string& text) override { messages.push_back(text); }
  void ItemFailed(const std::string& folder, const std::string& reason) override {
    failed.push_back(folder + ": " + reason);
  }
};

class OpenExportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("palvara-open-export-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  SaveResult Export(const fs::path& source, const std::vector<std::string>& folders,
                    OpenFormats formats, const fs::path& to) {
    OpenFormatOutput output(formats, to);
    SaveOptions options;
    options.sourcePath = source;
    options.targetFolder = to.string();
    options.selectedFolders = folders;
    options.target = &output;
    RunControl control;
    SaveResult result = RunSave(options, observer_, control);
    byFolder_ = output.MessagesByFolder();
    return result;
  }

  fs::path dir_;
  Observer observer_;
  std::map<std::string, int> byFolder_;
};

// A store of the awkward cases: folder names no file system takes as they are, a message
// without any header, a nameless attachment, an HTML body with a cid: image, stored headers.
struct AwkwardStore {
  Bytes pdf = testing::PatternBytes(70000, 3);
  Bytes unnamed = testing::PatternBytes(999, 9);
  Bytes image = testing::PatternBytes(1500, 5);
  std::vector<std::string> folders;
};

AwkwardStore WriteAwkwardStore(const fs::path& path) {
  AwkwardStore s;
  Status status = Status::Ok();
  auto w = StoreWriter::Create(path, "Personal Folders", EncodingMethod::kPermute, &status);
  const std::uint32_t inbox = w->CreateFolder(kNidIpmSubtree, "Inbox", "IPF.Note");
  MessageSpec full;
  full.subject = "Отчёт for Q3 – 東京";
  full.body = "Plain words\nFrom the start of a line\n";
  const std::string html = "<html><body><p>Look</p><img src=\"cid:chart1@palvara\"></body></html>";
  full.html = Bytes(reinterpret_cast<const std::byte*>(html.data()),
                    reinterpret_cast<const std::byte*>(html.data()) + html.size());
  full.senderName = "Ada Lovelace";
  full.senderAddress = "ada@example.com";
  full.submitTime = kTime;
  full.deliveryTime = kTime + 600000000ull;
  full.recipients = {{"Bob Doe", "bob@example.com", 1}, {"Zoë", "zoe@example.com", 2}};
  full.attachments.push_back({"résumé 2024.pdf", s.pdf, "application/pdf", nullptr, {}});
  full.attachments.push_back({"", s.unnamed, "application/octet-stream", nullptr, {}});
  full.attachments.push_back({"chart.png", s.image, "image/png", nullptr,
                              {TextProperty(0x3712, "chart1@palvara")}});
  MessageSpec inner;
  inner.subject = "The original";
  inner.body = "Inner words";
  inner.senderName = "Carol";
  inner.senderAddress = "carol@example.com";
  full.attachments.push_back({"original.msg", {}, "", std::make_shared<const MessageSpec>(inner), {}});
  w->AddMessage(inbox, full);

  MessageSpec bare;  // nothing but its class
  w->AddMessage(inbox, bare);

  MessageSpec stored;
  stored.subject = "Stored";
  stored.body = "Body";
  stored.read = false;
  stored.extra.push_back(TextProperty(
      0x007D,
      "Received: from mx\r\n\tby relay\r\nFrom: Stored Sender <stored@example.com>\r\n"
      "To: x@example.com\r\nSubject: Stored subject\r\nDate: Tue, 1 Oct 2024 10:00:00 +0000\r\n"
      "garbage without colon\r\nContent-Type: multipart/mixed; boundary=\"gone\"\r\n\r\n"));
  w->AddMessage(inbox, stored);

  for (const char* name : {"a/b", "v1.2.", "CON", "Входящие 東京", "Reports", "reports", "mbox"}) {
    const std::uint32_t f = w->CreateFolder(kNidIpmSubtree, name, "IPF.Note");
    MessageSpec m;
    m.subject = std::string("In ") + name;
    m.body = "x";
    m.submitTime = kTime;
    w->AddMessage(f, m);
    s.folders.push_back(std::string("Personal Folders\\") + name + "\\");
  }
  // A backslash inside a name is not a level: "Q3\\2024" is one folder, with one below it,
  // and the folders after it are still at the top.
  const std::uint32_t quarter = w->CreateFolder(kNidIpmSubtree, "Q3\\2024", "IPF.Note");
  const std::uint32_t sub = w->CreateFolder(quarter, "Sub", "IPF.Note");
  for (const std::uint32_t f : {quarter, sub}) {
    MessageSpec m;
    m.subject = "Quarter";
    m.body = "x";
    w->AddMessage(f, m);
  }
  s.folders.push_back("Personal Folders\\Q3\\\\2024\\");
  s.folders.push_back("Personal Folders\\Q3\\\\2024\\Sub\\");
  const std::uint32_t contacts = w->CreateFolder(kNidIpmSubtree, "Contacts", "IPF.Contact");
  w->AddContact(contacts, {"Ada Lovelace", "Ada", "Lovelace", "Engines; Ltd", "ada@example.com",
                           "+1 555 0100", "+1 555 0199"});
  w->AddContact(contacts, {"Алан Тьюринг", "Алан", "Тьюринг", "", "alan@example.com", "", ""});
  const std::uint32_t calendar = w->CreateFolder(kNidIpmSubtree, "Calendar", "IPF.Appointment");
  w->AddAppointment(calendar, {"Review", "Room 1", "Agenda, items", kTime, kTime + 36000000000ull, false});
  w->AddAppointment(calendar, {"Holiday", "", "", kTime, kTime + 864000000000ull, true});
  // A weekly meeting in a zone one hour east of UTC with summer time, with an attendee.
  MessageSpec weekly;
  weekly.messageClass = "IPM.Appointment";
  weekly.subject = "Weekly sync";
  weekly.senderName = "Ada Lovelace";
  weekly.senderAddress = "ada@example.com";
  weekly.recipients = {{"Bob Doe", "bob@example.com", 1}};
  auto named = [&](std::uint32_t lid, std::uint16_t type, Bytes value) {
    weekly.extra.push_back({w->NamedPropertyId(kPsetidAppointment, lid), type, std::move(value)});
  };
  Bytes tz(48);
  const std::int32_t fields[] = {-60, 0, -60};
  for (int i = 0; i < 3; ++i) {
    for (int b = 0; b < 4; ++b) tz[static_cast<std::size_t>(4 * i + b)] = std::byte((static_cast<std::uint32_t>(fields[i]) >> (8 * b)) & 0xFF);
  }
  tz[16] = std::byte{10}; tz[20] = std::byte{5}; tz[22] = std::byte{3};  // last Sunday of October, 3:00
  tz[34] = std::byte{3}; tz[38] = std::byte{5}; tz[40] = std::byte{2};   // last Sunday of March, 2:00
  named(0x8216, 0x0102, testing::WeeklyBlob());
  named(0x8233, 0x0102, tz);
  named(0x8234, 0x001F, Utf8ToUtf16Le("W. Europe Standard Time"));
  Bytes start(8), end(8);
  for (int b = 0; b < 8; ++b) {
    start[static_cast<std::size_t>(b)] = std::byte(((kTime) >> (8 * b)) & 0xFF);
    end[static_cast<std::size_t>(b)] = std::byte(((kTime + 36000000000ull) >> (8 * b)) & 0xFF);
  }
  named(0x820D, 0x0040, start);
  named(0x820E, 0x0040, end);
  w->AddMessage(calendar, weekly);
  const std::uint32_t tasks = w->CreateFolder(kNidIpmSubtree, "Tasks", "IPF.Task");
  w->AddTask(tasks, {"Call back", "About the invoice", kTime, kTime + 864000000000ull, 0.5, ""});
  const std::uint32_t notes = w->CreateFolder(kNidIpmSubtree, "Notes", "IPF.StickyNote");
  w->AddNote(notes, "Remember the milk\nand bread", kTime);
  const std::uint32_t journal = w->CreateFolder(kNidIpmSubtree, "Journal", "IPF.Journal");
  w->AddJournalEntry(journal, "Phone call with Bob", "Phone call", kTime);
  EXPECT_TRUE(w->Finish().ok());
  for (const char* name : {"Inbox", "Contacts", "Calendar", "Tasks", "Notes", "Journal"}) {
    s.folders.push_back(std::string("Personal Folders\\") + name + "\\");
  }
  return s;
}

// CRC-32 (the ISO-HDLC one zlib computes) of attachment bytes.
std::uint32_t Crc32(const Bytes& bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::byte b : bytes) {
    crc ^= static_cast<std::uint32_t>(b);
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

TEST_F(OpenExportTest, AwkwardItemsReachEveryFormatAndParseCleanly) {
  const AwkwardStore store = WriteAwkwardStore(dir_ / "awkward.pst");
  const fs::path out = dir_ / "out";
  const SaveResult r = Export(dir_ / "awkward.pst", store.folders, {true, true, true}, out);
  ASSERT_EQ(r.outcome, SaveResult::Outcome::kCompleted) << r.error;
  EXPECT_TRUE(observer_.failed.empty());
  const json found = ReadExport(out);
  ASSERT_TRUE(found.contains("folders"));

  // Safe, distinct directory names; "mbox" is this output's own file name.
  for (const char* dir : {"a_b", "v1.2", "CON_", "Входящие 東京", "Reports", "reports (2)", "mbox (2)"}) {
    ASSERT_TRUE(found["folders"].contains(dir)) << dir;
    EXPECT_EQ(found["folders"][dir]["mbox"].size(), 1u) << dir;
    EXPECT_EQ(found["folders"][dir]["eml"].size(), 1u) << dir;
  }
  EXPECT_EQ(found["maildir"]["a_b"].size(), 1u);
  EXPECT_EQ(found["maildir"]["v1_2"].size(), 1u);
  for (const char* dir : {"Q3_2024", "Q3_2024/Sub"}) {
    EXPECT_EQ(found["folders"][dir]["mbox"].size(), 1u) << dir;
  }
  EXPECT_FALSE(found["folders"].contains("Q3"));
  EXPECT_EQ(found["maildir"]["Q3_2024"].size(), 1u);
  EXPECT_EQ(found["maildir"]["Q3_2024.Sub"].size(), 1u);
  EXPECT_EQ(byFolder_["Personal Folders\\Q3\\\\2024\\Sub\\"], 1);

  const json& inbox = found["folders"]["Inbox"];
  const json& maildirInbox = found["maildir"]["Inbox"];
  ASSERT_EQ(inbox["mbox"].size(), 3u);
  ASSERT_EQ(inbox["eml"].size(), 3u);
  ASSERT_EQ(maildirInbox.size(), 3u);
  for (const json* list : {&inbox["mbox"], &inbox["eml"], &maildirInbox}) {
    for (const json& m : *list) EXPECT_TRUE(m["defects"].empty()) << m.dump();
    const json& full = (*list)[0];
    EXPECT_EQ(full["subject"], "Отчёт for Q3 – 東京");
    EXPECT_EQ(full["from"][0]["address"], "ada@example.com");
    EXPECT_EQ(full["from"][0]["name"], "Ada Lovelace");
    EXPECT_EQ(full["to"][0]["address"], "bob@example.com");
    EXPECT_EQ(full["cc"][0]["name"], "Zoë");
    EXPECT_EQ(full["date"], static_cast<long long>((kTime - 116444736000000000ull) / 10000000));
    EXPECT_EQ(full["plain"], "Plain words\nFrom the start of a line\n");
    EXPECT_NE(full["html"].get<std::string>().find("cid:chart1@palvara"), std::string::npos);
    EXPECT_EQ(full["inline"], json::array({"chart1@palvara"}));
    const json& files = full["attachments"];
    ASSERT_EQ(files.size(), 3u) << files.dump();
    EXPECT_EQ(files[0]["filename"], "résumé 2024.pdf");
    EXPECT_EQ(files[0]["crc32"], Crc32(store.pdf));
    EXPECT_EQ(files[1]["filename"], "");
    EXPECT_EQ(files[1]["crc32"], Crc32(store.unnamed));
    EXPECT_EQ(files[2]["type"], "message/rfc822");
    EXPECT_EQ(files[2]["subject"], "The original");

    const json& bare = (*list)[1];
    EXPECT_EQ(bare["subject"], "");
    EXPECT_TRUE(bare["from"].empty());

    const json& stored = (*list)[2];
    EXPECT_EQ(stored["subject"], "Stored subject");
    EXPECT_EQ(stored["from"][0]["address"], "stored@example.com");
    EXPECT_EQ(stored["plain"], "Body\n");
  }
  // Read state: "RO" / "O" in the mbox, S or new/ in the Maildir.
  EXPECT_EQ(inbox["mbox"][0]["status"], "RO");
  EXPECT_EQ(inbox["mbox"][2]["status"], "O");
  EXPECT_EQ(maildirInbox[0]["flags"], "S");
  EXPECT_EQ(maildirInbox[2]["flags"], "");

  EXPECT_EQ(found["folders"]["Contacts"]["cards"], 2);
  const json& ada = found["folders"]["Contacts"]["cardList"][0];
  EXPECT_EQ(ada["fn"], "Ada Lovelace");
  EXPECT_EQ(ada["n"], "Lovelace;Ada");
  EXPECT_EQ(ada["org"], json::array({"Engines; Ltd"}));
  EXPECT_EQ(ada["emails"], json::array({"ada@example.com"}));
  EXPECT_EQ(ada["tels"].size(), 2u);
  EXPECT_EQ(found["folders"]["Contacts"]["cardList"][1]["fn"], "Алан Тьюринг");
  ASSERT_EQ(found["folders"]["Calendar"]["events"], 3);
  const json& events = found["folders"]["Calendar"]["eventList"];
  EXPECT_EQ(events[0]["summary"], "Review");
  EXPECT_EQ(events[0]["location"], "Room 1");
  EXPECT_EQ(events[0]["description"], "Agenda, items");
  EXPECT_EQ(events[1]["allDay"], true);
  EXPECT_EQ(events[2]["rrule"], "FREQ=WEEKLY;COUNT=10;INTERVAL=1;BYDAY=MO,WE;WKST=SU");
  // The start is 9:00 in the zone, which the parser resolves to 8:00 UTC in winter.
  EXPECT_EQ(events[2]["startUtc"], "2006-02-20T08:00:00+00:00");
  EXPECT_EQ(events[2]["attendees"], json::array({"mailto:bob@example.com"}));
  EXPECT_EQ(events[2]["organizer"], "mailto:ada@example.com");
  EXPECT_EQ(found["folders"]["Tasks"]["todos"], 1);
  EXPECT_EQ(found["folders"]["Journal"]["journals"], 1);
  EXPECT_EQ(found["folders"]["Notes"]["notes"], 1);

  EXPECT_EQ(MuttCount(out / "Inbox" / "mbox"), 3);
  EXPECT_EQ(MuttCount(out / "Maildir" / ".Inbox"), 3);
  EXPECT_EQ(MuttCount(out / "Maildir" / ".a_b"), 1);
  // Nothing is left under a temporary name.
  for (const auto& e : fs::recursive_directory_iterator(out)) {
    EXPECT_NE(e.path().extension(), ".part") << e.path();
  }
}

TEST_F(OpenExportTest, TheSampleStoreArrivesItemForItem) {
  const fs::path source = dir_ / "sample.pst";
  SampleOptions options;
  options.messages = 120;
  options.seed = 7;
  ASSERT_TRUE(WriteSampleStore(source, options, nullptr).ok());
  testing::StoreItems items;
  ASSERT_TRUE(testing::LoadStoreItems(source, items));
  std::vector<std::string> folders;
  for (const auto& [path, records] : items.folders) {
    std::string p = "Personal Folders\\" + path + (path.empty() ? "" : "\\");
    std::replace(p.begin(), p.end(), '/', '\\');
    folders.push_back(p);
  }
  const fs::path out = dir_ / "out";
  const SaveResult r = Export(source, folders, {true, false, true}, out);
  ASSERT_EQ(r.outcome, SaveResult::Outcome::kCompleted) << r.error;
  const json found = ReadExport(out);
  int compared = 0;
  for (const auto& [path, records] : items.folders) {
    std::vector<const ItemRecord*> mail;
    for (const auto& record : records) {
      if (record && record->kind == ItemKind::kMail && record->mail) mail.push_back(record.get());
    }
    const json& folder = found["folders"][path];
    ASSERT_EQ(folder["mbox"].size(), mail.size()) << path;
    ASSERT_EQ(folder["eml"].size(), mail.size()) << path;
    if (!mail.empty()) {
      EXPECT_EQ(MuttCount(out / path / "mbox"), static_cast<int>(mail.size())) << path;
    }
    for (std::size_t i = 0; i < mail.size(); ++i) {
      const MailFields& m = *mail[i]->mail;
      for (const json* message : {&folder["mbox"][i], &folder["eml"][i]}) {
        EXPECT_TRUE((*message)["defects"].empty()) << (*message)["defects"].dump();
        EXPECT_EQ((*message)["subject"], m.subject && m.subject->text ? *m.subject->text : "");
        if (m.senderAddress) {
          EXPECT_EQ((*message)["from"][0]["address"], *m.senderAddress);
        }
        const Raw& time = m.submitTime ? m.submitTime : m.deliveryTime;
        if (time) {
          EXPECT_EQ((*message)["date"], static_cast<long long>((*LoadLe64(*time, 0) - 116444736000000000ull) / 10000000));
        }
        std::string body = m.body.value_or(m.rtfText.value_or(""));
        std::erase(body, '\r');
        if (!body.empty() && body.back() != '\n') body += '\n';
        if (!body.empty()) {
          EXPECT_EQ((*message)["plain"], body);
        }
        std::size_t files = 0;
        for (const AttachmentNode& a : mail[i]->attachments) {
          if (a.embeddedNid != 0) continue;
          ++files;
          bool matched = false;
          for (const json& f : (*message)["attachments"]) {
            if (a.data && f.contains("crc32") && f["crc32"] == Crc32(*a.data) && f["size"] == a.data->size()) {
              matched = true;
            }
          }
          if (a.data) {
            EXPECT_TRUE(matched) << path << " #" << i << " " << a.longFileName.value_or("");
          }
        }
        EXPECT_GE((*message)["attachments"].size(), files);
        ++compared;
      }
    }
  }
  EXPECT_GT(compared, 200);
}

TEST_F(OpenExportTest, AnUnwritableDestinationEndsWithAClearMessage) {
  const AwkwardStore store = WriteAwkwardStore(dir_ / "awkward.pst");
  { std::ofstream blocker(dir_ / "file"); }
  const SaveResult r = Export(dir_ / "awkward.pst", store.folders, {true, false, false}, dir_ / "file" / "out");
  EXPECT_EQ(r.outcome, SaveResult::Outcome::kOutputFailed);
  ASSERT_EQ(observer_.messages.size(), 1u);
  EXPECT_NE(observer_.messages[0].find((dir_ / "file" / "out").string()), std::string::npos);
  EXPECT_NE(observer_.messages[0].find("could not be created"), std::string::npos);
}

TEST_F(OpenExportTest, AFullDiskLeavesOnlyWholeMessagesUnderFinalNames) {
  const AwkwardStore store = WriteAwkwardStore(dir_ / "awkward.pst");
  // A file size limit stands in for a full disk: writes past it fail.
  ::signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  ::getrlimit(RLIMIT_FSIZE, &old);
  rlimit small = old;
  small.rlim_cur = 40000;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const SaveResult r = Export(dir_ / "awkward.pst", {"Personal Folders\\Inbox\\"}, {true, false, true}, dir_ / "out");
  ::setrlimit(RLIMIT_FSIZE, &old);
  EXPECT_EQ(r.outcome, SaveResult::Outcome::kOutputFailed);
  ASSERT_FALSE(observer_.messages.empty());
  EXPECT_NE(observer_.messages[0].find("could not be written"), std::string::npos) << observer_.messages[0];
  EXPECT_NE(observer_.messages[0].find("File too large"), std::string::npos) << observer_.messages[0];
  // The first message (70 kB of attachment) never fits: no file of it may stand.
  const json found = ReadExport(dir_ / "out");
  const json& inbox = found["folders"]["Inbox"];
  for (const json& m : inbox["eml"]) EXPECT_TRUE(m["defects"].empty());
  for (const json& m : inbox["mbox"]) EXPECT_TRUE(m["defects"].empty());
  EXPECT_TRUE(inbox["eml"].empty() || inbox["eml"][0]["subject"] != "Отчёт for Q3 – 東京");
}

}  // namespace
}  // namespace palvara
