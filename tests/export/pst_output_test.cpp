#include "export/pst_output.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "export/saving_output.h"
#include "tests/export/recording_components.h"

namespace palvara {
namespace {

namespace fs = std::filesystem;
using testing::Call;
using testing::RecordingFactory;

constexpr std::uint64_t kFileTime_2026_12_06_09_05_00 = 134410215000000000ull;

Raw Time(std::uint64_t fileTime) {
  Bytes b(8);
  StoreLe(b, 0, fileTime, 8);
  return b;
}

Bytes BytesOf(const std::string& text) {
  return Bytes(reinterpret_cast<const std::byte*>(text.data()),
               reinterpret_cast<const std::byte*>(text.data()) + text.size());
}

// A mail record with a subject and a sender's name.
ItemRecord MailRecord(const std::string& subject, const std::string& sender) {
  ItemRecord r;
  MailFields& m = r.Mail();
  m.subject = std::make_unique<SubjectText>();
  m.subject->text = subject;
  m.senderName = sender;
  return r;
}

class PstOutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("palvara-output-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::unique_ptr<USave_to_PST_Format> Output(const std::string& source = "Outlook.pst") {
    PstOutputOptions options;
    options.factory = &factory_;
    options.sourceFileName = source;
    options.defaultTargetFolder = dir_ / "Default";
    options.localTime = [] { return CivilTime{2026, 12, 6, 15, 7, 59}; };
    return std::make_unique<USave_to_PST_Format>(options);
  }

  // An initialised output in `dir_/Out` with its calls so far forgotten.
  std::unique_ptr<USave_to_PST_Format> Ready() {
    auto output = Output();
    output->InitOutputStore((dir_ / "Out").string());
    factory_.calls.clear();
    return output;
  }

  Call SaveMail(ItemRecord& record) {
    auto output = Ready();
    StoreFile unused;
    output->WriteMail(record, unused, "Personal Folders\\Inbox\\", nullptr);
    const auto calls = factory_.Named("SaveMail");
    EXPECT_EQ(calls.size(), 1u);
    return calls.empty() ? Call{} : calls[0];
  }

  fs::path dir_;
  RecordingFactory factory_;
};

// The store is written as "<final name>.partial" in a folder of the run's own beside the
// final name; returns the final name that path stands for.
fs::path FinalNameOf(const std::string& writtenPath) {
  const fs::path written = writtenPath;
  const std::string name = written.filename().string();
  EXPECT_TRUE(name.ends_with(".pst.partial")) << name;
  EXPECT_EQ(written.parent_path().filename().string().rfind(name + "-", 0), 0u) << written;
  return written.parent_path().parent_path() / name.substr(0, name.size() - 8);
}

TEST_F(PstOutputTest, NamesTheOutputAfterTheSourceAndTheTime) {
  auto output = Output();
  output->InitOutputStore((dir_ / "Out").string());
  const auto stores = factory_.Named("CreateStore");
  ASSERT_EQ(stores.size(), 1u);
  const fs::path final = dir_ / "Out" / "Outlook-6-12-2026 15-7-59.pst";
  EXPECT_EQ(FinalNameOf(stores[0].args[0]), final);
  EXPECT_EQ(stores[0].args[1], "Palvara_Tools_Personal_Folder6-12-2026 15-7-59");
  EXPECT_EQ(output->StoreDisplayName(), "\\\\Palvara_Tools_Personal_Folder6-12-2026 15-7-59");
  EXPECT_TRUE(fs::is_directory(dir_ / "Out"));  // a missing target folder is made
  // Both components are checked, the session first; the conversion component is started.
  ASSERT_GE(factory_.calls.size(), 4u);
  EXPECT_EQ(factory_.calls[0].args[0], kContactSessionProgId);
  EXPECT_EQ(factory_.calls[1].args[0], kConversionProgId);
  EXPECT_EQ(factory_.calls[2].name, "Start");
  // Nothing carries the final name until the store is finished; then only it is left.
  EXPECT_FALSE(fs::exists(final));
  output->Finish();
  EXPECT_EQ(output->OutputFiles(), std::vector<fs::path>{final});
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "Out"), fs::directory_iterator()), 1);

  // Only a lower-case ".pst" is replaced, every one of them; an empty target is the default.
  // Any other name (an OST, another letter case) gives "<stem>-<time stamp>.pst".
  factory_.calls.clear();
  Output("OUTLOOK.PST")->InitOutputStore((dir_ / "Out").string());
  EXPECT_EQ(FinalNameOf(factory_.Named("CreateStore")[0].args[0]),
            dir_ / "Out" / "OUTLOOK-6-12-2026 15-7-59.pst");
  factory_.calls.clear();
  Output("mailbox.ost")->InitOutputStore((dir_ / "Out").string());
  EXPECT_EQ(FinalNameOf(factory_.Named("CreateStore")[0].args[0]),
            dir_ / "Out" / "mailbox-6-12-2026 15-7-59.pst");
  EXPECT_EQ(OutputFileName("archive", "1-2-2027 0-0-0"), "archive-1-2-2027 0-0-0.pst");
  EXPECT_EQ(OutputFileName("", "1-2-2027 0-0-0"), "Recovered-1-2-2027 0-0-0.pst");
  factory_.calls.clear();
  Output("a.pst.pst")->InitOutputStore("");
  EXPECT_EQ(FinalNameOf(factory_.Named("CreateStore")[0].args[0]),
            dir_ / "Default" / "a-6-12-2026 15-7-59.pst-6-12-2026 15-7-59.pst");
}

