#include "search/checksum.h"

#include <cstddef>

namespace tarnwick {

std::uint32_t sum_words(Image image) {
    const std::size_t words = image.size() / 4;
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < words; ++i) {
        sum += read_le32(image, i * 4);
    }
    return sum;
}

}  // namespace tarnwick
