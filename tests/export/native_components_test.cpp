#include "export/native_components.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "common/text.h"
#include "tests/support/store_items.h"
#include "writer/ndb_writer.h"
#include "writer/store_check.h"

namespace palvara {
namespace {

namespace fs = std::filesystem;

class NativeComponentsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("palvara-native-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::unique_ptr<ConversionComponent> Conversion() {
    return std::unique_ptr<ConversionComponent>(
        dynamic_cast<ConversionComponent*>(factory_.Create(kConversionProgId).release()));
  }
  std::unique_ptr<ContactSession> Session() {
    return std::unique_ptr<ContactSession>(
        dynamic_cast<ContactSession*>(factory_.Create(kContactSessionProgId).release()));
  }

  fs::path dir_;
  NativeComponentFactory factory_;
};

TEST_F(NativeComponentsTest, OnlyTheTwoProgIdsAreKnown) {
  EXPECT_NE(Conversion(), nullptr);
  EXPECT_NE(Session(), nullptr);
  EXPECT_EQ(factory_.Create("Outlook.Application"), nullptr);
}

TEST_F(NativeComponentsTest, TheStoreIsReachableByItsNameUntilFinished) {
  auto conversion = Conversion();
  conversion->Start();
  const fs::path file = dir_ / "out.pst";
  conversion->CreateStore(file.string(), "Store A");
  conversion->CreateFolder("\\\\Store A\\Contacts");
  conversion->CreateFolder("\\\\Store A\\Contacts");  // exists: left as it is
  EXPECT_THROW(conversion->CreateFolder("\\\\Store A\\Missing\\Child"), ComponentError);
  EXPECT_THROW(conversion->CreateFolder("\\\\Other\\Inbox"), ComponentError);

  // A contact session opened afterwards finds the folder; a later write replaces an earlier.
  auto session = Session();
  EXPECT_THROW(session->GetFolderFromPath("\\\\Store A\\Contacts"), ComponentError);  // not logged on
  session->Logon();
  auto item = session->GetFolderFromPath("\\\\Store A\\Contacts")->Items()->Add(2);
  item->SetText(0x6004004B, "Ada Lovelace");
  item->SetText(0x6004000C, "1 Main St");
  item->SetText(0x6004000C, "PO Box 1");
  item->SetText(0x60040035, "ada@example.com");
  item->SetInteger(0x60040054, 1);
  EXPECT_THROW(item->SetText(0x12345678, "x"), ComponentError);
  item->Save(nullptr);
  EXPECT_THROW(session->GetFolderFromPath("\\\\Store A\\Nowhere"), ComponentError);

  conversion->Finish();
  EXPECT_THROW(session->GetFolderFromPath("\\\\Store A\\Contacts"), ComponentError);
  EXPECT_THROW(item->Save(nullptr), ComponentError);  // the store is complete

  testing::StoreItems out;
  ASSERT_TRUE(testing::LoadStoreItems(file, out));
  const auto& contacts = out.folders.at("Contacts");
  ASSERT_EQ(contacts.size(), 1u);
  EXPECT_EQ(contacts[0]->displayName, "Ada Lovelace");
  EXPECT_EQ(contacts[0]->contact->businessAddress, "PO Box 1");
  EXPECT_EQ(contacts[0]->contact->emailAddress, "ada@example.com");
  EXPECT_EQ(contacts[0]->contact->gender, 1);
  EXPECT_EQ(CheckStore(file).Errors(), 0u);
}

TEST_F(NativeComponentsTest, MailTakesItsSenderFromTheMessageTextAndItsFilesFromMemory) {
  auto conversion = Conversion();
  const fs::path file = dir_ / "mail.pst";
  conversion->CreateStore(file.string(), "Mail");
  conversion->CreateFolder("\\\\Mail\\Inbox");
  const std::string text = "attached text";
  const std::vector<MemoryFile> files = {{"a.txt", Bytes(reinterpret_cast<const std::byte*>(text.data()),
                                                          reinterpret_cast<const std::byte*>(text.data()) + text.size())}};
  conversion->SaveMail("\\\\Mail\\Inbox", "Hello", "Bob; Carol<me@example.com>",
                       "From:Ada Lovelace<ada@example.com>\r\n", "6/12/2026 9.5.0", files,
                       "<p>Hi</p>", 1, "", "", nullptr);
  conversion->SaveMail("\\\\Mail\\Inbox", "Plain", "", "From:<Legacy Name>\r\n", " ", {}, "text", 0,
                       "", "", nullptr);
  // An empty folder path files a task in the store's Tasks folder.
  conversion->SaveTask("", "body", "cn", "Task", nullptr);
  conversion->SaveAppointment("\\\\Mail\\Inbox", "Review", "agenda", "6/12/2026", "6/12/2026", nullptr);
  conversion->Finish();

  testing::StoreItems out;
  ASSERT_TRUE(testing::LoadStoreItems(file, out));
  const auto& inbox = out.folders.at("Inbox");
  ASSERT_EQ(inbox.size(), 3u);
  const MailFields& m = *inbox[0]->mail;
  EXPECT_EQ(m.senderName, "Ada Lovelace");
  EXPECT_EQ(m.senderAddress, "ada@example.com");
  EXPECT_EQ(m.displayTo, "Bob; Carol");
  EXPECT_EQ(m.receiverAddress, "me@example.com");
  EXPECT_EQ(FileTimeToIso8601(*LoadLe64(*m.deliveryTime, 0)), "2026-12-06T09:05:00Z");
  ASSERT_TRUE(m.html);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(m.html->data()), m.html->size()), "<p>Hi</p>");
  ASSERT_EQ(inbox[0]->attachments.size(), 1u);
  EXPECT_EQ(inbox[0]->attachments[0].longFileName, "a.txt");
  // "<name>" without "@": the name, kept as the address as well.
  EXPECT_EQ(inbox[1]->mail->senderName, "Legacy Name");
  EXPECT_EQ(inbox[1]->mail->body, "text");
  EXPECT_FALSE(inbox[1]->mail->deliveryTime);
  // The appointment: all day on its date.
  EXPECT_EQ(inbox[2]->kind, ItemKind::kAppointment);
  EXPECT_EQ(FileTimeToIso8601(*LoadLe64(*inbox[2]->appointment->start, 0)), "2026-12-06T00:00:00Z");
  EXPECT_EQ(FileTimeToIso8601(*LoadLe64(*inbox[2]->appointment->end, 0)), "2026-12-07T00:00:00Z");
  ASSERT_EQ(out.folders.at("Tasks").size(), 1u);
  EXPECT_EQ(out.folders.at("Tasks")[0]->mail->commonName, "cn");
}

TEST_F(NativeComponentsTest, AStoreIsNeverWrittenOverAndAnUnfinishedOneIsRemoved) {
  const fs::path file = dir_ / "kept.pst";
  std::ofstream(file) << "user data";
  EXPECT_THROW(Conversion()->CreateStore(file.string(), "Kept"), ComponentError);
  EXPECT_EQ(fs::file_size(file), 9u);

  const fs::path partial = dir_ / "partial.pst";
  {
    auto conversion = Conversion();
    conversion->CreateStore(partial.string(), "Partial");
    // Until it is finished the store is written under its unfinished name.
    EXPECT_TRUE(fs::exists(partial) || fs::exists(NdbWriter::UnfinishedPath(partial)));
  }
  EXPECT_FALSE(fs::exists(partial));
  EXPECT_FALSE(fs::exists(NdbWriter::UnfinishedPath(partial)));
  auto session = Session();
  session->Logon();
  EXPECT_THROW(session->GetFolderFromPath("\\\\Partial"), ComponentError);
}

}  // namespace
}  // namespace palvara
