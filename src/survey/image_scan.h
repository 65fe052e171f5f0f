#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "search/bytes.h"
#include "search/find_pattern.h"

namespace tarnwick {

// What -json needs of the whole image besides its update headers: the sum
// of -check, the MPDT verdict of -info and every "_FIT_   " signature.
struct ImageScan {
    std::uint32_t sum = 0;                    // sum_words(image)
    MpdtRecord mpdt = MpdtRecord::none;       // find_mpdt_record(image)
    std::vector<std::size_t> fit_signatures;  // each match of fit_signature, ascending
};

// All three in one pass: the image is taken a slice at a time and searched
// and summed while the slice is still in the cache, instead of read from
// memory once for each answer. Must agree with sum_words, find_mpdt_record
// and for_each_match(image, fit_signature).
ImageScan scan_image(Image image);

// The same, also handing each AMD candidate to `amd`, in order.
class AmdScanner;
ImageScan scan_image(Image image, AmdScanner& amd);
// And each slice's Intel candidates to `intel`: every answer -json needs of
// the image in one pass.
class UpdateFinder;
ImageScan scan_image(Image image, UpdateFinder& intel, AmdScanner& amd);

}  // namespace tarnwick
