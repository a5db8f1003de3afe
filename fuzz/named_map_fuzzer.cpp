// Named-property map fuzz target: the first two bytes give the entry stream's length, the
// rest is the entry stream followed by the string stream; every mapped id is looked up.
#include <cstddef>
#include <cstdint>
#include <span>

#include "reader/named_properties.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace palvara;
  if (size < 2) return 0;
  const std::span<const std::byte> input(reinterpret_cast<const std::byte*>(data), size);
  const std::size_t split = std::min<std::size_t>(*LoadLe16(input, 0), size - 2);
  const NamedPropertyMap map =
      NamedPropertyMap::Build(input.subspan(2, split), input.subspan(2 + split));
  for (const NamedPropertyMapping& m : map.Mappings()) {
    const NamedPropertyMapping* found = map.Find(m.mappedId);
    if (found == nullptr || found->mappedId != m.mappedId) __builtin_trap();
  }
  return 0;
}
