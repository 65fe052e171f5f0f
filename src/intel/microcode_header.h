#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>

#include "search/bytes.h"
#include "search/find_pattern.h"

namespace tarnwick {

// Intel's microcode update header: 48 bytes at the start of every update,
// all fields little-endian. Only the first 36 bytes matter to this tool.
struct MicrocodeUpdateHeader {
    std::uint32_t header_version;       // 0: 1, which is what header_marker matches
    std::uint32_t update_revision;      // 4
    std::uint32_t date;                 // 8: BCD 0xMMDDYYYY (byte 8 year, 9 century, 10 day, 11 month)
    std::uint32_t processor_signature;  // 12: CPUID leaf 1 EAX
    std::uint32_t checksum;             // 16: makes the update's words sum to zero
    std::uint32_t loader_revision;      // 20
    std::uint32_t processor_flags;      // 24: platform ID mask
    std::uint32_t data_size;            // 28: 0 stands for the old fixed 2000 bytes
    std::uint32_t total_size;           // 32: header + data + extended signature table
                                        // 36: 12 reserved bytes, never read

    bool operator==(const MicrocodeUpdateHeader&) const = default;

    std::uint8_t year() const { return static_cast<std::uint8_t>(date); }
    std::uint8_t century() const { return static_cast<std::uint8_t>(date >> 8); }
    std::uint8_t day() const { return static_cast<std::uint8_t>(date >> 16); }
    std::uint8_t month() const { return static_cast<std::uint8_t>(date >> 24); }

    // Old-style updates leave both sizes 0 and are 2048 bytes long.
    std::uint32_t effective_total_size() const {
        return data_size == 0 && total_size == 0 ? 2048u : total_size;
    }
};

// The six fields by which the database scan names an update, in the order
// of its 48-digit key: signature, flags, revision, date, total size as
// stored, checksum.
using MicrocodeKey = std::array<std::uint32_t, 6>;
inline MicrocodeKey microcode_key(const MicrocodeUpdateHeader& h) {
    return {h.processor_signature, h.processor_flags, h.update_revision, h.date, h.total_size, h.checksum};
}

// Bytes of a candidate that must lie inside the image for it to be judged.
inline constexpr std::size_t judged_header_bytes = 36;

// The header fields at `pos`, or nothing when fewer than 36 bytes remain.
// Inline: the walk and the scan call it for every header they look at.
inline std::optional<MicrocodeUpdateHeader> view_header(Image image, std::size_t pos) {
    if (!fits(image, pos, judged_header_bytes)) {
        return std::nullopt;
    }
    const Image h = image.subspan(pos, judged_header_bytes);
    return MicrocodeUpdateHeader{
        read_le32(h, 0),  read_le32(h, 4),  read_le32(h, 8),  read_le32(h, 12), read_le32(h, 16),
        read_le32(h, 20), read_le32(h, 24), read_le32(h, 28), read_le32(h, 32),
    };
}

// The plausibility rule that tells a real header from a chance 01 00 00 00.
bool is_qualifying_header(const MicrocodeUpdateHeader& header);
bool is_qualifying_header(Image image, std::size_t candidate);

// Writes to `out`, in ascending order, the next candidates at or after
// `from` that the rule can accept at all: those with their 36 judged bytes
// inside the image and a century byte of 19 or 20. Sets `any_candidate`
// once it has passed any candidate, whatever its fields. Returns how many it
// wrote, 0 only when none remain, and moves `from` to where the next call
// goes on.
std::size_t find_dated_candidates(Image image, std::size_t& from, std::span<std::size_t> out,
                                  bool& any_candidate);

// Walks the candidates that start in [from, to) (each position of
// header_marker, ascending, as restarting the search one byte after each
// candidate gives them) and calls visit(header), or visit(header, position),
// for the qualifying ones. A header's bytes past `to` are read where they
// lie, so that ranges one after the other give what the whole image gives.
// Sets `any_candidate` once it has passed any candidate at all.
template <class Visit>
void for_each_qualifying_header_in(Image image, std::size_t from, std::size_t to, bool& any_candidate,
                                   Visit&& visit) {
    constexpr std::size_t header_bytes = 48;
    const Image window = image.subspan(0, std::min(image.size(), to + header_bytes));
    std::size_t at[256];
    while (const std::size_t n = find_dated_candidates(window, from, at, any_candidate)) {
        for (std::size_t k = 0; k < n; ++k) {
            if (at[k] >= to) {
                return;  // the next range's, like every one after it
            }
            const std::optional<MicrocodeUpdateHeader> header = view_header(image, at[k]);
            if (header && is_qualifying_header(*header)) {
                if constexpr (std::is_invocable_v<Visit&, const MicrocodeUpdateHeader&, std::size_t>) {
                    visit(*header, at[k]);
                } else {
                    visit(*header);
                }
            }
        }
    }
}

// The same over the whole image. Returns false when the image holds no
// candidate at all, qualifying or not.
template <class Visit>
bool for_each_qualifying_header(Image image, Visit&& visit) {
    bool any_candidate = false;
    for_each_qualifying_header_in(image, 0, image.size(), any_candidate, visit);
    return any_candidate;
}

}  // namespace tarnwick
