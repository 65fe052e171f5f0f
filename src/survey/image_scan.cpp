#include "survey/image_scan.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "amd/amd.h"
#include "intel/update_check.h"
#include "search/checksum.h"
#include "search/lanes.h"

#if defined(TARNWICK_LANES) && defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace tarnwick {

namespace {

// Calls visit(position) for each match of `pattern` that starts in
// image[at, at + length), wherever it ends.
template <class Visit>
void for_each_match_starting_in(Image image, std::size_t at, std::size_t length, Pattern pattern, Visit&& visit) {
    const std::size_t after = image.size() - at - length;
    const std::size_t reach = std::min(pattern.size() - 1, after);
    const Image window = image.subspan(at, length + reach);
    std::size_t found[64];
    std::size_t from = 0;
    while (const std::size_t n = find_matches(window, from, pattern, found)) {
        for (std::size_t k = 0; k < n; ++k) {
            visit(at + found[k]);
        }
    }
}

#if defined(TARNWICK_LANES) && defined(__x86_64__) && defined(__GNUC__)
#define TARNWICK_SCAN_AVX2 1

// The pairs of bytes that start every candidate of the scan: Intel's
// 01 00, an AMD container's "DM", a bare AMD patch's 0x20 at +1 with 0x80
// at +9, "_F" of "_FIT_   " and "MP" of "MPDT". They rarely meet by chance,
// so nearly every 64 bytes of an image hold none: one test of all of them,
// with the sum of the words in the same loads, passes over those instead of
// each search and the sum reading them again. Returns the first i, stepping
// by 64 from `i` while i <= `last`, whose 64 positions hold a pair (past
// `last` when none does), and adds the words of those it passed to `sum`.
// Reads p[i, i + 73) for each i it looks at.
__attribute__((target("avx2"))) std::size_t skip_quiet_avx2(const std::uint8_t* p, std::size_t i, std::size_t last,
                                                            std::uint32_t& sum) {
    const __m256i one = _mm256_set1_epi8(0x01), zero = _mm256_setzero_si256(), d = _mm256_set1_epi8('D'),
                  m = _mm256_set1_epi8('M'), century = _mm256_set1_epi8(0x20),
                  format = _mm256_set1_epi8(static_cast<char>(0x80)), underscore = _mm256_set1_epi8('_'),
                  f = _mm256_set1_epi8('F'), pp = _mm256_set1_epi8('P');
#define TARNWICK_EQ(a, b) _mm256_cmpeq_epi8(a, b)
    __m256i words = zero;
    for (; i <= last; i += 64) {
        __m256i any = zero;
        __m256i block = zero;
        for (std::size_t k = 0; k < 64; k += 32) {
            const std::uint8_t* q = p + i + k;
            const __m256i x0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
            const __m256i x1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 1));
            const __m256i x9 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 9));
            const __m256i first = _mm256_or_si256(
                _mm256_or_si256(_mm256_and_si256(TARNWICK_EQ(x0, one), TARNWICK_EQ(x1, zero)),
                                _mm256_and_si256(TARNWICK_EQ(x0, d), TARNWICK_EQ(x1, m))),
                _mm256_or_si256(_mm256_and_si256(TARNWICK_EQ(x0, underscore), TARNWICK_EQ(x1, f)),
                                _mm256_and_si256(TARNWICK_EQ(x0, m), TARNWICK_EQ(x1, pp))));
            any = _mm256_or_si256(any,
                                  _mm256_or_si256(first, _mm256_and_si256(TARNWICK_EQ(x1, century), TARNWICK_EQ(x9, format))));
            block = _mm256_add_epi32(block, x0);
        }
        if (!_mm256_testz_si256(any, any)) {
            break;
        }
        words = _mm256_add_epi32(words, block);
    }
#undef TARNWICK_EQ
    alignas(32) std::uint32_t lanes8[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes8), words);
    for (const std::uint32_t w : lanes8) {
        sum += w;
    }
    return i;
}

#endif

