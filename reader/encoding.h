// Block data encodings of [MS-PST] 5.1 (permutative, "compressible") and 5.2 (cyclic, "high").
// Only external data blocks are encoded; B-tree pages and internal blocks are stored raw.
#pragma once

#include <cstdint>
#include <span>

namespace palvara {

enum class EncodingMethod : std::uint8_t { kNone = 0, kPermute = 1, kCyclic = 2 };

const char* EncodingName(EncodingMethod method);

// Permutative decoding in place. Returns 0 for method kPermute (bytes replaced), -1 for any
// other method or an empty buffer (bytes unchanged).
int DecodePermute(std::span<std::byte> data, EncodingMethod method);

// Permutative encoding in place (the inverse of DecodePermute), for writers and tests.
void EncodePermute(std::span<std::byte> data);

// Cyclic encoding in place, keyed by the block id's low 32 bits. The transform is its own
// inverse: the same call encodes and decodes.
void CodeCyclic(std::span<std::byte> data, std::uint32_t key);

// Decodes a block read from the file with the store's method (no-op for kNone).
void DecodeBlock(std::span<std::byte> data, EncodingMethod method, std::uint64_t blockId);

// The three 256-byte tables of the [MS-PST] encoding (R, S and I); exposed for tests.
std::span<const std::uint8_t, 256> EncodingTableR();
std::span<const std::uint8_t, 256> EncodingTableS();
std::span<const std::uint8_t, 256> EncodingTableI();

}  // namespace palvara
