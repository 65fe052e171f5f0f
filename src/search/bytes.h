#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tarnwick {

// The whole input file, read into memory once and never written.
using Image = std::span<const std::uint8_t>;

// True when `len` bytes starting at `off` lie inside `bytes`. Written so that
// neither side can overflow, whatever the offset.
inline bool fits(std::span<const std::uint8_t> bytes, std::size_t off, std::size_t len) {
    return off <= bytes.size() && len <= bytes.size() - off;
}

// Every multi-byte field in the formats read here is little-endian. Callers
// check with fits() first; this never looks outside the four bytes.
inline std::uint32_t read_le32(std::span<const std::uint8_t, 4> b) {
    return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
           static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

inline std::uint16_t read_le16(std::span<const std::uint8_t> bytes, std::size_t off) {
    return static_cast<std::uint16_t>(bytes[off] | bytes[off + 1] << 8);
}

inline std::uint32_t read_le32(std::span<const std::uint8_t> bytes, std::size_t off) {
    return read_le32(std::span<const std::uint8_t, 4>(bytes.data() + off, 4));
}

inline std::uint64_t read_le64(std::span<const std::uint8_t> bytes, std::size_t off) {
    return read_le32(bytes, off) | std::uint64_t{read_le32(bytes, off + 4)} << 32;
}

}  // namespace tarnwick
