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

namespace {

// A length that the process can't address is an image that can't be held.
// 1 TiB is far past any flash image; longer lengths come from devices and
// endless streams, and some allocators abort on them rather than fail.
constexpr std::uint64_t largest_image =
    std::min<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max(), std::uint64_t{1} << 40);

ExitStatus say_no_memory(std::ostream& out) {
    out << "Can't allocate memory for file contents.\n";
    return ExitStatus::no_memory;
}

// Input that can't be measured (a pipe, a FIFO, a socket) is read to its end
// into a buffer that doubles as it fills.
ExitStatus read_to_end(std::FILE* file, LoadedImage& image, std::ostream& out) {
    platform::Buffer buffer;
    std::size_t size = 0;
    std::size_t capacity = 0;
    for (;;) {
        if (size == capacity) {
            if (capacity > largest_image) {
                return say_no_memory(out);
            }
            // One byte past the ceiling tells an input of exactly 1 TiB from
            // a longer one.
            const std::size_t next = capacity == 0 ? std::size_t{1} << 20
                                     : capacity > largest_image / 2 ? static_cast<std::size_t>(largest_image) + 1
                                                                    : capacity * 2;
            if (!platform::grow_buffer(buffer, next)) {
                return say_no_memory(out);
            }
            capacity = next;
        }
        const std::size_t n = std::fread(buffer.get() + size, 1, capacity - size, file);
        size += n;
        if (n == 0 || size < capacity) {
            if (std::ferror(file)) {
                out << "Can't read file.\n";
                return ExitStatus::short_read;
            }
            if (std::feof(file)) {
                break;
            }
        }
    }
    if (size > largest_image) {
        return say_no_memory(out);
    }
    image.buffer = std::move(buffer);
    image.size = size;
    return ExitStatus::done;
}

}  // namespace

ExitStatus load_image(const char* path, LoadedImage& image, std::ostream& out) {
    return load_input(path, image, out, true, "File can't be opened.\n");
}

ExitStatus load_input(const char* path, LoadedImage& image, std::ostream& out, bool map,
                      std::string_view cannot_open) {
    const File file(platform::open_for_reading(path));
    if (!file) {
        out << cannot_open;
        return ExitStatus::cannot_open;
    }

    const std::optional<std::uint64_t> length = platform::measure(file.get());
    if (!length) {
        return read_to_end(file.get(), image, out);
    }
    if (*length > largest_image) {
        return say_no_memory(out);
    }
    const auto size = static_cast<std::size_t>(*length);

    // Mapping leaves the file's pages where the system already holds them
    // instead of zeroing fresh memory and copying them over, which is most
    // of what reading costs. Files that can't be mapped are read.
    if (size != 0 && map) {
        if (platform::Mapping mapping = platform::map_file(file.get(), size)) {
            platform::end_run_if_mapping_shrinks(mapping);
            image.mapping = std::move(mapping);
            image.size = size;
            return ExitStatus::done;
        }
    }

    platform::Buffer buffer = platform::allocate_image_buffer(size);
    if (!buffer) {
        return say_no_memory(out);
    }
    if (size != 0 && std::fread(buffer.get(), 1, size, file.get()) != size) {
        out << "Can't read file.\n";
        return ExitStatus::short_read;
    }
    image.buffer = std::move(buffer);
    image.size = size;
    return ExitStatus::done;
}

std::optional<std::vector<std::uint8_t>> read_whole_file(const std::string& path) {
    const File file(platform::open_for_reading(path.c_str()));
    const std::optional<std::uint64_t> length = file ? platform::measure(file.get()) : std::nullopt;
    if (!length || *length > largest_image) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(*length));
    if (!bytes.empty() && std::fread(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) {
        return std::nullopt;
    }
    return bytes;
}

}  // namespace tarnwick
