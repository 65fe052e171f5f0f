#include "survey/image_scan.h"

#include <algorithm>
#include <cstring>

#include "amd/amd.h"
#include "search/checksum.h"

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

ImageScan scan(Image image, AmdScanner* amd) {
    // A multiple of 4, so that every slice starts on a word; small enough to
    // stay in the cache while it is searched twice and summed.
    constexpr std::size_t slice = 64 * 1024;
    constexpr Pattern mpdt_prefix(mpdt_boot_pattern.data(), 4);
    ImageScan scan;
    bool noboot = false;
    for (std::size_t at = 0; at < image.size(); at += slice) {
        const std::size_t length = std::min(slice, image.size() - at);
        scan.sum += sum_words(image.subspan(at, length));
        if (amd != nullptr) {
            // Candidates that start in this slice; a header's bytes past it
            // are read where they lie.
            const Image window = image.subspan(at, std::min(length + amd_header_bytes - 1, image.size() - at));
            std::size_t found[64];
            std::size_t from = 0;
            while (const std::size_t n = find_amd_candidates(window, from, found)) {
                for (std::size_t k = 0; k < n; ++k) {
                    if (found[k] < length) {  // the rest are the next slice's
                        amd->visit(at + found[k]);
                    }
                }
            }
        }
        for_each_match_starting_in(image, at, length, fit_signature,
                                   [&](std::size_t p) { scan.fit_signatures.push_back(p); });
        if (scan.mpdt == MpdtRecord::boot) {
            continue;
        }
        for_each_match_starting_in(image, at, length, mpdt_prefix, [&](std::size_t p) {
            if (!fits(image, p, mpdt_boot_pattern.size())) {
                return;
            }
            if (std::memcmp(image.data() + p, mpdt_boot_pattern.data(), mpdt_boot_pattern.size()) == 0) {
                scan.mpdt = MpdtRecord::boot;
            }
            noboot = noboot || std::memcmp(image.data() + p, mpdt_noboot_pattern.data(), mpdt_noboot_pattern.size()) == 0;
        });
    }
    if (scan.mpdt != MpdtRecord::boot && noboot) {
        scan.mpdt = MpdtRecord::noboot;
    }
    return scan;
}

}  // namespace

ImageScan scan_image(Image image) { return scan(image, nullptr); }

ImageScan scan_image(Image image, AmdScanner& amd) { return scan(image, &amd); }

}  // namespace tarnwick
