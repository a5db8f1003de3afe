// A message read from another store, to be written whole into a new one: its properties, its
// recipient rows and its attachments (attached messages recursively). A named property carries
// its name (property set and number or string), since property ids from 0x8000 mean something
// only inside the store that assigned them.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/byte_view.h"

namespace palvara {

struct PropertyName {
  std::array<std::uint8_t, 16> guid{};  // the property set, in on-disk byte order
  std::uint32_t lid = 0;                // the number, when `name` is absent
  std::optional<std::string> name;      // a string name (UTF-8)
  auto operator<=>(const PropertyName&) const = default;
};

struct CopiedProperty {
  std::uint16_t id = 0;  // the tag's id; for a named property the source store's id
  std::uint16_t type = 0;
  Bytes value;  // as stored: inline types hold their 1 to 4 bytes, the others their whole value
  std::optional<PropertyName> name;  // present for a named property
};
using CopiedProperties = std::vector<CopiedProperty>;

struct CopiedMessage {
  CopiedProperties properties;
  std::vector<CopiedProperties> recipients;  // one per recipient-table row, in table order
  struct Attachment {
    CopiedProperties properties;
    std::shared_ptr<const CopiedMessage> message;  // an attached message, else null
  };
  std::vector<Attachment> attachments;  // in attachment-table order

  // The value of an ordinary (unnamed) property; nullptr when absent.
  const CopiedProperty* Find(std::uint16_t id) const;
  // The message class (PidTagMessageClass, either string type); empty when absent.
  std::string MessageClass() const;
  // The bytes of every value, the recipients' and attachments' (attached messages') included.
  std::uint64_t ValueBytes() const;
};

// Properties that refer to the store they were read from (entry ids, the parent folder, the
// store's own keys, table row ids, object handles): they are not copied.
bool PointsIntoSourceStore(std::uint16_t id, std::uint16_t type);

}  // namespace palvara
