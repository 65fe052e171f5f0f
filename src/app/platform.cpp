#include "app/platform.h"

#include <atomic>
#include <utility>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <cstring>

#include "commands/status.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif
#if !defined(_WIN32)
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#endif

namespace tarnwick::platform {

std::FILE* open_for_reading(const char* path) {
#if defined(_WIN32)
    std::FILE* file = _fsopen(path, "rb", _SH_DENYNO);
    struct _stat64 st {};
    if (file != nullptr && _fstat64(_fileno(file), &st) == 0 && (st.st_mode & _S_IFDIR) != 0) {
        std::fclose(file);
        return nullptr;
    }
    return file;
#else
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        errno = EISDIR;
        return nullptr;
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

bool read_at(std::FILE* file, std::uint64_t offset, std::uint8_t* to, std::size_t size) {
    if (size == 0) {
        return true;
    }
#if defined(_WIN32)
    return _fseeki64(file, static_cast<long long>(offset), SEEK_SET) == 0 && std::fread(to, 1, size, file) == size;
#else
    // One call where a seek and a read would take two.
    const int fd = ::fileno(file);
    std::size_t done = 0;
    while (done < size) {
        if (offset + done > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
            return false;
        }
        const ssize_t n = ::pread(fd, to + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
#endif
}

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

bool grow_buffer(Buffer& buffer, std::size_t size) {
    void* grown = std::realloc(buffer.get(), size == 0 ? 1 : size);
    if (grown == nullptr) {
        return false;
    }
    [[maybe_unused]] std::uint8_t* moved = buffer.release();
    buffer.reset(static_cast<std::uint8_t*>(grown));
    return true;
}

Mapping& Mapping::operator=(Mapping&& other) noexcept {
    if (this != &other) {
        Mapping gone(std::move(*this));
        data_ = other.data_;
        size_ = other.size_;
        other.data_ = nullptr;
    }
    return *this;
}

#if defined(_WIN32)
// Reading is kept on Windows: a mapping there holds the file against
// truncation, and the read path is what the tests under Wine measure.
Mapping::~Mapping() = default;
Mapping map_file(std::FILE*, std::size_t) { return {}; }
void end_run_if_mapping_shrinks(const Mapping&) {}
#else
Mapping::~Mapping() {
    if (data_ != nullptr) {
        ::munmap(const_cast<std::uint8_t*>(data_), size_);
    }
}

Mapping map_file(std::FILE* file, std::size_t size) {
    const int fd = ::fileno(file);
    struct stat st {};
    if (size == 0 || fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return {};
    }
    int flags = MAP_PRIVATE;
#if defined(MAP_POPULATE)
    // Every command reads the image through to its end (the search does),
    // and one populating call costs far less than a fault per few pages.
    flags |= MAP_POPULATE;
#endif
    void* p = ::mmap(nullptr, size, PROT_READ, flags, fd, 0);
    if (p == MAP_FAILED) {
        return {};
    }
    return Mapping(static_cast<const std::uint8_t*>(p), size);
}

namespace {

std::atomic<std::uintptr_t> mapped_begin{0};
std::atomic<std::uintptr_t> mapped_end{0};

// Only async-signal-safe calls: write, _exit, sigaction, raise.
void on_bus_error(int signal_number, siginfo_t* info, void*) {
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    if (address >= mapped_begin.load() && address < mapped_end.load()) {
        static constexpr char message[] = "Can't read file.\n";
        [[maybe_unused]] const auto written = ::write(STDOUT_FILENO, message, sizeof message - 1);
        ::_exit(static_cast<int>(ExitStatus::short_read));
    }
    // Not a page of the image: let the default action have it.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    ::sigemptyset(&fallback.sa_mask);
    ::sigaction(signal_number, &fallback, nullptr);
    ::raise(signal_number);
}

}  // namespace

void end_run_if_mapping_shrinks(const Mapping& mapping) {
    const auto begin = reinterpret_cast<std::uintptr_t>(mapping.data());
    mapped_begin.store(begin);
    mapped_end.store(begin + mapping.size());
    struct sigaction action {};
    action.sa_sigaction = on_bus_error;
    action.sa_flags = SA_SIGINFO;
    ::sigemptyset(&action.sa_mask);
    ::sigaction(SIGBUS, &action, nullptr);
}
#endif

std::string last_error() { return std::strerror(errno); }

bool write_standard_output(std::string_view bytes) {
    while (!bytes.empty()) {
#if defined(_WIN32)
        // Text mode, as the stream's own output: a line end becomes CR LF.
        const unsigned chunk = bytes.size() > 0x40000000u ? 0x40000000u : static_cast<unsigned>(bytes.size());
        const int n = _write(1, bytes.data(), chunk);
#else
        const ssize_t n = ::write(1, bytes.data(), bytes.size());
#endif
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

#if defined(_WIN32)
std::FILE* create_new_file(const std::string& path) {
    int fd = -1;
    if (_sopen_s(&fd, path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _SH_DENYNO, _S_IREAD | _S_IWRITE) != 0) {
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, "wb");
    if (file == nullptr) {
        _close(fd);
    }
    return file;
}

bool close_written(std::FILE* file) {
    const bool flushed = std::fflush(file) == 0 && _commit(_fileno(file)) == 0;
    return std::fclose(file) == 0 && flushed;
}

bool sync_directory(const std::string&) {
    // MoveFileEx with MOVEFILE_WRITE_THROUGH has made the names durable.
    return true;
}

bool rename_no_replace(const std::string& from, const std::string& to) {
    // Without MOVEFILE_REPLACE_EXISTING the move fails if `to` exists.
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH) != 0) {
        return true;
    }
    errno = GetLastError() == ERROR_ALREADY_EXISTS || GetLastError() == ERROR_FILE_EXISTS ? EEXIST : EACCES;
    return false;
}
#else
std::FILE* create_new_file(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        return nullptr;
    }
    std::FILE* file = ::fdopen(fd, "wb");
    if (file == nullptr) {
        ::close(fd);
    }
    return file;
}

bool close_written(std::FILE* file) {
    const bool flushed = std::fflush(file) == 0 && ::fsync(::fileno(file)) == 0;
    const int saved = errno;
    const bool closed = std::fclose(file) == 0;
    if (!flushed) {
        errno = saved;
    }
    return closed && flushed;
}

bool sync_directory(const std::string& directory) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool synced = ::fsync(fd) == 0;
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return synced;
}

bool rename_no_replace(const std::string& from, const std::string& to) {
    // link() fails when `to` exists, so nothing can be replaced, even by a
    // file that appears after any check.
    if (::link(from.c_str(), to.c_str()) == 0) {
        ::unlink(from.c_str());
        return true;
    }
    if (errno == EEXIST) {
        return false;
    }
    // File systems without hard links (FAT on a USB stick): check, then move.
    struct stat st {};
    if (::lstat(to.c_str(), &st) == 0) {
        errno = EEXIST;
        return false;
    }
    return std::rename(from.c_str(), to.c_str()) == 0;
}
#endif

}  // namespace tarnwick::platform
