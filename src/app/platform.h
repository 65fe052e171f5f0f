#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// The few things the loader needs from the operating system, each with a
// portable fallback. Nothing else in the tool is platform-specific.
namespace tarnwick::platform {

// Opens `path` for binary reading without locking other readers or writers
// out. A directory is no file to read: null. A FIFO waits for its writer,
// as any reader of one does.
std::FILE* open_for_reading(const char* path);

// The file's length in bytes, from a 64-bit seek to its end; nothing when
// the stream can't seek (a pipe, a FIFO). Leaves the stream at its start.
std::optional<std::uint64_t> measure(std::FILE* file);

// Reads `size` bytes at `offset` of a file that seeks; false when they
// can't all be read.
bool read_at(std::FILE* file, std::uint64_t offset, std::uint8_t* to, std::size_t size);

struct BufferFree {
    void operator()(std::uint8_t* p) const;
};
using Buffer = std::unique_ptr<std::uint8_t, BufferFree>;

// A buffer for a whole image, or null when it can't be had. Large buffers
// are aligned and hinted towards huge pages where the system has them:
// first-touch page faults otherwise cost more than searching the image.
Buffer allocate_image_buffer(std::size_t size);

// Grows (or first allocates) a buffer to `size` bytes, keeping its
// contents; false, with the buffer as it was, when the memory can't be had.
bool grow_buffer(Buffer& buffer, std::size_t size);

// A read-only private mapping of a regular file's first bytes, unmapped when
// it goes out of scope.
class Mapping {
public:
    Mapping() = default;
    Mapping(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    Mapping(Mapping&& other) noexcept : data_(other.data_), size_(other.size_) { other.data_ = nullptr; }
    Mapping& operator=(Mapping&& other) noexcept;
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    ~Mapping();

    explicit operator bool() const { return data_ != nullptr; }
    const std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

// Maps the first `size` (> 0) bytes of `file`. Nothing when the file is not
// a regular one, when the system won't map it, or on systems where reading
// is the better way; the caller then reads the file instead.
Mapping map_file(std::FILE* file, std::size_t size);

// A file that shrinks while it is mapped faults on the pages past its new
// end. From this call on, such a fault inside `mapping` ends the process as
// a short read does: "Can't read file." on standard output and status 3.
// Faults anywhere else keep their default outcome.
void end_run_if_mapping_shrinks(const Mapping& mapping);

// Creates `path` for binary writing only if nothing of that name exists, in
// one step, so that no existing file is ever opened for writing.
std::FILE* create_new_file(const std::string& path);

// Flushes a file that was written to the device and closes it; false when
// any of its bytes could not be written.
bool close_written(std::FILE* file);

// Makes the names made in `directory` durable.
bool sync_directory(const std::string& directory);

// Moves `from` to `to` unless something named `to` exists, which is then
// kept as it is: the check and the move are one step wherever the system
// allows (a hard link, where the file system has them).
bool rename_no_replace(const std::string& from, const std::string& to);

// Writes `bytes` to standard output with as few system calls as the system
// allows: one, unless it takes less than all. Nothing may be waiting in
// another buffer for standard output. False when a byte could not be
// written.
bool write_standard_output(std::string_view bytes);

// The system's words for the last failed call.
std::string last_error();

}  // namespace tarnwick::platform
