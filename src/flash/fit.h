#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "search/bytes.h"
#include "search/find_pattern.h"
#include "intel/microcode_header.h"
#include "intel/update_check.h"

namespace tarnwick {

// A FIT entry is 16 bytes: 0 address (8), 8 size (3), 11 reserved,
// 12 version (2), 14 type in bits 0-6 with checksum-valid in bit 7, 15 checksum.
inline constexpr std::size_t fit_entry_size = 16;
inline constexpr std::size_t fit_type_offset = 14;
inline constexpr std::uint8_t fit_type_microcode = 1;

// Flash is mapped so that the image's last byte sits at 0xFFFFFFFF, and the
// processor finds the FIT through the 64-bit pointer at 0xFFFFFFC0.
inline constexpr std::uint64_t four_gib = std::uint64_t{1} << 32;
inline constexpr std::size_t fit_pointer_from_end = 0x40;

// The file offset of physical address `address` in an image of `size`
// bytes, or nothing when it falls outside the image.
std::optional<std::size_t> offset_of_address(std::uint64_t address, std::size_t size);

struct FitPointer {
    enum class Outcome {
        found,       // the pointer names a _FIT_ header entry
        too_small,   // the file is shorter than 0x40 bytes
        outside,     // the pointer maps outside the file
        not_a_fit,   // it maps into the file, but not onto "_FIT_   "
    };
    Outcome outcome = Outcome::too_small;
    std::uint64_t pointer = 0;  // the value read, unless too_small
    std::size_t offset = 0;     // where it maps, for found and not_a_fit
};

// Reads the FIT pointer as the processor does.
FitPointer read_fit_pointer(Image image);

// The table that -fit lists: the one the pointer names where it names one,
// else the first "_FIT_   " in the file; nothing when neither exists.
std::optional<std::size_t> fit_listing_offset(Image image);

// The same table from what check_fit found, which already knows every
// signature: for callers that have that result, no second search.
struct FitCheck;
std::optional<std::size_t> fit_listing_offset(const FitCheck& check);

// Calls visit(address_low32) for each entry of the run of type-1 entries
// that directly follows the FIT header entry at `header`. The run ends at the
// first other type byte or at the first entry that does not lie whole inside
// the image.
template <class Visit>
void for_each_listed_microcode_entry(Image image, std::size_t header, Visit&& visit) {
    for (std::size_t pos = header + fit_entry_size;
         fits(image, pos, fit_entry_size) && image[pos + fit_type_offset] == fit_type_microcode;
         pos += fit_entry_size) {
        visit(read_le32(image, pos));
    }
}

// The -fit listing: finds the table as fit_listing_offset does and visits
// its run of microcode entries. Returns false when there is no table.
template <class Visit>
bool for_each_fit_microcode_entry(Image image, Visit&& visit) {
    const std::optional<std::size_t> header = fit_listing_offset(image);
    if (!header) {
        return false;
    }
    for_each_listed_microcode_entry(image, *header, visit);
    return true;
}

// Names of the common entry types ("microcode", "startup ACM", ...), or an
// empty view for the others.
std::string_view fit_type_name(std::uint8_t type);

struct FitEntry {
    std::uint64_t address;
    std::uint32_t size;  // the 24-bit size field
    std::uint16_t version;
    std::uint8_t type;   // bits 0-6
    bool checksum_valid; // bit 7
};

struct FitMicrocode {
    enum class Slot {
        outside,        // maps outside the file, or fewer than 48 bytes remain there
        empty,          // 48 bytes of 0xFF: kept free for a later update
        not_an_update,  // no qualifying header there
        update,
    };
    std::size_t index;  // the entry's index in the table
    std::uint64_t address;
    std::optional<std::size_t> offset;
    Slot slot;
    MicrocodeUpdateHeader header{};       // for an update
    UpdateStatus status = UpdateStatus::ok;  // for an update
};

std::string_view slot_word(FitMicrocode::Slot slot);

struct FitCheck {
    FitPointer pointer;
    // Every "_FIT_   " but the one the pointer names, by offset.
    std::vector<std::size_t> other_signatures;
    // The rest holds only when pointer.outcome is found.
    std::uint32_t count = 0;  // entries, header included, from its size field
    std::uint16_t version = 0;
    bool checksum_valid = false;
    std::vector<FitEntry> entries;  // those that lie in the file, header first
    std::vector<FitMicrocode> microcode;
    std::vector<std::string> errors;
    std::vector<std::string> warnings;
};

// Finds the FIT through its pointer and checks it entry by entry, and the
// updates its microcode entries point at. Pure: returns what it found.
FitCheck check_fit(Image image);
// The same, given every position of "_FIT_   " in the image, ascending, for
// callers that have already searched for them.
FitCheck check_fit(Image image, std::span<const std::size_t> signatures);

}  // namespace tarnwick
