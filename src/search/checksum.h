#pragma once

#include <cstdint>

#include "search/bytes.h"

namespace tarnwick {

// Sum modulo 2^32 of the image's whole little-endian 32-bit words from offset
// 0; the one to three bytes of a last partial word are left out.
std::uint32_t sum_words(Image image);

// Sum modulo 256 of the bytes: the 8-bit checksums of FFS files and of the
// FIT are what makes it 0.
std::uint8_t sum_bytes(Image bytes);

struct MicrocodeChecksum {
    bool has_marker;    // header_marker occurs somewhere in the image
    std::uint32_t sum;  // sum_words(image)
};

// Both answers that -check needs, in one pass: the image is taken a slice
// at a time, searched and summed while the slice is still in the cache,
// instead of read from memory once for the search and again for the sum.
// Must agree with find_pattern(image, 0, header_marker) and sum_words.
MicrocodeChecksum check_words(Image image);

}  // namespace tarnwick
