#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "search/bytes.h"

namespace tarnwick {

// Whether `bytes` begin as a gzip file does (1F 8B).
bool is_gzip(Image bytes);

// Whether this build reads gzip (it does where zlib was found).
bool gzip_supported();

struct Gunzipped {
    enum class Outcome { done, damaged, too_large, unsupported } outcome = Outcome::done;
    std::vector<std::uint8_t> bytes;
    std::string why;  // for damaged
};

// The bytes a gzip file (one member or several end to end) holds, up to
// `most` of them.
Gunzipped gunzip(Image compressed, std::size_t most);

}  // namespace tarnwick
