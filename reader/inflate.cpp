#include "reader/inflate.h"

#include <zlib.h>

#include <algorithm>
#include <limits>

namespace palvara {

bool LooksLikeZlib(ByteSpan data) {
  if (data.size() < 6) return false;
  const auto cmf = std::to_integer<unsigned>(data[0]), flg = std::to_integer<unsigned>(data[1]);
  return (cmf & 0x0F) == 8 && (cmf >> 4) <= 7 && (cmf * 256 + flg) % 31 == 0 && (flg & 0x20) == 0;
}

std::optional<Bytes> Inflate(ByteSpan stream, std::size_t expected, std::string* why,
                             bool exact) {
  if (!LooksLikeZlib(stream)) {
    *why = "no zlib header";
    return std::nullopt;
  }
  if (stream.size() > std::numeric_limits<uInt>::max() || expected >= std::numeric_limits<uInt>::max()) {
    *why = "too large";
    return std::nullopt;
  }
  // One byte of room past the expected size tells a stream that inflates to more.
  Bytes out(expected + 1);
  z_stream z{};
  if (inflateInit(&z) != Z_OK) {
    *why = "zlib could not start";
    return std::nullopt;
  }
  z.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(stream.data()));
  z.avail_in = static_cast<uInt>(stream.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int result = inflate(&z, Z_FINISH);
  const std::size_t produced = z.total_out;
  const char* message = z.msg;
  inflateEnd(&z);
  if (result == Z_STREAM_END && (produced == expected || (!exact && produced < expected))) {
    out.resize(produced);
    return out;
  }
  if (result == Z_STREAM_END || produced > expected) {
    *why = "inflates to " + std::string(produced > expected ? "more" : "fewer") + " than the " +
           std::to_string(expected) + " bytes it records";
  } else if (result == Z_DATA_ERROR) {
    *why = message != nullptr ? message : "invalid data";
  } else {
    *why = "the stream ends early";
  }
  return std::nullopt;
}

Bytes Deflate(ByteSpan data, int level) {
  uLongf size = compressBound(static_cast<uLong>(data.size()));
  Bytes out(size);
  if (compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                reinterpret_cast<const Bytef*>(data.data()), static_cast<uLong>(data.size()),
                level) != Z_OK) {
    return {};
  }
  out.resize(size);
  return out;
}

}  // namespace palvara
