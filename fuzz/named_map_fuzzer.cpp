// Named-property map fuzz target: the first two bytes give the entry stream's length, the
// rest is the entry stream followed by the string stream, which also serves as the GUID
// stream; every mapped id is looked up and every property set named.
#include <cstddef>
#include <cstdint>
#include <span>

#include "reader/named_properties.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace palvara;
  if (size < 2) return 0;
  const std::span<const std::byte> input(reinterpret_cast<const std::byte*>(data), size);
  const std::size_t split = std::min<std::size_t>(*LoadLe16(input, 0), size - 2);
  const auto rest = input.subspan(2 + split);
  const NamedPropertyMap map = NamedPropertyMap::Build(input.subspan(2, split), rest, rest);
  for (const NamedPropertyMapping& m : map.Mappings()) {
    if (m.propertySet && PropertySetName(*m.propertySet).empty()) __builtin_trap();
    const NamedPropertyMapping* found = map.Find(m.mappedId);
    if (found == nullptr || found->mappedId != m.mappedId) __builtin_trap();
  }
  return 0;
}
