// The messaging layer of a new store ([MS-PST] 2.4, 2.7): the node set every store needs,
// folders with their hierarchy, contents and associated-contents tables, and mail messages
// with recipients and attachments. Messages are written as they are added; folder tables,
// counts and the name-to-id map are written by Finish.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/status.h"
#include "writer/ltp_writer.h"
#include "writer/row_spill.h"
#include "writer/message_copy.h"
#include "writer/ndb_writer.h"

namespace palvara {

inline constexpr std::uint32_t kNidIpmSubtree = 0x8022;
inline constexpr std::uint32_t kNidSearchRoot = 0x8042;
inline constexpr std::uint32_t kNidDeletedItems = 0x8062;
inline constexpr std::uint32_t kNidCommonViews = 0x8082;

// The size (ProjectedSize) up to which items may be added to one store: what Finish adds
// still fits below the 2 GB a store file may reach.
inline constexpr std::uint64_t kStoreSizeLimit = 1'900'000'000;

// Property sets {000620xx-0000-0000-C000-000000000046} in on-disk byte order.
constexpr std::array<std::uint8_t, 16> PropertySet(std::uint8_t id) {
  return {id, 0x20, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00,
          0x00, 0x46};
}
inline constexpr auto kPsetidAppointment = PropertySet(0x02);
inline constexpr auto kPsetidTask = PropertySet(0x03);
inline constexpr auto kPsetidAddress = PropertySet(0x04);
inline constexpr auto kPsetidCommon = PropertySet(0x08);
inline constexpr auto kPsetidLog = PropertySet(0x0A);

struct RecipientSpec {
  std::string name;
  std::string address;
  std::uint32_t type = 1;  // 1 To, 2 Cc, 3 Bcc
};

struct MessageSpec;

struct AttachmentSpec {
  std::string fileName;
  Bytes data;
  std::string mimeType = "application/octet-stream";
  // An attached message instead of file data.
  std::shared_ptr<const MessageSpec> embedded;
  // Further properties of the attachment (a content id, ...).
  std::vector<PropertyValue> extra = {};
};

// What a message holds; texts are UTF-8, times FILETIMEs (UTC).
struct MessageSpec {
  std::string messageClass = "IPM.Note";
  std::string subject;
  std::string body;
  std::optional<Bytes> html;
  std::uint32_t htmlCodePage = 65001;  // the code page of `html` (PidTagInternetCodepage); 0: none
  std::optional<Bytes> rtf;  // an RTF document, stored as a compressed-RTF stream
  std::string senderName;
  std::string senderAddress;
  std::uint64_t submitTime = 0;
  std::uint64_t deliveryTime = 0;
  bool read = true;
  std::vector<RecipientSpec> recipients;
  // The display-To text as given, instead of the To recipients' names joined by "; ".
  std::optional<std::string> displayTo;
  std::string receivedByAddress;  // the address the message was received by (0x0076)
  std::vector<AttachmentSpec> attachments;
  // Further properties (contact fields, named properties by their mapped ids, ...).
  std::vector<PropertyValue> extra;
};

class StoreWriter {
 public:
  // `layout`: the Unicode layout Outlook opens as a PST (default), or the 4 KiB pages of an OST.
  static std::unique_ptr<StoreWriter> Create(const std::filesystem::path& path,
                                             const std::string& displayName,
                                             EncodingMethod encoding, Status* error,
                                             NdbLayout layout = {});

  // A new folder under `parent` (kNidIpmSubtree for a top-level folder); returns its nid.
  std::uint32_t CreateFolder(std::uint32_t parent, const std::string& name,
                             const std::string& containerClass);

  // Renames the store (its message store object's display name).
  void SetDisplayName(const std::string& displayName) { displayName_ = displayName; }

  // Sets the container class of a folder made by CreateFolder ("IPF.Contact", ...).
  void SetFolderClass(std::uint32_t folder, const std::string& containerClass);
  const std::string& FolderClass(std::uint32_t folder) const;

  // Writes a message into `folder`; returns its nid.
  std::uint32_t AddMessage(std::uint32_t folder, const MessageSpec& message);

  // Writes a message read from another store into `folder`, whole: its properties (named ones
  // through this store's name-to-id map, none that refer to the other store), recipients and
  // attachments, attached messages recursively. Returns its nid.
  std::uint32_t AddCopiedMessage(std::uint32_t folder, const CopiedMessage& message);

