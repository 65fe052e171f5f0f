#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/platform.h"
#include "commands/status.h"
#include "search/bytes.h"

namespace tarnwick {

// The input's bytes: a mapping of the file where it can be mapped, else a
// buffer it was read into.
struct LoadedImage {
    platform::Mapping mapping;
    platform::Buffer buffer;
    std::size_t size = 0;

    Image view() const { return Image(mapping ? mapping.data() : buffer.get(), size); }
};

// Opens, measures and reads the whole file at `path`. On failure prints the
// message for it to `out` and returns its status.
ExitStatus load_image(const char* path, LoadedImage& image, std::ostream& out);
// The same for another input: mapped only where `map` (one mapping alone
// ends the run as a short read where its file shrinks), and with its own
// message where it can't be opened.
ExitStatus load_input(const char* path, LoadedImage& image, std::ostream& out, bool map,
                      std::string_view cannot_open);

// The whole of a regular file, read into memory (not mapped: the caller may
// keep it past other files' mappings); nothing when it can't be opened,
// measured or read in full.
std::optional<std::vector<std::uint8_t>> read_whole_file(const std::string& path);

}  // namespace tarnwick
