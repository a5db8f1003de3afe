// A message read whole for the open formats: its own properties (mapped into an item record
// and kept raw for what the record does not carry), its recipient table and its attachments
// with their data, attached messages read the same way, recursively.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "items/item_record.h"
#include "items/mapping.h"
#include "reader/block_access.h"
#include "reader/property_list.h"
#include "reader/store_file.h"
#include "writer/message_copy.h"

namespace palvara {

struct StoreNode;

// Typed reads of one property list. Texts are UTF-8 (8-bit strings through `codePage`).
class PropertyReader {
 public:
  PropertyReader(const PropertyList* list, bool unicodeStore, std::uint32_t codePage)
      : list_(list), unicodeStore_(unicodeStore), codePage_(codePage) {}
  // `id` is a property id, or the number of a property named by a number.
  const PropertyEntry* Find(std::uint32_t id) const;
  std::optional<std::string> Text(std::uint32_t id) const;
  std::optional<std::int64_t> Integer(std::uint32_t id) const;  // 16, 32 or 64-bit, boolean
  std::optional<std::uint64_t> Time(std::uint32_t id) const;    // FILETIME
  const Bytes* Binary(std::uint32_t id) const;

 private:
  const PropertyList* list_;
  bool unicodeStore_;
  std::uint32_t codePage_;
};

struct SourceRecipient {
  int type = 1;  // 1 To, 2 Cc, 3 Bcc
  std::string name;
  std::string address;  // an SMTP address when one is stored, else the stored address
};

struct SourceMessage;

struct SourceAttachment {
  std::string fileName;  // the long file name, else the short one; may be empty
  std::string mimeType;  // PR_ATTACH_MIME_TAG, may be empty
  std::string contentId;
  int method = 1;        // PR_ATTACH_METHOD; 5 an attached message
  bool hidden = false;   // PR_ATTACHMENT_HIDDEN
  bool contactPhoto = false;
  // The attachment's bytes: `ownData`, or those of the item read whole it was built from,
  // which outlives it.
  ByteSpan data;
  Bytes ownData;
  std::unique_ptr<SourceMessage> message;  // an attached message
};

struct SourceMessage {
  SourceMessage() = default;
  ~SourceMessage();  // gives lent mail fields back
  SourceMessage(const SourceMessage&) = delete;
  SourceMessage& operator=(const SourceMessage&) = delete;

  std::unique_ptr<PropertyList> properties;
  ItemRecord record;  // the properties mapped (no attachment fields)
  // The record `record.mail` was taken from, which gets it back when the message goes; null
  // when the message mapped its own.
  ItemRecord* lender = nullptr;
  bool unicodeStore = true;
  std::vector<SourceRecipient> recipients;  // in table order
  std::vector<SourceAttachment> attachments;

  PropertyReader Properties() const {
    return PropertyReader(properties.get(), unicodeStore, record.codePage);
  }
};

// The message of `node` from `item`, the same message already read whole (so nothing is read
// again), else read from the store; nullptr as below. A message built from `item` is mapped
// with `context` (MapContextFor(store)), or, when `mapped` is given (the item's record as the
// walk mapped it from the same properties), borrows its mail fields and code page instead of
// mapping them again: `mapped` must outlive it, and lacks its mail fields meanwhile.
std::unique_ptr<SourceMessage> SourceMessageOf(StoreFile& store, const StoreNode& node,
                                               const CopiedMessage* item, const MapContext& context,
                                               ItemRecord* mapped = nullptr);

// Reads the message of `node`; nullptr when its property context cannot be read. Attached
// messages are followed to `depth` levels.
std::unique_ptr<SourceMessage> ReadSourceMessage(StoreFile& store, const StoreNode& node,
                                                 int depth = 8);

}  // namespace palvara
