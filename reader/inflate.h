// Inflating the zlib streams (RFC 1950: a two-byte header, DEFLATE data, the Adler-32 of the
// inflated bytes) in which stores of the 4 KiB-page layout may keep a block's data, through
// the system's zlib.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "common/byte_view.h"

namespace palvara {

// Whether `data` starts with a zlib header: deflate, a window of at most 32 KiB, the check
// bits right, no preset dictionary.
bool LooksLikeZlib(ByteSpan data);

// The bytes `stream` inflates to, which must be exactly `expected` (with `exact`; else at most
// `expected`): nullopt, with the reason in `why`, when the stream is not zlib, its data or
// Adler-32 is wrong, it ends early, or it inflates to more (or, with `exact`, fewer) bytes.
// Never produces more than `expected` bytes.
std::optional<Bytes> Inflate(ByteSpan stream, std::size_t expected, std::string* why,
                             bool exact = true);

// The bytes of `data` compressed as one zlib stream (for writing stores and tests).
Bytes Deflate(ByteSpan data, int level = 6);

}  // namespace palvara
