#include "search/find_pattern.h"

#include <cstdint>
#include <cstring>
#include <limits>

namespace tarnwick {

namespace {

// Whether the window at `w` holds the pattern, its last byte known equal.
// For the tool's own patterns the length is fixed, and the compiler turns
// this into a single comparison of 4, 8 or 16 bytes.
template <std::size_t N>
bool window_equals(const std::uint8_t* w, const std::uint8_t* pattern, std::size_t length) {
    if constexpr (N != 0) {
        return std::memcmp(w, pattern, N) == 0;
    } else {
        std::size_t i = length - 1;
        while (i > 0 && w[i - 1] == pattern[i - 1]) {
            --i;
        }
        return i == 0;
    }
}

// Horspool over `remaining` >= length bytes from `start`. N is the pattern
// length when known at compile time (the patterns this tool searches for),
// 0 otherwise; knowing it lets the compiler unroll the window compare.
template <std::size_t N>
const std::uint8_t* horspool(const std::uint8_t* start, std::size_t remaining,
                             const std::uint8_t* pattern, std::size_t run_time_length) {
    const std::size_t length = N != 0 ? N : run_time_length;

    // Built per call on purpose: the search keeps no state between calls.
    std::uint32_t skip[256];
    const auto whole = static_cast<std::uint32_t>(length);
    // Filling the table is most of a short search's cost; unrolled, the
    // fill runs at the processor's store rate rather than its branch rate.
#pragma GCC unroll 16
    for (auto& entry : skip) {
        entry = whole;
    }
    for (std::size_t j = 0; j + 1 < length; ++j) {
        skip[pattern[j]] = static_cast<std::uint32_t>(length - 1 - j);
    }

    const std::uint8_t last = pattern[length - 1];
    // Two steps are known without the table: a byte that isn't in the
    // pattern skips the whole length, and the pattern's last byte always
    // skips the same. Branching on those rather than adding the loaded
    // entry lets the processor predict the step and run ahead, instead of
    // waiting on two dependent loads for every window: through 0xFF fill,
    // compressed data and zero runs alike. The windows and steps are those
    // of the table all the same.
    const std::uint32_t step_on_last = skip[last];
    const std::uint8_t* w = start;
    // Every entry is at most `length` and remaining >= length before each
    // step, so neither the window nor the count can step past the range.
    auto advance = [&](std::uint32_t step) {
        w += step;
        remaining -= step;
        return remaining >= length;
    };
    for (;;) {
        const std::uint8_t t = w[length - 1];
        if (t == last) {
            // In a run of the last byte, keep comparing window after window.
            do {
                if (window_equals<N>(w, pattern, length)) {
                    return w;
                }
                if (!advance(step_on_last)) {
                    return nullptr;
                }
            } while (w[length - 1] == last);
        } else if (skip[t] == whole) {
            // A byte that isn't in the pattern, as most are: keep stepping
            // the whole length while that lasts.
            do {
                if (!advance(whole)) {
                    return nullptr;
                }
            } while (w[length - 1] != last && skip[w[length - 1]] == whole);
        } else if (!advance(skip[t])) {
            return nullptr;
        }
    }
}

}  // namespace

const std::uint8_t* find_pattern(const std::uint8_t* start, const std::uint8_t* end,
                                 const std::uint8_t* pattern, std::size_t length) {
    if (length == 0 || start == nullptr || end == nullptr || pattern == nullptr || end <= start) {
        return nullptr;
    }
    const auto remaining = static_cast<std::size_t>(end - start);
    // Skip distances are 32-bit; no pattern of this tool comes near that.
    if (remaining < length || length > std::numeric_limits<std::uint32_t>::max()) {
        return nullptr;
    }
    switch (length) {
        case header_marker.size():
            return horspool<header_marker.size()>(start, remaining, pattern, length);
        case fit_signature.size():
            return horspool<fit_signature.size()>(start, remaining, pattern, length);
        case mpdt_boot_pattern.size():
            return horspool<mpdt_boot_pattern.size()>(start, remaining, pattern, length);
        default:
            return horspool<0>(start, remaining, pattern, length);
    }
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

}  // namespace tarnwick
