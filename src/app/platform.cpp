#include "app/platform.h"

#include <cstdlib>

#if defined(_WIN32)
#include <share.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif
#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tarnwick::platform {

std::FILE* open_for_reading(const char* path) {
#if defined(_WIN32)
    return _fsopen(path, "rb", _SH_DENYNO);
#else
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) {
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    std::FILE* file = ::fdopen(fd, "rb");
    if (file == nullptr) {
        ::close(fd);
    }
    return file;
#endif
}

namespace {
// 64-bit seek and tell: long is 32 bits on Windows.
#if defined(_WIN32)
int seek(std::FILE* file, int whence) { return _fseeki64(file, 0, whence); }
long long tell(std::FILE* file) { return _ftelli64(file); }
#else
int seek(std::FILE* file, int whence) { return ::fseeko(file, 0, whence); }
off_t tell(std::FILE* file) { return ::ftello(file); }
#endif
}  // namespace

std::optional<std::uint64_t> measure(std::FILE* file) {
    if (seek(file, SEEK_END) != 0) {
        return std::nullopt;
    }
    const auto end = tell(file);
    if (end < 0 || seek(file, SEEK_SET) != 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(end);
}

void BufferFree::operator()(std::uint8_t* p) const { std::free(p); }

Buffer allocate_image_buffer(std::size_t size) {
    // malloc(0) may return null; an empty image still needs a valid buffer.
    const std::size_t bytes = size == 0 ? 1 : size;
#if defined(__linux__)
    constexpr std::size_t huge_page = std::size_t{2} << 20;
    if (bytes >= huge_page && bytes <= SIZE_MAX - huge_page) {
        void* p = nullptr;
        if (::posix_memalign(&p, huge_page, bytes) != 0) {
            return nullptr;
        }
        // Only a hint, and only over whole huge pages of this buffer; the
        // buffer works the same if the kernel ignores it.
        ::madvise(p, bytes / huge_page * huge_page, MADV_HUGEPAGE);
        return Buffer(static_cast<std::uint8_t*>(p));
    }
#endif
    return Buffer(static_cast<std::uint8_t*>(std::malloc(bytes)));
}

}  // namespace tarnwick::platform
