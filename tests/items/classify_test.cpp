#include "items/classify.h"

#include <gtest/gtest.h>

namespace palvara {
namespace {

TEST(ClassifyTest, MessageClasses) {
  const std::pair<const char*, ItemKind> cases[] = {
      {"IPM.Note", ItemKind::kMail},
      {"ipm.note.smime.MultipartSigned", ItemKind::kMail},
      {"IPM", ItemKind::kMail},
      {"ipm", ItemKind::kMail},
      {"", ItemKind::kMail},  // a prefix of "IPM.Note"
      {"IPM.Note", ItemKind::kMail},
      {"IPM.x-custom", ItemKind::kMail},
      {"IPM.Contact", ItemKind::kContact},
      {"IPM.Contact.Custom", ItemKind::kContact},
      {"IPM.DistList", ItemKind::kOther},
      {"REPORT.IPM.Note.NDR", ItemKind::kReport},
      {"IPM.Activity", ItemKind::kJournal},
      {"IPM.Appointment", ItemKind::kAppointment},
      {"IPM.Task", ItemKind::kOther},
      {"IPM.StickyNote", ItemKind::kOther},
      {"IPM.Post", ItemKind::kOther},
      {"IPC.MS.Outlook.AgingProperties", ItemKind::kOther},
  };
  for (const auto& [text, kind] : cases) EXPECT_EQ(ClassifyMessageClass(text), kind) << text;
}

TEST(ClassifyTest, ContainerClassesAreCaseSensitive) {
  EXPECT_EQ(ClassifyContainerClass("IPF.Note"), ItemKind::kMail);
  EXPECT_EQ(ClassifyContainerClass("IPF.Note.OutlookHomepage"), ItemKind::kMail);
  EXPECT_EQ(ClassifyContainerClass("IPF.Imap"), ItemKind::kMail);
  EXPECT_EQ(ClassifyContainerClass("ipf.imap"), ItemKind::kOther);
  EXPECT_EQ(ClassifyContainerClass("ipf.note"), ItemKind::kOther);
  EXPECT_EQ(ClassifyContainerClass("IPF.Contact"), ItemKind::kContact);
  EXPECT_EQ(ClassifyContainerClass("IPF.Task"), ItemKind::kTask);
  EXPECT_EQ(ClassifyContainerClass("IPF.StickyNote"), ItemKind::kStickyNote);
  EXPECT_EQ(ClassifyContainerClass("IPF.Journal"), ItemKind::kJournal);
  EXPECT_EQ(ClassifyContainerClass("IPF.Appointment"), ItemKind::kAppointment);
  EXPECT_EQ(ClassifyContainerClass("IPF"), ItemKind::kOther);
  EXPECT_EQ(ClassifyContainerClass(""), ItemKind::kOther);
}

TEST(ClassifyTest, PrefixComparisonLooksOneCharacterPastTheCount) {
  EXPECT_EQ(ClassPrefixEquals("IPM.Contact", "IPM.Contaxx", 9), -1);
  EXPECT_EQ(ClassPrefixEquals("IPM.Contact", "IPM.ContaCT", 9), 0);
  EXPECT_EQ(ClassPrefixEquals("IPM.Note", "IPM.A", 8), 1);
  EXPECT_EQ(ClassPrefixEquals("IPM.Note", "IPM.Z", 8), -1);
  EXPECT_EQ(ClassPrefixEquals("IPM.Note", "IPM", 8), 0);
}

}  // namespace
}  // namespace palvara
