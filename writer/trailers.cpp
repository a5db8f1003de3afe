#include "writer/trailers.h"

#include "common/byte_view.h"
#include "reader/crc.h"

namespace palvara {

void FinishBlockBytes(const Geometry& g, std::span<std::byte> block, std::uint64_t offset,
                      std::uint64_t bid, std::size_t cb, std::size_t inflated, bool internal,
                      EncodingMethod encoding) {
  const std::span<std::byte> stored = block.first(cb);
  if (!internal) {
    if (encoding == EncodingMethod::kPermute) EncodePermute(stored);
    if (encoding == EncodingMethod::kCyclic) CodeCyclic(stored, static_cast<std::uint32_t>(bid));
  }
  const std::size_t trailer = block.size() - g.blockTrailer;
  StoreLe(block, trailer, cb, 2);
  StoreLe(block, trailer + 2, ComputeSig(offset, bid), 2);
  StoreLe(block, trailer + g.blockTrailerCrc, ComputeCrc(stored), 4);
  StoreLe(block, trailer + g.blockTrailerBid, bid, g.idWidth);
  if (g.blockTrailerInflated != 0) {
    // The 4 KiB layout's trailer: 2 (of unknown use, as Outlook writes it), the inflated size.
    StoreLe(block, trailer + 16, 2, 2);
    StoreLe(block, trailer + g.blockTrailerInflated, inflated, 2);
  }
}

void FinishPageBytes(const Geometry& g, std::span<std::byte> page, std::uint64_t offset,
                     std::uint8_t ptype, std::uint64_t bid, bool signed_) {
  const std::size_t t = g.pageData;
  StoreLe(page, t, ptype, 1);
  StoreLe(page, t + 1, ptype, 1);
  StoreLe(page, t + 2, signed_ ? ComputeSig(offset, bid) : 0, 2);
  StoreLe(page, t + g.pageTrailerCrc, ComputeCrc(page.first(t)), 4);
  StoreLe(page, t + g.pageTrailerBid, bid, g.idWidth);
  // The 4 KiB layout's trailer ends with a field of unknown use that Outlook sets to 1.
  if (g.pageTrailerExtra != 0) StoreLe(page, t + g.pageTrailerExtra, 1, 8);
}

}  // namespace palvara
