#include "search/checksum.h"

#include <cstddef>

#include "search/find_pattern.h"

namespace tarnwick {

std::uint32_t sum_words(Image image) {
    const std::size_t words = image.size() / 4;
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < words; ++i) {
        sum += read_le32(image, i * 4);
    }
    return sum;
}

std::uint8_t sum_bytes(Image bytes) {
    unsigned sum = 0;
    for (std::uint8_t b : bytes) {
        sum += b;
    }
    return static_cast<std::uint8_t>(sum);
}

MicrocodeChecksum check_words(Image image) {
    // A multiple of 4, so that every slice starts on a word; small enough to
    // stay in the cache between its search and its sum.
    constexpr std::size_t slice = 64 * 1024;
    MicrocodeChecksum result{false, 0};
    for (std::size_t at = 0; at < image.size(); at += slice) {
        const std::size_t length = image.size() - at < slice ? image.size() - at : slice;
        if (!result.has_marker) {
            // Markers that start in this slice, including one that runs on
            // into the next.
            const std::size_t reach = image.size() - at - length < 3 ? image.size() - at - length : 3;
            result.has_marker = find_pattern(image.subspan(at, length + reach), 0, header_marker).has_value();
        }
        result.sum += sum_words(image.subspan(at, length));
    }
    return result;
}

}  // namespace tarnwick
