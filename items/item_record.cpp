#include "items/item_record.h"

namespace palvara {

const char* ItemKindName(ItemKind kind) {
  switch (kind) {
    case ItemKind::kNone: return "none";
    case ItemKind::kMail: return "mail";
    case ItemKind::kAppointment: return "appointment";
    case ItemKind::kContact: return "contact";
    case ItemKind::kJournal: return "journal";
    case ItemKind::kStickyNote: return "stickyNote";
    case ItemKind::kTask: return "task";
    case ItemKind::kOther: return "other";
    case ItemKind::kReport: return "report";
  }
  return "unknown";
}

bool ItemRecord::Empty() const {
  return !mail && !folderCounts && !contact && attachments.empty() && !store && !journal &&
         !appointment && kind == ItemKind::kNone && !messageClass && !displayName && !recordKey;
}

template <typename T>
static T& Ensure(std::unique_ptr<T>& group) {
  if (!group) group = std::make_unique<T>();
  return *group;
}

MailFields& ItemRecord::Mail() { return Ensure(mail); }
FolderCounts& ItemRecord::Counts() { return Ensure(folderCounts); }
ContactFields& ItemRecord::Contact() { return Ensure(contact); }
StoreFields& ItemRecord::Store() { return Ensure(store); }
JournalFields& ItemRecord::Journal() { return Ensure(journal); }
AppointmentFields& ItemRecord::Appointment() { return Ensure(appointment); }

}  // namespace palvara
