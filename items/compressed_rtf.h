// Compressed RTF ([MS-OXRTFCP]): the LZ77-style decompression of message bodies stored in
// PidTagRtfCompressed, and a small RTF reader that collects the document's plain text.
#pragma once

#include <cstdint>
#include <string>

#include "common/byte_view.h"

namespace palvara {

// Decompresses `stream` (16-byte header, then data) into `out`. Decoding runs to the end
// marker (a reference to the current write position) or to the end of the data; a stream
// whose COMPTYPE is "MELA" is copied as it stands. Returns 0 on success, 1 when the stream is
// too short to hold a header (out is then empty).
int DecodeCompressedRtf(ByteSpan stream, Bytes& out);

enum RtfStatus : int {
  kRtfOk = 0,
  kRtfStackUnderflow = 1,
  kRtfStackOverflow = 2,
  kRtfUnmatchedBrace = 3,
  kRtfInvalidHex = 4,
  kRtfBadTable = 5,
  kRtfInternal = 6,
  kRtfEndOfFileInKeyword = 7,
};

// Appends the plain text of the RTF document `rtf` to `text` (UTF-8): text characters,
// paragraph and tab marks, \'hh bytes through the document code page (\ansicpgN, default
// 1252), \uN characters (skipping \ucN fallback characters); skipped destinations (font and
// colour tables, headers, pictures, ...) and unknown \* groups give nothing. Returns a status;
// whatever was collected stands.
int RtfToText(ByteSpan rtf, std::string& text);

}  // namespace palvara
