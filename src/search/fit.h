#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "search/bytes.h"
#include "search/find_pattern.h"

namespace tarnwick {

// A FIT entry is 16 bytes: 0 address (8), 8 size (3), 11 reserved,
// 12 version (2), 14 type in bits 0-6 with checksum-valid in bit 7, 15 checksum.
inline constexpr std::size_t fit_entry_size = 16;
inline constexpr std::size_t fit_type_offset = 14;
inline constexpr std::uint8_t fit_type_microcode = 1;

// Finds the first FIT header entry and calls visit(address_low32) for each
// entry of the run that directly follows it and whose type byte is exactly 1.
// The run ends at the first other type byte or at the first entry that does
// not lie whole inside the image. Returns false when there is no FIT.
template <class Visit>
bool for_each_fit_microcode_entry(Image image, Visit&& visit) {
    const std::optional<std::size_t> header = find_pattern(image, 0, fit_signature);
    if (!header) {
        return false;
    }
    for (std::size_t pos = *header + fit_entry_size;
         fits(image, pos, fit_entry_size) && image[pos + fit_type_offset] == fit_type_microcode;
         pos += fit_entry_size) {
        visit(read_le32(image, pos));
    }
    return true;
}

}  // namespace tarnwick