TEST_F(PstOutputTest, TakenNamesAreNeverReplacedAndUnfinishedStoresLeaveNothing) {
  const fs::path final = dir_ / "Out" / "Outlook-6-12-2026 15-7-59.pst";
  fs::create_directories(dir_ / "Out");
  std::ofstream(final) << "someone else's";
  auto first = Output();
  first->InitOutputStore((dir_ / "Out").string());
  EXPECT_EQ(FinalNameOf(factory_.Named("CreateStore")[0].args[0]),
            dir_ / "Out" / "Outlook-6-12-2026 15-7-59 (2).pst");
  // A second run that plans the same name meanwhile gets the next one when it finishes.
  auto second = Output();
  second->InitOutputStore((dir_ / "Out").string());
  second->Finish();
  first->Finish();
  ASSERT_EQ(first->OutputFiles().size(), 1u);
  ASSERT_EQ(second->OutputFiles().size(), 1u);
  EXPECT_NE(first->OutputFiles()[0], second->OutputFiles()[0]);
  std::ifstream kept(final);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(kept)), {}), "someone else's");

  // A writer that ends before its store is finished (a failure, a stop) takes its files along.
  auto unfinished = Output();
  unfinished->InitOutputStore((dir_ / "Out").string());
  unfinished.reset();
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "Out"), fs::directory_iterator()), 3);

  // A target folder that cannot be made says why.
  std::ofstream(dir_ / "file") << "x";
  try {
    Output()->InitOutputStore((dir_ / "file" / "sub").string());
    ADD_FAILURE() << "no error";
  } catch (const ComponentError& e) {
    EXPECT_NE(std::string(e.what()).find("Not a directory"), std::string::npos) << e.what();
  }
}

