// Property-to-field mapping: a node's property list (and its attachment table and each
// attachment's properties) into one ItemRecord.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "items/item_record.h"
#include "reader/property_list.h"
#include "reader/store_file.h"

namespace palvara {

// Which texts the mapping converts. The others are set all the same (a group is created and a
// field is present exactly as with kAll), but left empty; so is the HTML body, which only kAll
// and kSummary copy.
enum class TextFields {
  kAll,
  // The message or container class, display names, e-mail candidates (a contact's e-mail
  // address is only taken when it holds an '@'), the subject, the sender's name and the body.
  kSummary,
  // kSummary without the sender's name and the body: what a saving run needs of an item that
  // it writes from the item read whole (it reports a failed one by its subject).
  kSubject,
  // kSummary without the subject, the sender's name and the body.
  kCounted,
};

struct MapContext {
  bool unicodeStore = true;  // 8-bit strings are then the exception, UTF-16 the rule
  // Where each decoded RTF body is written (the record of the last one); empty: not written.
  std::filesystem::path rtfBodyFile;
  // The code page of 8-bit strings in items that name none: the store's own choice.
  std::uint32_t storeCodePage = 1252;
  TextFields texts = TextFields::kAll;
};

// The context for the items of `store` (reads its message store object for the code page).
MapContext MapContextFor(StoreFile& store, std::filesystem::path rtfBodyFile = {});

// Which fields a property list may fill.
enum class MapScope {
  kItem,         // the node's own properties: every field except the attachments'
  kAttachments,  // its attachment table and each attachment's properties: the attachments only
};

// Maps every entry of `list` (and of the rows chained to it) into `record`. Returns 0, or -1
// when `record` is null. Unknown ids and entries without a value are skipped. Named
// properties fill only the rows of their own property set and number; ordinary tags only
// the rows of their tag. In the item scope the list also chooses the record's code page.
int MapProperties(const PropertyList* list, ItemRecord* record, const MapContext& context,
                  MapScope scope = MapScope::kItem);

// The code page of an item's 8-bit strings: PidTagMessageCodepage (0x3FFD); else the ANSI
// code page of PidTagMessageLocaleId (0x3FF1); else the Windows code page of the script of
// PidTagInternetCodepage (0x3FDE); else `fallback`.
std::uint32_t ItemCodePage(const PropertyList& list, std::uint32_t fallback);

// The store's own choice, from its message store object (node 0x21): the item rule above, with
// PidTagCodePageId (0x66C3) and PidTagLocaleId (0x66A1) as well; else 1252.
std::uint32_t StoreCodePage(StoreFile& store);

// How much of an item's attachments LoadItem reads: the attachment table and each
// attachment's own properties (its data among them), or the table's rows alone (one entry per
// attachment, with what the table says of it), for a caller that needs no attachment data.
// kChecked reads what kWhole reads except the values held in the attachments' subnodes (their
// data, attached messages), whose data trees are only checked: the same damage is met, and the
// attachment records lack those values.
enum class AttachmentReading { kWhole, kTableRows, kChecked };

// The property lists LoadItem read for one item, kept for a caller that goes on to read the
// item whole (the saving run), so that nothing is read twice.
struct ItemLists {
  SubnodeList subnodes;                        // the node's subnodes
  std::unique_ptr<PropertyList> properties;    // the node's property context
  // The attachment table's rows as LoadItem read them: with the table's own subnodes only.
  std::unique_ptr<PropertyList> attachmentRows;
  struct Attachment {
    const SubnodeEntry* entry = nullptr;  // points into `subnodes`
    SubnodeList own;
    std::unique_ptr<PropertyList> properties;
  };
  std::vector<Attachment> attachments;  // in the order LoadItem read them
};

// Reads node `node` (its property context, attachment table and attachments) into a new
// record; nullptr when the node has no readable property context. With `keep`, the lists
// read are left there instead of being released.
std::unique_ptr<ItemRecord> LoadItem(StoreFile& store, const StoreNode& node,
                                     const MapContext& context,
                                     AttachmentReading attachments = AttachmentReading::kWhole,
                                     ItemLists* keep = nullptr);

// LoadItem in two halves, for a caller that reads on one thread and maps on another: ReadItem
// reads the lists (into `lists`, replacing what was there) and fills the record's attachments;
// MapItem then maps the node's own properties into the record. nullptr as LoadItem.
std::unique_ptr<ItemRecord> ReadItem(StoreFile& store, const StoreNode& node,
                                     const MapContext& context, AttachmentReading attachments,
                                     ItemLists& lists);
void MapItem(const ItemLists& lists, ItemRecord& record, const MapContext& context);

// UTF-16LE to UTF-8, up to the first 0 code unit.
std::string NarrowUtf16(ByteSpan bytes);

}  // namespace palvara
