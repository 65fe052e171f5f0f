#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>

// The few things the loader needs from the operating system, each with a
// portable fallback. Nothing else in the tool is platform-specific.
namespace tarnwick::platform {

// Opens `path` for binary reading without locking other readers or writers
// out. Never waits for a writer, as opening a FIFO otherwise would.
std::FILE* open_for_reading(const char* path);

// The file's length in bytes, from a 64-bit seek to its end; nothing when
// the stream can't seek (a pipe, a FIFO). Leaves the stream at its start.
std::optional<std::uint64_t> measure(std::FILE* file);

struct BufferFree {
    void operator()(std::uint8_t* p) const;
};
using Buffer = std::unique_ptr<std::uint8_t, BufferFree>;

// A buffer for a whole image, or null when it can't be had. Large buffers
// are aligned and hinted towards huge pages where the system has them:
// first-touch page faults otherwise cost more than searching the image.
Buffer allocate_image_buffer(std::size_t size);

}  // namespace tarnwick::platform
