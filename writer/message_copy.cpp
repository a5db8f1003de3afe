#include "writer/message_copy.h"

#include "common/text.h"

namespace palvara {

const CopiedProperty* CopiedMessage::Find(std::uint16_t id) const {
  const CopiedProperty* found = nullptr;
  for (const CopiedProperty& p : properties) {
    if (!p.name && p.id == id) found = &p;
  }
  return found;
}

std::string CopiedMessage::MessageClass() const {
  const CopiedProperty* p = Find(0x001A);
  if (p == nullptr) return "";
  if (p->type == 0x001F) return Utf16LeToUtf8(p->value);
  if (p->type != 0x001E) return "";
  std::string text(reinterpret_cast<const char*>(p->value.data()), p->value.size());
  return text.substr(0, text.find('\0'));
}

std::uint64_t CopiedMessage::ValueBytes() const {
  auto sum = [](const CopiedProperties& list) {
    std::uint64_t bytes = 0;
    for (const CopiedProperty& p : list) bytes += p.value.size();
    return bytes;
  };
  std::uint64_t bytes = sum(properties);
  for (const CopiedProperties& row : recipients) bytes += sum(row);
  for (const Attachment& a : attachments) {
    bytes += sum(a.properties) + (a.message ? a.message->ValueBytes() : 0);
  }
  return bytes;
}

bool PointsIntoSourceStore(std::uint16_t id, std::uint16_t type) {
  if (type == 0x000D) return true;  // an object handle: a node of the source store
  switch (id) {
    case 0x0E09:  // the parent folder's entry id
    case 0x0E0A:  // the sent-items folder's entry id
    case 0x0FF8:  // the store's mapping signature
    case 0x0FFA:  // the store's record key
    case 0x0FFB:  // the store's entry id
    case 0x0FFF:  // the message's own entry id
    case 0x65E1:  // the parent folder's source key
    case 0x67F2:  // table row id
    case 0x67F3:  // table row version
      return true;
    default:
      return false;
  }
}

}  // namespace palvara
