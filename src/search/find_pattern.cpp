#include "search/find_pattern.h"

#include <cstdint>
#include <cstring>
#include <limits>

#include "search/batch.h"
#include "search/lanes.h"

namespace tarnwick {

namespace {

// Whether the window at `w` holds the pattern. For the tool's own patterns
// the length is fixed and the compare is a single 4-, 8- or 16-byte one.
template <std::size_t N>
bool window_equals(const std::uint8_t* w, const std::uint8_t* pattern, std::size_t length) {
    return std::memcmp(w, pattern, N != 0 ? N : length) == 0;
}

// Every window start of `pattern` in image[from, size) in ascending order,
// as restarting a plain search one byte after each match would give them.
// Most bytes of a flash image are fill, zero runs or compressed data, where
// the pattern's first and last bytes rarely line up, so filtering 16 windows
// at a time on those two bytes and comparing only the survivors whole beats
// stepping through the data a window at a time (and a skip table per call).
template <std::size_t N>
std::size_t matches(Image image, std::size_t& from, const std::uint8_t* pattern, std::size_t run_time_length,
                    std::span<std::size_t> out) {
    const std::size_t length = N != 0 ? N : run_time_length;
    const std::uint8_t* const p = image.data();
    // The caller has checked that at least one window fits.
    const std::size_t last_start = image.size() - length;
    std::size_t i = from;
    Batch batch(out, from);
    const std::uint8_t first = pattern[0];
    const std::uint8_t last = pattern[length - 1];
#if defined(TARNWICK_LANES)
    // A block starting at i holds windows i to i + 15; the last of them ends
    // at i + 15 + length <= size, so no load reaches past the image.
    constexpr std::size_t block = lanes::width;
    while (last_start >= block - 1 && i <= last_start - (block - 1)) {
        // 64 windows at once none of which has both the pattern's first and
        // last byte, as nearly all of a flash image's are; the same bound
        // holds for them.
        if (last_start >= lanes::stride - 1 && i <= last_start - (lanes::stride - 1) &&
            !lanes::any_pair_64(p + i, first, length - 1, last)) {
            i += lanes::stride;
            continue;
        }
        std::uint64_t mask = lanes::equal(p + i, first);
        if (mask != 0) {
            mask &= lanes::equal(p + i + length - 1, last);
        }
        for (; mask != 0; mask &= mask - 1) {
            const std::size_t at = i + lanes::lowest(mask);
            if (window_equals<N>(p + at, pattern, length) && batch.take(at)) {
                return batch.count();
            }
        }
        i += block;
    }
#endif
    while (i <= last_start) {
        // memchr is the C library's own fast scan for the first byte.
        const void* hit = std::memchr(p + i, first, last_start + 1 - i);
        if (hit == nullptr) {
            break;
        }
        i = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - p);
        if (p[i + length - 1] == last && window_equals<N>(p + i, pattern, length) && batch.take(i)) {
            return batch.count();
        }
        ++i;
    }
    return batch.end(image.size());
}

}  // namespace

std::size_t find_matches(Image image, std::size_t& from, Pattern pattern, std::span<std::size_t> out) {
    const std::size_t length = pattern.size();
    if (out.empty() || length == 0 || length > image.size() || from > image.size() - length) {
        from = image.size();
        return 0;
    }
    switch (length) {
        case header_marker.size():
            return matches<header_marker.size()>(image, from, pattern.data(), length, out);
        case fit_signature.size():
            return matches<fit_signature.size()>(image, from, pattern.data(), length, out);
        case mpdt_boot_pattern.size():
            return matches<mpdt_boot_pattern.size()>(image, from, pattern.data(), length, out);
        default:
            return matches<0>(image, from, pattern.data(), length, out);
    }
}

const std::uint8_t* find_pattern(const std::uint8_t* start, const std::uint8_t* end,
                                 const std::uint8_t* pattern, std::size_t length) {
    if (length == 0 || start == nullptr || end == nullptr || pattern == nullptr || end <= start) {
        return nullptr;
    }
    // Lengths past 32 bits find nothing, as they always have.
    if (length > std::numeric_limits<std::uint32_t>::max()) {
        return nullptr;
    }
    const Image range(start, static_cast<std::size_t>(end - start));
    std::size_t from = 0;
    std::size_t at = 0;
    if (find_matches(range, from, Pattern(pattern, length), std::span<std::size_t>(&at, 1)) == 0) {
        return nullptr;
    }
    return start + at;
}

std::optional<std::size_t> find_pattern(Image image, std::size_t from, Pattern pattern) {
    if (from >= image.size()) {
        return std::nullopt;
    }
    const std::uint8_t* begin = image.data();
    const std::uint8_t* hit =
        find_pattern(begin + from, begin + image.size(), pattern.data(), pattern.size());
    if (hit == nullptr) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(hit - begin);
}

MpdtRecord find_mpdt_record(Image image) {
    // Both records begin with "MPDT" and differ only in byte 5, so one pass
    // over the places where "MPDT" stands tells them apart: the boot record
    // anywhere wins, else the no-boot record anywhere.
    constexpr std::size_t prefix = 4;
    bool noboot = false;
    std::size_t from = 0;
    std::size_t at[64];
    while (const std::size_t n = find_matches(image, from, Pattern(mpdt_boot_pattern.data(), prefix), at)) {
        for (std::size_t k = 0; k < n; ++k) {
            if (!fits(image, at[k], mpdt_boot_pattern.size())) {
                continue;
            }
            const std::uint8_t* record = image.data() + at[k];
            if (std::memcmp(record, mpdt_boot_pattern.data(), mpdt_boot_pattern.size()) == 0) {
                return MpdtRecord::boot;
            }
            noboot = noboot || std::memcmp(record, mpdt_noboot_pattern.data(), mpdt_noboot_pattern.size()) == 0;
        }
    }
    return noboot ? MpdtRecord::noboot : MpdtRecord::none;
}

}  // namespace tarnwick