// A run that was killed leaves its private folder behind; the next run into the same folder
// removes it, but never one a live run is writing in, nor one holding anything but unfinished
// files, nor a folder of another name.
TEST_F(PstOutputTest, FoldersOfKilledRunsAreRemovedByTheNextRun) {
  const fs::path out = dir_ / "Out";
  fs::create_directories(out);
  auto folder = [&out](const std::string& name, const std::string& file) {
    fs::create_directories(out / name);
    std::ofstream(out / name / file) << "x";
    return out / name;
  };
  const fs::path killed =
      folder("Outlook-1-1-2026 1-1-1.pst.partial-Ab3dE9", "Outlook-1-1-2026 1-1-1.pst.partial");
  const fs::path killedWriter = folder(
      "Old.pst.partial-zzzzzz", "Old.pst.partial.partial");  // the writer's own unfinished name
  const fs::path foreign = folder("Mine.pst.partial-123456", "notes.txt");
  const fs::path otherName = folder("Other.pst.partial-toolong1", "Other.pst.partial");
  auto live = Output();
  live->InitOutputStore(out.string());  // its folder is there and locked while it lives
  const fs::path liveFolder = fs::path(factory_.Named("CreateStore")[0].args[0]).parent_path();
  ASSERT_TRUE(fs::is_directory(liveFolder));
  EXPECT_FALSE(fs::exists(killed));
  EXPECT_FALSE(fs::exists(killedWriter));
  EXPECT_TRUE(fs::exists(foreign / "notes.txt"));
  EXPECT_TRUE(fs::exists(otherName));

  EXPECT_EQ(RemoveStaleOutputs(out), 0);
  EXPECT_TRUE(fs::is_directory(liveFolder));
  Output()->InitOutputStore(out.string());  // a second run meanwhile
  EXPECT_TRUE(fs::is_directory(liveFolder));
  live->Finish();
  EXPECT_FALSE(fs::exists(liveFolder));
}

TEST_F(PstOutputTest, AMissingComponentEndsTheRunWithItsMessage) {
  factory_.missing = {kContactSessionProgId};
  try {
    Output()->InitOutputStore(dir_.string());
    FAIL() << "no exception";
  } catch (const ComponentMissing& e) {
    EXPECT_STREQ(e.what(), "Redemption.dll is not properly configured. Please Re-Install the software.");
  }
  factory_.missing = {kConversionProgId};
  EXPECT_THROW(
      {
        try {
          Output()->InitOutputStore(dir_.string());
        } catch (const ComponentMissing& e) {
          EXPECT_STREQ(e.what(), "StoreMailConv.dll is not properly configured. Please Re-Install the software.");
          throw;
        }
      },
      ComponentMissing);
  // A component that registration makes available is created on the second attempt.
  factory_.calls.clear();
  factory_.missing = {kConversionProgId};
  factory_.registered = {kConversionProgId};
  EXPECT_NO_THROW(Output()->InitOutputStore(dir_.string()));
  EXPECT_EQ(factory_.Named("Register").size(), 1u);
  EXPECT_EQ(factory_.Named("CreateStore").size(), 1u);
}

TEST_F(PstOutputTest, FolderPathsAreMadeLevelByLevel) {
  auto output = Ready();
  output->CreateFolderPath("Personal Folders\\Inbox\\Old\\");
  const auto folders = factory_.Named("CreateFolder");
  ASSERT_EQ(folders.size(), 2u);
  const std::string store = "\\\\Palvara_Tools_Personal_Folder6-12-2026 15-7-59";
  EXPECT_EQ(folders[0].args[0], store + "\\Inbox");
  EXPECT_EQ(folders[1].args[0], store + "\\Inbox\\Old");
  EXPECT_EQ(output->CurrentOutputFolder(), store + "\\Inbox\\Old");
  // A failing level does not stop the next one.
  factory_.failing = {"CreateFolder"};
  factory_.calls.clear();
  EXPECT_NO_THROW(output->CreateFolderPath("Personal Folders\\A\\B\\"));
  EXPECT_EQ(factory_.Named("CreateFolder").size(), 2u);
}

