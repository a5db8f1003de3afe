// The components of a saving run, built on this project's own store writer: the conversion
// component writes the output store, and contact sessions created by the same factory see the
// stores it has created (by display name) until they are finished. A run uses one factory.
#pragma once

#include <memory>

#include "export/components.h"

namespace palvara {

class NativeStores;

class NativeComponentFactory : public ComponentFactory {
 public:
  NativeComponentFactory();
  ~NativeComponentFactory() override;
  std::unique_ptr<Component> Create(std::string_view progId) override;

 private:
  std::shared_ptr<NativeStores> stores_;
};

// The dispatch identifiers a contact item takes, and the property each one fills: a property
// tag (id << 16 | type) or, for ids from 0x8000, a numeric name of the address or common
// property set.
struct ContactProperty {
  std::uint32_t dispatchId;
  std::uint16_t id;      // property id, or the named property's LID
  std::uint16_t type;    // 0x001F text, 0x0002 16-bit integer
  std::uint8_t named;    // 0: a tag; 4: PSETID_Address; 8: PSETID_Common
};
const ContactProperty* FindContactProperty(std::uint32_t dispatchId);

}  // namespace palvara
