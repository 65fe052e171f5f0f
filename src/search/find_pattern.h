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

// Searches [start, end) for the `length` bytes at `pattern`. Returns the
// first match at or after `start`, or nullptr. A match never extends past
// `end`. Overlapping matches are found by calling again from one byte after
// the previous match. Lengths of 0 or past 2^32 - 1 find nothing.
const std::uint8_t* find_pattern(const std::uint8_t* start, const std::uint8_t* end,
                                 const std::uint8_t* pattern, std::size_t length);

// The same search over image[from, image.size()), in offsets.
std::optional<std::size_t> find_pattern(Image image, std::size_t from, Pattern pattern);

// Writes to `out`, in ascending order, the next positions of `pattern` in
// image[from, image.size()): every one that restarting find_pattern one byte
// after each match would give, overlapping ones included. Returns how many it
// wrote, 0 only when none remain, and moves `from` to where the next call
// goes on.
std::size_t find_matches(Image image, std::size_t& from, Pattern pattern, std::span<std::size_t> out);

// Calls visit(position) for every match of `pattern` in the image, in
// ascending order. Returns false when there is none.
template <class Visit>
bool for_each_match(Image image, Pattern pattern, Visit&& visit) {
    std::size_t at[256];
    std::size_t from = 0;
    bool any = false;
    while (const std::size_t n = find_matches(image, from, pattern, at)) {
        any = true;
        for (std::size_t k = 0; k < n; ++k) {
            visit(at[k]);
        }
    }
    return any;
}

enum class MpdtRecord { none, noboot, boot };

// Which MPDT record the image carries: the boot record if it occurs anywhere,
// else the no-boot record if that does, else none.
MpdtRecord find_mpdt_record(Image image);

}  // namespace tarnwick