TEST_F(PstOutputTest, MailSenderRecipientsAndDate) {
  ItemRecord r = MailRecord("Quarterly report", "Ada Lovelace");
  MailFields& m = *r.mail;
  m.senderAddress = "ada@example.com";
  m.displayTo = "Bob; Carol";
  m.receiverAddress = "me@example.com";
  m.deliveryTime = Time(kFileTime_2026_12_06_09_05_00);
  m.body = "Hello";
  Call call = SaveMail(r);
  EXPECT_EQ(call.args[0], "\\\\Palvara_Tools_Personal_Folder6-12-2026 15-7-59\\Inbox");
  EXPECT_EQ(call.args[1], "Quarterly report");
  EXPECT_EQ(call.args[2], "Bob; Carol<me@example.com>");
  EXPECT_EQ(call.args[3], "From:Ada Lovelace<ada@example.com>\r\n");
  EXPECT_EQ(call.args[4], "6/12/2026 9.5.0");
  EXPECT_EQ(call.args[5], "");  // no attachments: an empty list, not ";"
  EXPECT_EQ(call.args[6], "Hello");
  EXPECT_EQ(call.number, 0);
  EXPECT_EQ(call.args[7], "");
  EXPECT_EQ(call.args[8], "");

  // No sender at all; an address without "@" names the sender in angle brackets.
  ItemRecord unknown;
  unknown.Mail();
  EXPECT_EQ(SaveMail(unknown).args[3], "From:UnKnown\r\n");
  ItemRecord x500;
  x500.Mail().senderName = "Ada";
  x500.Mail().senderAddress = "/O=EXAMPLE/CN=ADA";
  EXPECT_EQ(SaveMail(x500).args[3], "From:<Ada>\r\n");
}

TEST_F(PstOutputTest, BodyChoiceAndTheLongBodyRule) {
  ItemRecord html;
  html.Mail().html = BytesOf(std::string(kLongBodyLimit, 'x'));
  html.Mail().body = "plain";
  Call call = SaveMail(html);
  EXPECT_EQ(call.number, 1);
  EXPECT_EQ(call.args[6], "");  // 500,000 characters: passed empty, still HTML
  html.Mail().html = BytesOf("<p>short</p>");
  EXPECT_EQ(SaveMail(html).args[6], "<p>short</p>");

  // Without HTML: the longest of RTF text, the two named texts and the body.
  ItemRecord plain;
  plain.Mail().rtfText = "rtf text";
  plain.Mail().body = "the longest body";
  EXPECT_EQ(SaveMail(plain).args[6], "the longest body");
  plain.Mail().hasRtfFile = 1;  // a decoded RTF body wins
  EXPECT_EQ(SaveMail(plain).args[6], "rtf text");
  ItemRecord huge;
  huge.Mail().body = std::string(kLongBodyLimit, 'y');
  EXPECT_EQ(SaveMail(huge).args[6], "");
}

TEST_F(PstOutputTest, AttachmentFilesPassTheNameTestAndGoInMemory) {
  ItemRecord r;
  r.Mail();
  for (const char* name : {"report.pdf", "con.txt", "LPT1", "a?b", ".profile", "report.pdf"}) {
    AttachmentNode a;
    a.fileName = name;
    a.data = BytesOf(std::string("bytes of ") + name + (r.attachments.size() == 5 ? " again" : ""));
    r.attachments.push_back(std::move(a));
  }
  auto output = Ready();
  StoreFile unused;
  output->WriteMail(r, unused, "Personal Folders\\Inbox\\", nullptr);
  const Call call = factory_.Named("SaveMail").at(0);
  // Three files, in the source's order (the list holds the last row first): report.pdf twice
  // and .profile, with no file written anywhere.
  EXPECT_EQ(call.args[5], "report.pdf;.profile;report.pdf;");
  EXPECT_EQ(call.files.at(".profile"), "bytes of .profile");
  EXPECT_EQ(call.files.at("report.pdf"), "bytes of report.pdf");  // the recording keeps the last
  EXPECT_EQ(call.args[9], "-");  // no source item was handed over

  // The long file name when it passes the rule, else the short one.
  AttachmentNode named;
  named.fileName = "leah_t~1.jpg";
  named.longFileName = "leah_thumper.jpg";
  EXPECT_EQ(AttachmentName(named), "leah_thumper.jpg");
  named.longFileName = "what?.jpg";
  EXPECT_EQ(AttachmentName(named), "leah_t~1.jpg");

  for (const char* name : {"a", "abc.txt", ".profile", "COM10", "console"}) EXPECT_TRUE(IsAcceptableFileName(name)) << name;
  for (const char* name : {"", "...", "con", "Con.txt", "PRN.doc", "com3", "clock$.x", "a:b", "tab\tx",
                           "caf\xC3\xA9"}) {
    EXPECT_FALSE(IsAcceptableFileName(name)) << name;
  }
  EXPECT_FALSE(IsAcceptableFileName(std::string(256, 'a')));
}

