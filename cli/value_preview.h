// Short human-readable previews of property values for palvara-cli.
#pragma once

#include <string>

#include "reader/property_list.h"

namespace palvara::cli {

// Integers in decimal, times as ISO-8601 UTC, strings as UTF-8 (8-bit strings converted from
// `codePage`), binaries as hex (first 64 bytes), booleans as true/false; "" when the entry has
// no value.
std::string ValuePreview(const PropertyEntry& entry, std::uint32_t codePage = 1252);

// "0x001F" style.
std::string Hex4(std::uint32_t value);

}  // namespace palvara::cli
