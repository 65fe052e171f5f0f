#pragma once

#include <cstdint>

#include "search/bytes.h"

namespace tarnwick {

// Sum modulo 2^32 of the image's whole little-endian 32-bit words from offset
// 0; the one to three bytes of a last partial word are left out.
std::uint32_t sum_words(Image image);

}  // namespace tarnwick