// Adds the words of [at, at + length) to `sum` and calls visit(from, to)
// for ranges that together hold every position where a candidate may start
// in it: all of it, or where the filter above runs, all but its quiet
// blocks. `at` is a multiple of 4.
template <class Visit>
void for_each_busy_range(Image image, std::size_t at, std::size_t length, std::uint32_t& sum, Visit&& visit) {
    const std::size_t end = at + length;
    std::size_t i = at;
#if defined(TARNWICK_SCAN_AVX2)
    constexpr std::size_t block = 64;
    constexpr std::size_t reach = block + 9;
    if (lanes::has_avx2()) {
        std::optional<std::size_t> run;  // where the busy blocks before i began
        while (end - i >= block && image.size() - i >= reach) {
            const std::size_t last = std::min(end - block, image.size() - reach);
            const std::size_t next = skip_quiet_avx2(image.data(), i, last, sum);
            if (next != i) {
                if (run) {
                    visit(*run, i);
                    run.reset();
                }
                i = next;
                if (i > last) {
                    break;
                }
            }
            run = run.value_or(i);
            sum += sum_words(image.subspan(i, block));
            i += block;
        }
        if (run) {
            visit(*run, i);
        }
    }
#endif
    sum += sum_words(image.subspan(i, end - i));
    if (i < end) {
        visit(i, end);
    }
}

ImageScan scan(Image image, UpdateFinder* intel, AmdScanner* amd) {
    // A multiple of 4, so that every slice starts on a word; small enough to
    // stay in the cache while it is filtered, searched and summed.
    constexpr std::size_t slice = 64 * 1024;
    constexpr Pattern mpdt_prefix(mpdt_boot_pattern.data(), 4);
    ImageScan scan;
    bool noboot = false;
    const auto search = [&](std::size_t from, std::size_t to) {
        if (intel != nullptr) {
            intel->walk(from, to);
        }
        if (amd != nullptr) {
            // Candidates that start here; a header's bytes past it are read
            // where they lie.
            const Image window = image.subspan(0, std::min(to + amd_header_bytes - 1, image.size()));
            std::size_t found[64];
            std::size_t next = from;
            while (const std::size_t n = find_amd_candidates(window, next, found)) {
                for (std::size_t k = 0; k < n; ++k) {
                    if (found[k] < to) {  // the rest are the next range's
                        amd->visit(found[k]);
                    }
                }
            }
        }
        for_each_match_starting_in(image, from, to - from, fit_signature,
                                   [&](std::size_t p) { scan.fit_signatures.push_back(p); });
        if (scan.mpdt == MpdtRecord::boot) {
            return;
        }
        for_each_match_starting_in(image, from, to - from, mpdt_prefix, [&](std::size_t p) {
            if (!fits(image, p, mpdt_boot_pattern.size())) {
                return;
            }
            if (std::memcmp(image.data() + p, mpdt_boot_pattern.data(), mpdt_boot_pattern.size()) == 0) {
                scan.mpdt = MpdtRecord::boot;
            }
            noboot = noboot || std::memcmp(image.data() + p, mpdt_noboot_pattern.data(), mpdt_noboot_pattern.size()) == 0;
        });
    };
    for (std::size_t at = 0; at < image.size(); at += slice) {
        const std::size_t length = std::min(slice, image.size() - at);
        for_each_busy_range(image, at, length, scan.sum, search);
    }
    if (intel != nullptr) {
        intel->walk(image.size(), image.size());
    }
    if (scan.mpdt != MpdtRecord::boot && noboot) {
        scan.mpdt = MpdtRecord::noboot;
    }
    return scan;
}

}  // namespace

ImageScan scan_image(Image image) { return scan(image, nullptr, nullptr); }

ImageScan scan_image(Image image, AmdScanner& amd) { return scan(image, nullptr, &amd); }

ImageScan scan_image(Image image, UpdateFinder& intel, AmdScanner& amd) { return scan(image, &intel, &amd); }

}  // namespace tarnwick
