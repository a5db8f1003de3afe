#include "items/classify.h"

#include <cctype>

#include "common/text.h"

namespace palvara {

int ClassPrefixEquals(std::string_view literal, std::string_view text, std::size_t count) {
  auto upper = [](char c) { return std::toupper(static_cast<unsigned char>(c)); };
  std::size_t i = 0;
  for (; i < literal.size() && i < text.size() && i < count; ++i) {
    if (upper(literal[i]) != upper(text[i])) return upper(literal[i]) < upper(text[i]) ? -1 : 1;
  }
  if (i == literal.size() || i == text.size()) return 0;
  // `count` characters matched and both go on: the next characters decide.
  if (upper(literal[i]) == upper(text[i])) return 0;
  return upper(literal[i]) < upper(text[i]) ? -1 : 1;
}

ItemKind ClassifyMessageClass(std::string_view c) {
  if (ClassPrefixEquals("IPM.Note", c, 8) == 0) return ItemKind::kMail;
  if (ClassPrefixEquals("IPM.x-", c, 8) == 0) return ItemKind::kMail;
  if (EqualsIgnoringCase(c, "IPM")) return ItemKind::kMail;
  if (ClassPrefixEquals("IPM.Contact", c, 11) == 0) return ItemKind::kContact;
  if (ClassPrefixEquals("IPF.Contact", c, 11) == 0) return ItemKind::kContact;
  if (ClassPrefixEquals("IPM.Contact", c, 9) == 0) return ItemKind::kContact;
  if (ClassPrefixEquals("REPORT.IPM.Note", c, 15) == 0) return ItemKind::kReport;
  if (ClassPrefixEquals("IPM.Activity", c, 12) == 0) return ItemKind::kJournal;
  if (ClassPrefixEquals("IPM.Appointment", c, 15) == 0) return ItemKind::kAppointment;
  return ItemKind::kOther;
}

ItemKind ClassifyContainerClass(std::string_view c) {
  // Case-sensitive comparison of the first n characters, the literal first.
  auto starts = [c](std::string_view literal, std::size_t n) {
    return c.substr(0, n) == literal.substr(0, n);
  };
  if (starts("IPF.Note", 8)) return ItemKind::kMail;
  if (starts("IPF.Imap", 8)) return ItemKind::kMail;  // the mail folders of IMAP accounts
  if (starts("IPF.Contact", 11)) return ItemKind::kContact;
  if (starts("IPF.Contact", 9)) return ItemKind::kContact;
  if (starts("IPM.Contact", 9)) return ItemKind::kContact;
  if (starts("IPF.Journal", 11)) return ItemKind::kJournal;
  if (starts("IPF.Appointment", 15)) return ItemKind::kAppointment;
  if (starts("IPF.StickyNote", 14)) return ItemKind::kStickyNote;
  if (starts("IPF.Task", 8)) return ItemKind::kTask;
  return ItemKind::kOther;
}

}  // namespace palvara