TEST_F(PstOutputTest, AComponentThatWritesSourceWholeIsHandedTheSourceAlone) {
  ItemRecord r = MailRecord("Quarterly report", "Ada Lovelace");
  r.mail->body = "Hello";
  AttachmentNode a;
  a.fileName = "report.pdf";
  a.data = BytesOf("bytes");
  r.attachments.push_back(a);
  CopiedMessage source;
  source.properties.push_back(
      {0x001A, 0x001F, BytesOf(std::string("I\0P\0M\0.\0N\0o\0t\0e\0", 16)), {}});
  StoreFile unused;

  factory_.writesSourceWhole = true;
  {
    auto output = Ready();
    output->WriteMail(r, unused, "Personal Folders\\Inbox\\", nullptr, &source);
    // Without a source the record is rendered as for any component.
    output->WriteMail(r, unused, "Personal Folders\\Inbox\\", nullptr);
  }
  const std::vector<Call> calls = factory_.Named("SaveMail");
  ASSERT_EQ(calls.size(), 2u);
  const std::vector<std::string> onlyTheFolder{calls[0].args[0], "", "", "", "", "", "", "", "",
                                               "IPM.Note"};
  EXPECT_EQ(calls[0].args, onlyTheFolder);
  EXPECT_TRUE(calls[0].files.empty());
  EXPECT_EQ(calls[1].args[1], "Quarterly report");
  EXPECT_EQ(calls[1].args[5], "report.pdf;");
  EXPECT_EQ(calls[1].args[9], "-");

  // A component that takes the texts as well gets them with the source.
  factory_.writesSourceWhole = false;
  factory_.calls.clear();
  Ready()->WriteMail(r, unused, "Personal Folders\\Inbox\\", nullptr, &source);
  const Call both = factory_.Named("SaveMail").at(0);
  EXPECT_EQ(both.args[1], "Quarterly report");
  EXPECT_EQ(both.args[3], "From:Ada Lovelace\r\n");
  EXPECT_EQ(both.files.at("report.pdf"), "bytes");
  EXPECT_EQ(both.args[9], "IPM.Note");
}

// The walk's records carry attachment table rows alone for a component that writes sources
// whole, and whole attachments for one that renders the record.
TEST_F(PstOutputTest, TheRecordsCarryWhatTheComponentTakes) {
  for (const bool whole : {true, false}) {
    factory_.writesSourceWhole = whole;
    PstOutputOptions options;
    options.factory = &factory_;
    options.sourceFileName = "Outlook.pst";
    options.localTime = [] { return CivilTime{2026, 12, 6, 15, 7, 59}; };
    PstSavingOutput output(options);
    output.InitOutputStore((dir_ / (whole ? "Whole" : "Rendered")).string());
    EXPECT_EQ(output.RecordAttachments(),
              whole ? AttachmentReading::kTableRows : AttachmentReading::kWhole);
    EXPECT_EQ(output.RecordTexts(), whole ? TextFields::kSubject : TextFields::kAll);
  }
}

