#include "intel/microcode_header.h"

#include <cstring>

#include "search/batch.h"
#include "search/lanes.h"

namespace tarnwick {

bool is_qualifying_header(const MicrocodeUpdateHeader& header) {
    if (header.header_version != 1) {
        return false;
    }
    if (header.century() != 0x19 && header.century() != 0x20) {
        return false;
    }
    // Sizes in 64 bits: a total smaller than the header itself must not wrap
    // round into a match.
    const std::uint64_t data = header.data_size;
    const std::uint64_t total = header.total_size;
    if (data == 0 && total == 0) {
        return true;
    }
    constexpr std::uint64_t header_bytes = 48;
    if (total < data + header_bytes) {
        return false;
    }
    const std::uint64_t extra = total - data - header_bytes;
    if (extra == 0) {
        return true;
    }
    // What follows the data may be an extended signature table: a 20-byte
    // table header and one or more 12-byte signature entries.
    constexpr std::uint64_t table_header = 20;
    constexpr std::uint64_t table_entry = 12;
    return data != 0 && extra >= table_header + table_entry && (extra - table_header) % table_entry == 0;
}

bool is_qualifying_header(Image image, std::size_t candidate) {
    const std::optional<MicrocodeUpdateHeader> header = view_header(image, candidate);
    return header && is_qualifying_header(*header);
}

std::size_t find_dated_candidates(Image image, std::size_t& from, std::span<std::size_t> out,
                                  bool& any_candidate) {
    constexpr std::size_t century_offset = 9;
    const std::size_t size = image.size();
    const std::uint8_t* const p = image.data();
    std::size_t i = from;
    Batch batch(out, from);
    if (out.empty()) {
        return batch.end(size);
    }
#if defined(TARNWICK_LANES)
    // Whole 16-byte blocks of candidates at once: the marker's four bytes and
    // the century byte are compared for all 16 positions together. A block
    // at i runs only while its last position, i + 15, still has its judged
    // bytes inside the image, so no load reaches past it. On data where
    // nearly every position is a candidate (runs of 01 00 00 00), nearly none
    // of them carries a date and the block is passed over whole.
    constexpr std::size_t block = lanes::width;
    constexpr std::size_t reach = block - 1 + judged_header_bytes;
    constexpr std::size_t wide_reach = lanes::stride - 1 + judged_header_bytes;
    while (size >= reach && i <= size - reach) {
        // 64 positions at once without a single 01 00, as nearly all are.
        if (size >= wide_reach && i <= size - wide_reach && !lanes::any_pair_64(p + i, 0x01, 1, 0x00)) {
            i += lanes::stride;
            continue;
        }
        std::uint64_t mask = lanes::equal(p + i, 0x01);
        if (mask != 0) {
            mask &= lanes::equal(p + i + 1, 0x00) & lanes::equal(p + i + 2, 0x00) & lanes::equal(p + i + 3, 0x00);
            any_candidate = any_candidate || mask != 0;
            mask &= lanes::equal(p + i + century_offset, 0x19) | lanes::equal(p + i + century_offset, 0x20);
            for (; mask != 0; mask &= mask - 1) {
                if (batch.take(i + lanes::lowest(mask))) {
                    return batch.count();
                }
            }
        }
        i += block;
    }
#endif
    for (; i < size && size - i >= header_marker.size(); ++i) {
        const void* one = std::memchr(p + i, 0x01, size - i - (header_marker.size() - 1));
        if (one == nullptr) {
            break;
        }
        i = static_cast<std::size_t>(static_cast<const std::uint8_t*>(one) - p);
        if (p[i + 1] != 0x00 || p[i + 2] != 0x00 || p[i + 3] != 0x00) {
            continue;
        }
        any_candidate = true;
        if (fits(image, i, judged_header_bytes) && (p[i + century_offset] == 0x19 || p[i + century_offset] == 0x20) &&
            batch.take(i)) {
            return batch.count();
        }
    }
    return batch.end(size);
}

}  // namespace tarnwick