  // Messages of the other item classes, with the named properties each needs.
  struct Contact {
    std::string displayName, givenName, surname, company, email, businessPhone, mobilePhone;
  };
  std::uint32_t AddContact(std::uint32_t folder, const Contact& contact);
  struct Appointment {
    std::string subject, location, body;
    std::uint64_t start = 0, end = 0;
    bool allDay = false;
  };
  std::uint32_t AddAppointment(std::uint32_t folder, const Appointment& appointment);
  struct Task {
    std::string subject, body;
    std::uint64_t start = 0, due = 0;
    double percentComplete = 0;
    std::string commonName;  // 0x3A0F, when not empty
  };
  std::uint32_t AddTask(std::uint32_t folder, const Task& task);
  std::uint32_t AddNote(std::uint32_t folder, const std::string& text, std::uint64_t time);
  std::uint32_t AddJournalEntry(std::uint32_t folder, const std::string& subject,
                                const std::string& type, std::uint64_t start);

  // The property id that stands for a numeric named property (LID) of a property set.
  std::uint16_t NamedPropertyId(const std::array<std::uint8_t, 16>& guid, std::uint32_t lid);
  // The property id that stands for a named property, numeric or string-named; 0 when the
  // map is full (ids run out at 0xFFFE).
  std::uint16_t NamedPropertyId(const PropertyName& name);

  // Writes the folder tables, the fixed nodes, the name-to-id map, and the node database.
  Status Finish();

  // The size the file will have once Finish has written the folder tables and the indexes (an
  // estimate on the safe side); the first write error, if any.
  std::uint64_t ProjectedSize() const;
  const Status& status() const { return ndb_->status(); }

 private:
  struct FolderState {
    std::uint32_t nid;
    std::uint32_t parent;
    std::string name;
    std::string containerClass;
    std::vector<std::uint32_t> children;
    RowSpill::RefList contents;  // one row per message, contents-table columns
    std::int32_t unread = 0;
  };
  // A message's node as it is written: its properties, recipient rows and attachments. The
  // values are views: of the message given, or of bytes made for it, which `made` keeps.
  struct MessageParts {
    std::vector<PropertyView> properties;
    std::vector<std::vector<PropertyView>> recipients;
    struct Attachment {
      std::vector<PropertyView> properties;
      std::unique_ptr<MessageParts> message;  // an attached message
    };
    std::vector<Attachment> attachments;
    std::deque<Bytes> made;

    PropertyView Keep(PropertyValue value);
  };

  StoreWriter(std::unique_ptr<NdbWriter> ndb, std::string displayName,
              const std::filesystem::path& rowDirectory);
  // The message's properties, and its node written with its subnodes.
  std::vector<PropertyValue> MessageProperties(const MessageSpec& message, std::uint32_t nid);
  MessageParts SpecParts(const MessageSpec& message, std::uint32_t nid);
  MessageParts CopiedParts(const CopiedMessage& message, std::uint32_t nid);
  std::vector<PropertyView> CopiedValues(const CopiedProperties& properties, bool recipient);
  WrittenNode WriteParts(MessageParts& message);
  std::uint32_t AddParts(std::uint32_t folder, std::uint32_t nid, MessageParts& message);
  Bytes NextSearchKey(std::uint32_t nid);
  unsigned HidShift() const { return ndb_->layout().hidBlockShift; }
  void WritePc(std::uint32_t nid, std::uint32_t parent, std::vector<PropertyValue> properties);
  void WriteTc(std::uint32_t nid, const std::vector<std::uint32_t>& tags,
               const std::vector<TableRow>& rows);
  void WriteContentsTable(std::uint32_t nid, const RowSpill::RefList& rows);
  void WriteFolder(const FolderState& folder);
  void WriteFixedNodes();
  void WriteNameToIdMap();
  TableRow HierarchyRow(const FolderState& folder) const;

  std::unique_ptr<NdbWriter> ndb_;
  std::string displayName_;
  std::array<std::uint8_t, 16> storeUid_{};
  std::array<std::uint32_t, 32> rgnid_{};
  std::map<std::uint32_t, FolderState> folders_;
  RowSpill rows_;            // the contents-table rows until Finish
  bool rowsLost_ = false;    // a spilled row could not be read back
  std::vector<PropertyName> named_;
  std::map<PropertyName, std::uint16_t> namedIds_;
  std::uint64_t searchKeySeed_ = 0x5A17;
  std::uint64_t messages_ = 0;
};

// Property value helpers: UTF-8 text as PtypString (UTF-16LE), integers, times.
Bytes Utf16Value(const std::string& utf8);
Bytes IntValue(std::uint64_t value, std::size_t width);

}  // namespace palvara
