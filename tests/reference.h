#pragma once

// The plain mechanisms that the tool's fast ones must agree with: a
// Boyer-Moore-Horspool search that builds its skip table at every call and
// moves its window from left to right, the candidate walk that restarts it
// one byte after each candidate, and the MPDT verdict as two whole searches.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "search/find_pattern.h"
#include "intel/microcode_header.h"

namespace reference {

inline const std::uint8_t* horspool(const std::uint8_t* start, const std::uint8_t* end, const std::uint8_t* pattern,
                                    std::size_t length) {
    if (length == 0 || start == nullptr || end == nullptr || pattern == nullptr || end <= start) {
        return nullptr;
    }
    std::size_t remaining = static_cast<std::size_t>(end - start);
    std::uint32_t skip[256];
    for (std::uint32_t& entry : skip) {
        entry = static_cast<std::uint32_t>(length);
    }
    for (std::size_t j = 0; j + 1 < length; ++j) {
        skip[pattern[j]] = static_cast<std::uint32_t>(length - 1 - j);
    }
    if (remaining < length) {
        return nullptr;
    }
    const std::uint8_t* w = start;
    for (;;) {
        const std::uint8_t t = w[length - 1];
        if (t == pattern[length - 1]) {
            std::size_t i = length - 1;
            while (i > 0 && w[i - 1] == pattern[i - 1]) {
                --i;
            }
            if (i == 0) {
                return w;
            }
        }
        w += skip[t];
        remaining -= skip[t];
        if (remaining < length) {
            return nullptr;
        }
    }
}

inline std::optional<std::size_t> find(tarnwick::Image image, std::size_t from, tarnwick::Pattern pattern) {
    if (from >= image.size()) {
        return std::nullopt;
    }
    const std::uint8_t* hit =
        horspool(image.data() + from, image.data() + image.size(), pattern.data(), pattern.size());
    if (hit == nullptr) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(hit - image.data());
}

// Every match, each search restarting one byte after the last.
inline std::vector<std::size_t> all_matches(tarnwick::Image image, tarnwick::Pattern pattern) {
    std::vector<std::size_t> found;
    for (auto at = find(image, 0, pattern); at; at = find(image, *at + 1, pattern)) {
        found.push_back(*at);
    }
    return found;
}

struct Walk {
    bool any_candidate = false;
    std::vector<tarnwick::MicrocodeUpdateHeader> qualifying;
    bool operator==(const Walk&) const = default;
};

inline Walk walk(tarnwick::Image image) {
    Walk w;
    for (std::size_t candidate : all_matches(image, tarnwick::header_marker)) {
        w.any_candidate = true;
        const auto header = tarnwick::view_header(image, candidate);
        if (header && tarnwick::is_qualifying_header(*header)) {
            w.qualifying.push_back(*header);
        }
    }
    return w;
}

inline tarnwick::MpdtRecord mpdt(tarnwick::Image image) {
    if (find(image, 0, tarnwick::mpdt_boot_pattern)) {
        return tarnwick::MpdtRecord::boot;
    }
    if (find(image, 0, tarnwick::mpdt_noboot_pattern)) {
        return tarnwick::MpdtRecord::noboot;
    }
    return tarnwick::MpdtRecord::none;
}

}  // namespace reference
