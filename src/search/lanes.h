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
inline constexpr std::size_t stride = 64;

#if defined(__SSE2__)
inline constexpr unsigned bits_per_lane = 1;

// Whether some i in [0, 64) has p[i] == a and p[i + distance] == b; reads
// exactly p[0, 64) and p[distance, distance + 64). Lets the searches pass
// over 64 positions at a time, without a branch per 16, where a pair of
// bytes that rarely meet by chance rules them all out.
inline bool any_pair_64(const std::uint8_t* p, std::uint8_t a, std::size_t distance, std::uint8_t b) {
    const __m128i va = _mm_set1_epi8(static_cast<char>(a));
    const __m128i vb = _mm_set1_epi8(static_cast<char>(b));
    __m128i any = _mm_setzero_si128();
    for (std::size_t k = 0; k < 64; k += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k));
        const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k + distance));
        any = _mm_or_si128(any, _mm_and_si128(_mm_cmpeq_epi8(x, va), _mm_cmpeq_epi8(y, vb)));
    }
    return _mm_movemask_epi8(any) != 0;
}

// Whether some i in [0, 64) has p[i] == a and p[i + d1] == b, or p[i + o2]
// == c and p[i + o2 + d2] == d; reads p[0, 64 + d1) and p[o2, o2 + 64 + d2).
// Two rare pairs in one pass over the bytes.
inline bool any_of_two_pairs_64(const std::uint8_t* p, std::uint8_t a, std::size_t d1, std::uint8_t b,
                                std::size_t o2, std::uint8_t c, std::size_t d2, std::uint8_t d) {
    const __m128i va = _mm_set1_epi8(static_cast<char>(a));
    const __m128i vb = _mm_set1_epi8(static_cast<char>(b));
    const __m128i vc = _mm_set1_epi8(static_cast<char>(c));
    const __m128i vd = _mm_set1_epi8(static_cast<char>(d));
    __m128i any = _mm_setzero_si128();
    for (std::size_t k = 0; k < 64; k += 16) {
        const auto at = [&](std::size_t off) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k + off)); };
        any = _mm_or_si128(any, _mm_and_si128(_mm_cmpeq_epi8(at(0), va), _mm_cmpeq_epi8(at(d1), vb)));
        any = _mm_or_si128(any, _mm_and_si128(_mm_cmpeq_epi8(at(o2), vc), _mm_cmpeq_epi8(at(o2 + d2), vd)));
    }
    return _mm_movemask_epi8(any) != 0;
}

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

// Whether some i in [0, 64) has p[i] == a and p[i + distance] == b; reads
// exactly p[0, 64) and p[distance, distance + 64). Lets the searches pass
// over 64 positions at a time, without a branch per 16, where a pair of
// bytes that rarely meet by chance rules them all out.
inline bool any_pair_64(const std::uint8_t* p, std::uint8_t a, std::size_t distance, std::uint8_t b) {
    const uint8x16_t va = vdupq_n_u8(a);
    const uint8x16_t vb = vdupq_n_u8(b);
    uint8x16_t any = vdupq_n_u8(0);
    for (std::size_t k = 0; k < 64; k += 16) {
        any = vorrq_u8(any, vandq_u8(vceqq_u8(vld1q_u8(p + k), va), vceqq_u8(vld1q_u8(p + k + distance), vb)));
    }
    return vmaxvq_u8(any) != 0;
}

// Whether some i in [0, 64) has p[i] == a and p[i + d1] == b, or p[i + o2]
// == c and p[i + o2 + d2] == d; reads p[0, 64 + d1) and p[o2, o2 + 64 + d2).
// Two rare pairs in one pass over the bytes.
inline bool any_of_two_pairs_64(const std::uint8_t* p, std::uint8_t a, std::size_t d1, std::uint8_t b,
                                std::size_t o2, std::uint8_t c, std::size_t d2, std::uint8_t d) {
    uint8x16_t any = vdupq_n_u8(0);
    for (std::size_t k = 0; k < 64; k += 16) {
        any = vorrq_u8(any, vandq_u8(vceqq_u8(vld1q_u8(p + k), vdupq_n_u8(a)),
                                     vceqq_u8(vld1q_u8(p + k + d1), vdupq_n_u8(b))));
        any = vorrq_u8(any, vandq_u8(vceqq_u8(vld1q_u8(p + k + o2), vdupq_n_u8(c)),
                                     vceqq_u8(vld1q_u8(p + k + o2 + d2), vdupq_n_u8(d))));
    }
    return vmaxvq_u8(any) != 0;
}

// Reads exactly p[0, 16).
inline std::uint64_t equal(const std::uint8_t* p, std::uint8_t value) {
    const uint8x16_t eq = vceqq_u8(vld1q_u8(p), vdupq_n_u8(value));
    const uint8x8_t nibbles = vshrn_n_u16(vreinterpretq_u16_u8(eq), 4);
    return vget_lane_u64(vreinterpret_u64_u8(nibbles), 0) & 0x8888888888888888ull;
}
#endif

#if defined(__x86_64__) && defined(__GNUC__)
// Whether the processor runs AVX2, for the loops that have a path twice as
// wide for it.
inline bool has_avx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}
#endif

// The lane of the lowest set bit; `mask` is not 0.
inline unsigned lowest(std::uint64_t mask) {
    return static_cast<unsigned>(__builtin_ctzll(mask)) / bits_per_lane;
}

}  // namespace tarnwick::lanes
#endif
