// Item records: one record per node (message store, folder or message of any class), with
// groups of fields created on first use. Every text is UTF-8; times and entry ids stay raw.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/byte_view.h"

namespace palvara {

enum class ItemKind : std::int32_t {
  kNone = 0,
  kMail = 1,
  kAppointment = 8,
  kContact = 9,
  kJournal = 10,
  kStickyNote = 11,
  kTask = 12,
  kOther = 13,
  kReport = 14,
};

const char* ItemKindName(ItemKind kind);

using Text = std::optional<std::string>;   // absent, or UTF-8 text
using Raw = std::optional<Bytes>;          // absent, or bytes as stored (times, entry ids)

struct SubjectText {
  std::int32_t marker = 0;        // the subject's leading control character, else 0
  std::int32_t prefixLength = 0;  // the character after it, in that case
  Text text;                      // the subject without those two characters
};

struct MailFields {
  Raw deliveryTime;                        // FILETIME, 8 bytes
  std::uint32_t messageFlags = 0;
  Text rtfText;                            // plain text of the compressed RTF body
  Text displayCc;
  Raw html;                                // HTML body as stored
  Text commonName;
  Text senderName;
  Text senderAddress;
  Text conversationTopic;
  Text replyNames;
  Text inReplyTo;
  std::int32_t hasRtfFile = 0;             // 1 once the compressed RTF body was decoded
  Text receiverAddress;
  Raw namedText1;                          // value of the first string-named property
  Raw namedText2;                          // value of the second
  Text body;
  Raw submitTime;                          // FILETIME, 8 bytes
  Text displayTo;
  std::unique_ptr<SubjectText> subject;
};

struct FolderCounts {
  std::uint32_t contentCount = 0;
  std::uint32_t unreadCount = 0;
  std::uint8_t hasSubfolders = 0;
};

// The 64 contact fields, in their fixed order.
struct ContactFields {
  Text company, generation, emailAddress, postalAddress, title, fileAs, customerId, mobilePhone,
      hobbies;
  std::optional<std::int16_t> gender;
  Text surname, givenName, middleName, homePhone, businessPhone, businessFax, homeFax, language,
      officeLocation, pagerPhone, isdnNumber, assistantPhone, assistant, profession, spouseName,
      companyMainPhone, homeCity;
  Raw weddingAnniversary, birthday;
  Text managerName, nickname, personalHomePage, businessHomePage, homeCountry, homePostalCode,
      homeState, homeStreet, otherCity, otherCountry, otherState, otherStreet, otherPhone,
      otherAddress, otherPostalCode, callbackPhone, businessCity, businessCountry, businessState,
      businessStreet, businessPostalCode, businessAddress, carPhone, department, account,
      home2Phone, mileage, telexNumber, radioPhone, business2Phone, ttyTddPhone, governmentId,
      organizationalId, freeBusyLocation, displayNamePrefix;
};

struct AttachmentNode {
  Text fileName;                 // 0x3704
  Text longFileName;             // 0x3707
  Text displayName;              // 0x3001 of the attachment
  Raw data;                      // 0x3701
  std::int32_t dataSize = 0;     // stored size of 0x3701
  std::uint32_t subnodeId = 0;   // the attachment's node among the message's subnodes
  std::uint64_t blockId = 0;     // data block of that node
  std::uint32_t embeddedNid = 0;  // an attached message: its node among the attachment's subnodes
};

struct StoreFields {
  Raw wastebasketEntryId;
  Raw finderEntryId;
  Raw ipmSubtreeEntryId;
  Raw topFolderEntryId;  // 24 bytes
  std::uint32_t validFolderMask = 0;
};

struct JournalFields {
  Text entryType;
};

struct AppointmentFields {
  Raw end;    // FILETIME
  Text location;
  Raw start;  // FILETIME
};

struct ItemRecord {
  std::unique_ptr<MailFields> mail;
  std::unique_ptr<FolderCounts> folderCounts;
  std::unique_ptr<ContactFields> contact;
  // Attachment nodes, head first (the head holds the table's last row).
  std::vector<AttachmentNode> attachments;
  // Cursor into `attachments` while rows are mapped; attachments.size() for none.
  std::size_t currentAttachment = 0;
  std::unique_ptr<StoreFields> store;
  std::unique_ptr<JournalFields> journal;
  std::unique_ptr<AppointmentFields> appointment;
  ItemKind kind = ItemKind::kNone;
  Text messageClass;  // message class of an item, container class of a folder
  Text displayName;
  Raw recordKey;

  // The code page of the item's 8-bit strings, chosen by ItemCodePage (items/mapping.h).
  std::uint32_t codePage = 1252;

  // True when no group and no field was filled.
  bool Empty() const;

  MailFields& Mail();
  FolderCounts& Counts();
  ContactFields& Contact();
  StoreFields& Store();
  JournalFields& Journal();
  AppointmentFields& Appointment();
};

// Analysis result nodes: they hold the groups the analysis keeps, moved out of their records.
struct FolderEntry {
  std::vector<std::unique_ptr<MailFields>> items;  // the folder's item chain, in order
  std::int32_t itemCount = 0;
  std::string path;  // "Personal Folders\\Inbox"
  std::uint32_t nodeId = 0;
};

struct NoteEntry {
  Text subject;
  Text body;  // the note's text: its RTF body's text, else its plain body
  Raw time;
  std::uint32_t nodeId = 0;
};

struct JournalEntry {
  Text entryType;
  Text subject;
  Raw time;
};

struct CalendarEntry {
  Text location;
  std::unique_ptr<MailFields> mail;
};

}  // namespace palvara
