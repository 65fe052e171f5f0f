#pragma once

// Byte compares 16 at a time, for the searches' block filters. A mask holds
// `bits_per_lane` bits for each of the 16 bytes, byte 0 lowest; masks of the
// same kind combine with & and |. Only little-endian x86-64 (SSE2) and ARM64
// (NEON) have them; TARNWICK_LANES is left undefined elsewhere and the
// callers take their byte-at-a-time path.

#include <cstddef>
#include <cstdint>

// TARNWICK_NO_LANES builds the byte-at-a-time paths everywhere; the tests
// build the search that way too and hold both to the same results.
#if defined(TARNWICK_NO_LANES)
#elif defined(__SSE2__)
#include <emmintrin.h>
#define TARNWICK_LANES 1
#elif defined(__ARM_NEON) && defined(__aarch64__) && defined(__BYTE_ORDER__) && \
    __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#include <arm_neon.h>
#define TARNWICK_LANES 1
#endif

#if defined(TARNWICK_LANES)
namespace tarnwick::lanes {

inline constexpr std::size_t width = 16;

#if defined(__SSE2__)
inline constexpr unsigned bits_per_lane = 1;

// Reads exactly p[0, 16).
inline std::uint64_t equal(const std::uint8_t* p, std::uint8_t value) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i eq = _mm_cmpeq_epi8(bytes, _mm_set1_epi8(static_cast<char>(value)));
    return static_cast<std::uint32_t>(_mm_movemask_epi8(eq));
}
#else
// NEON has no byte movemask: narrowing each 16-bit pair by 4 leaves a
// nibble per byte, of which one bit is kept.
inline constexpr unsigned bits_per_lane = 4;

// Reads exactly p[0, 16).
inline std::uint64_t equal(const std::uint8_t* p, std::uint8_t value) {
    const uint8x16_t eq = vceqq_u8(vld1q_u8(p), vdupq_n_u8(value));
    const uint8x8_t nibbles = vshrn_n_u16(vreinterpretq_u16_u8(eq), 4);
    return vget_lane_u64(vreinterpret_u64_u8(nibbles), 0) & 0x8888888888888888ull;
}
#endif

// The lane of the lowest set bit; `mask` is not 0.
inline unsigned lowest(std::uint64_t mask) {
    return static_cast<unsigned>(__builtin_ctzll(mask)) / bits_per_lane;
}

}  // namespace tarnwick::lanes
#endif
