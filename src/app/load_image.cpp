#include "app/load_image.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <optional>
#include <ostream>
#include <utility>

#include "commands/file.h"

namespace tarnwick {

ExitStatus load_image(const char* path, LoadedImage& image, std::ostream& out) {
    const File file(platform::open_for_reading(path));
    if (!file) {
        out << "File can't be opened.\n";
        return ExitStatus::cannot_open;
    }

    // A length that can't be measured, or that the process can't address,
    // is an image that can't be held. 1 TiB is far past any flash image;
    // longer lengths come from directories and devices, and some allocators
    // abort on them rather than fail.
    auto no_memory = [&] {
        out << "Can't allocate memory for file contents.\n";
        return ExitStatus::no_memory;
    };
    const std::optional<std::uint64_t> length = platform::measure(file.get());
    constexpr std::uint64_t largest =
        std::min<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max(), std::uint64_t{1} << 40);
    if (!length || *length > largest) {
        return no_memory();
    }
    const auto size = static_cast<std::size_t>(*length);

    // Mapping leaves the file's pages where the system already holds them
    // instead of zeroing fresh memory and copying them over, which is most
    // of what reading costs. Files that can't be mapped are read.
    if (size != 0) {
        if (platform::Mapping mapping = platform::map_file(file.get(), size)) {
            platform::end_run_if_mapping_shrinks(mapping);
            image.mapping = std::move(mapping);
            image.size = size;
            return ExitStatus::done;
        }
    }

    platform::Buffer buffer = platform::allocate_image_buffer(size);
    if (!buffer) {
        return no_memory();
    }
    if (size != 0 && std::fread(buffer.get(), 1, size, file.get()) != size) {
        out << "Can't read file.\n";
        return ExitStatus::short_read;
    }
    image.buffer = std::move(buffer);
    image.size = size;
    return ExitStatus::done;
}

}  // namespace tarnwick
