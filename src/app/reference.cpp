#include "app/reference.h"

#include <filesystem>
#include <cstdint>
#include <cstdio>
#include <system_error>

#include "app/load_image.h"
#include "app/platform.h"
#include "commands/file.h"

namespace tarnwick {

std::optional<std::vector<AmdKnown>> read_amd_reference(const std::string& directory) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::directory_iterator it(directory, ec);
    if (ec) {
        return std::nullopt;
    }
    std::vector<AmdKnown> known;
    platform::Buffer buffer;
    std::size_t capacity = 0;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        std::error_code kind;
        if (!it->is_regular_file(kind)) {
            continue;
        }
        // Read, not mapped: a file that shrinks under a mapping would fault on
        // this thread, outside the image's own fault handling, and for these
        // small files reading costs about what mapping does.
        const File file(platform::open_for_reading(it->path().string().c_str()));
        const std::optional<std::uint64_t> length = file ? platform::measure(file.get()) : std::nullopt;
        if (!length || *length > SIZE_MAX / 2) {
            continue;
        }
        const auto size = static_cast<std::size_t>(*length);
        // Grown, never cleared: each file overwrites what it reads.
        if (size > capacity) {
            if (!platform::grow_buffer(buffer, size)) {
                continue;
            }
            capacity = size;
        }
        if (size != 0 && std::fread(buffer.get(), 1, size, file.get()) != size) {
            continue;
        }
        add_known_amd(Image(buffer.get(), size), known);
    }
    if (ec) {
        return std::nullopt;
    }
    return known;
}

}  // namespace tarnwick