TEST_F(PstOutputTest, TasksAndAppointmentsGoToTheCurrentFolder) {
  auto output = Ready();
  output->CreateFolderPath("Personal Folders\\Tasks\\");
  MailFields task;
  task.subject = std::make_unique<SubjectText>();
  task.subject->text = "Call back";
  task.body = "about the invoice";
  task.commonName = "cn";
  output->WriteTask(task);  // no delivery time: no folder
  task.deliveryTime = Time(kFileTime_2026_12_06_09_05_00);
  output->WriteTask(task);
  const auto tasks = factory_.Named("SaveTask");
  ASSERT_EQ(tasks.size(), 2u);
  EXPECT_EQ(tasks[0].args, (std::vector<std::string>{"", "about the invoice", "cn", "Call back", "-"}));
  EXPECT_EQ(tasks[1].args[0], output->CurrentOutputFolder());

  ItemRecord appointment;
  appointment.Mail().conversationTopic = "Review";
  appointment.Appointment().start = Time(kFileTime_2026_12_06_09_05_00);
  output->WriteAppointment(appointment);
  const Call a = factory_.Named("SaveAppointment").at(0);
  EXPECT_EQ(a.args, (std::vector<std::string>{output->CurrentOutputFolder(), "Review", "",
                                              "6/12/2026", "6/12/2026", "-"}));
  // An error of the call reaches the caller, which counts the item as not written.
  factory_.failing = {"SaveAppointment"};
  EXPECT_THROW(output->WriteAppointment(appointment), ComponentError);
}

TEST_F(PstOutputTest, ContactWritesFollowTheirTableOrder) {
  auto output = Ready();
  output->CreateFolderPath("Personal Folders\\Contacts\\");
  factory_.calls.clear();
  ItemRecord r;
  r.displayName = "Ada Lovelace";
  ContactFields& c = r.Contact();
  c.givenName = "Ada";
  c.surname = "Lovelace";
  c.businessAddress = "1 Main St";
  c.postalAddress = "PO Box 1";
  c.gender = 0;
  c.emailAddress = "ada@example.com";
  r.Mail().rtfText = "note";
  output->WriteContact(r);
  std::vector<std::string> order;
  for (const Call& call : factory_.calls) {
    order.push_back(call.name + (call.args.empty() ? "" : " " + call.args[0]) +
                    (call.args.size() > 1 ? "=" + call.args[1] : ""));
  }
  const std::vector<std::string> expected = {
      "Create " + std::string(kContactSessionProgId),
      "Logon",
      "GetFolderFromPath=" ,  // replaced below
      "Add",
      "SetText " + std::to_string(0x6004004D) + "=Ada",
      "SetText " + std::to_string(0x60040083) + "=Lovelace",
      "SetText " + std::to_string(0x6004004B) + "=Ada Lovelace",
      "SetText " + std::to_string(0x6004000C) + "=1 Main St",
      "SetText " + std::to_string(0x0B) + "=note",
      "SetText " + std::to_string(0x6004000C) + "=PO Box 1",
      "SetText " + std::to_string(0x60040035) + "=ada@example.com",
      "SetText " + std::to_string(0x6004004D) + "=Ada",
      "SetText " + std::to_string(0x60040083) + "=Lovelace",
      "Save -"};
  ASSERT_EQ(order.size(), expected.size());
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (i == 2) {
      EXPECT_EQ(order[i], "GetFolderFromPath " + output->CurrentOutputFolder());
    } else {
      EXPECT_EQ(order[i], expected[i]) << i;
    }
  }
  // A gender other than 0 is written as an integer.
  c.gender = 2;
  factory_.calls.clear();
  output->WriteContact(r);
  const auto integers = factory_.Named("SetInteger");
  ASSERT_EQ(integers.size(), 1u);
  EXPECT_EQ(integers[0].args[0], std::to_string(0x60040054));
  EXPECT_EQ(integers[0].number, 2);
}

}  // namespace
}  // namespace palvara
