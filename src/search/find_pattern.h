#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "search/bytes.h"

namespace tarnwick {

using Pattern = std::span<const std::uint8_t>;

// Version 1 of a microcode update header: the 32-bit value 1.
inline constexpr std::array<std::uint8_t, 4> header_marker{0x01, 0x00, 0x00, 0x00};

// "_FIT_" and three blanks: the FIT header entry's address field.
inline constexpr std::array<std::uint8_t, 8> fit_signature{0x5F, 0x46, 0x49, 0x54,
                                                           0x5F, 0x20, 0x20, 0x20};

// "MPDT", then the 32-bit values 0x100, 0x10 and 0x100000. The two records
// differ only in the second value.
inline constexpr std::array<std::uint8_t, 16> mpdt_boot_pattern{
    0x4D, 0x50, 0x44, 0x54, 0x00, 0x01, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00};
inline constexpr std::array<std::uint8_t, 16> mpdt_noboot_pattern{
    0x4D, 0x50, 0x44, 0x54, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00};

// Boyer-Moore-Horspool search of [start, end) for the `length` bytes at
// `pattern`. Returns the first match at or after `start`, or nullptr. A match
// never extends past `end`. Overlapping matches are found by calling again
// from one byte after the previous match.
const std::uint8_t* find_pattern(const std::uint8_t* start, const std::uint8_t* end,
                                 const std::uint8_t* pattern, std::size_t length);

// The same search over image[from, image.size()), in offsets.
std::optional<std::size_t> find_pattern(Image image, std::size_t from, Pattern pattern);

}  // namespace tarnwick
