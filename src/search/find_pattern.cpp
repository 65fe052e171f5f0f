#include "search/find_pattern.h"

#include <cstdint>
#include <limits>

namespace tarnwick {

const std::uint8_t* find_pattern(const std::uint8_t* start, const std::uint8_t* end,
                                 const std::uint8_t* pattern, std::size_t length) {
    if (length == 0 || start == nullptr || end == nullptr || pattern == nullptr || end <= start) {
        return nullptr;
    }
    std::size_t remaining = static_cast<std::size_t>(end - start);
    // Skip distances are 32-bit; no pattern of this tool comes near that.
    if (remaining < length || length > std::numeric_limits<std::uint32_t>::max()) {
        return nullptr;
    }

    // Built per call on purpose: the search keeps no state between calls.
    std::uint32_t skip[256];
    const auto whole = static_cast<std::uint32_t>(length);
    for (auto& entry : skip) {
        entry = whole;
    }
    for (std::size_t j = 0; j + 1 < length; ++j) {
        skip[pattern[j]] = static_cast<std::uint32_t>(length - 1 - j);
    }

    const std::uint8_t last = pattern[length - 1];
    // The step after a window whose last byte matches is always the same.
    // Taking it from a register rather than the table lets the processor
    // run ahead through long runs of that byte (zeros, for header_marker).
    const std::uint32_t step_on_last = skip[last];
    const std::uint8_t* w = start;
    for (;;) {
        const std::uint8_t t = w[length - 1];
        std::uint32_t step;
        if (t == last) {
            std::size_t i = length - 1;
            while (i > 0 && w[i - 1] == pattern[i - 1]) {
                --i;
            }
            if (i == 0) {
                return w;
            }
            step = step_on_last;
        } else {
            step = skip[t];
        }
        // Every entry is at most `length` and remaining >= length here, so
        // neither the window nor the count can step past the range.
        w += step;
        remaining -= step;
        if (remaining < length) {
            return nullptr;
        }
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
