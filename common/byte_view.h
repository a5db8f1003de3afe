// Bounds-checked little-endian loads from byte spans. Every decoder reads file bytes through
// these: a load past the end yields std::nullopt (or the fallback), never an out-of-range read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace palvara {

using Bytes = std::vector<std::byte>;
using ByteSpan = std::span<const std::byte>;

// True when [offset, offset + length) lies inside a buffer of `size` bytes (no overflow).
constexpr bool InBounds(std::size_t size, std::size_t offset, std::size_t length) {
  return offset <= size && length <= size - offset;
}

template <typename T>
std::optional<T> LoadLe(ByteSpan view, std::size_t offset) {
  if (!InBounds(view.size(), offset, sizeof(T))) return std::nullopt;
  T value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    value |= static_cast<T>(static_cast<T>(std::to_integer<std::uint8_t>(view[offset + i]))
                            << (8 * i));
  }
  return value;
}

inline std::optional<std::uint8_t> LoadU8(ByteSpan v, std::size_t o) {
  return LoadLe<std::uint8_t>(v, o);
}
inline std::optional<std::uint16_t> LoadLe16(ByteSpan v, std::size_t o) {
  return LoadLe<std::uint16_t>(v, o);
}
inline std::optional<std::uint32_t> LoadLe32(ByteSpan v, std::size_t o) {
  return LoadLe<std::uint32_t>(v, o);
}
inline std::optional<std::uint64_t> LoadLe64(ByteSpan v, std::size_t o) {
  return LoadLe<std::uint64_t>(v, o);
}

// Loads `width` bytes (1, 2, 4 or 8) as an unsigned value; std::nullopt when out of bounds.
inline std::optional<std::uint64_t> LoadLeN(ByteSpan v, std::size_t o, std::size_t width) {
  switch (width) {
    case 1: return LoadU8(v, o);
    case 2: return LoadLe16(v, o);
    case 4: return LoadLe32(v, o);
    case 8: return LoadLe64(v, o);
    default: return std::nullopt;
  }
}

// The byte at `offset`, or 0 past the end.
inline std::uint8_t ByteAt(ByteSpan v, std::size_t offset) { return LoadU8(v, offset).value_or(0); }

inline void StoreLe(std::span<std::byte> out, std::size_t offset, std::uint64_t value,
                    std::size_t width) {
  for (std::size_t i = 0; i < width && offset + i < out.size(); ++i) {
    out[offset + i] = static_cast<std::byte>((value >> (8 * i)) & 0xFF);
  }
}

}  // namespace palvara
