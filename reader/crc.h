// The checksums of [MS-PST] 5.3 (CRC-32, reflected polynomial 0xEDB88320, starting from 0 and
// without a final inversion) and 5.5 (the 16-bit signature of a page or block).
#pragma once

#include <cstdint>

#include "common/byte_view.h"

namespace palvara {

std::uint32_t ComputeCrc(ByteSpan bytes, std::uint32_t crc = 0);

// (ib ^ bid) folded to 16 bits.
std::uint16_t ComputeSig(std::uint64_t ib, std::uint64_t bid);

}  // namespace palvara
