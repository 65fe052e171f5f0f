// The loader on this system: which files it maps, and what a file that
// shrinks under its mapping does to the run. Each shrinking case runs in a
// child process, since its outcome is the end of the process.

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "app/load_image.h"
#include "synth.h"

namespace {

namespace fs = std::filesystem;

fs::path scratch(const std::string& name) {
    return fs::temp_directory_path() / ("tarnwick-load-" + std::to_string(::getpid()) + "-" + name);
}

std::string read_all(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

TEST(Load, MapsRegularFilesAndReadsTheRest) {
    const fs::path file = scratch("regular");
    synth::write_file(file.string(), synth::Bytes(10000, 0xA5));
    const fs::path empty = scratch("empty");
    synth::write_file(empty.string(), synth::Bytes{});
    struct Case {
        std::string path;
        bool mapped;
        tarnwick::ExitStatus status;
        std::size_t size;
    };
    const Case cases[] = {
        {file.string(), true, tarnwick::ExitStatus::done, 10000},
        // No mapping of nothing.
        {empty.string(), false, tarnwick::ExitStatus::done, 0},
        {"/dev/null", false, tarnwick::ExitStatus::done, 0},
        {"/proc/self/status", false, tarnwick::ExitStatus::done, 0},
        {"/sys/devices/system/cpu/online", false, tarnwick::ExitStatus::short_read, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        if (!fs::exists(c.path)) {
            continue;
        }
        std::ostringstream out;
        tarnwick::LoadedImage image;
        EXPECT_EQ(tarnwick::load_image(c.path.c_str(), image, out), c.status);
        if (c.status == tarnwick::ExitStatus::done) {
            EXPECT_EQ(static_cast<bool>(image.mapping), c.mapped);
            EXPECT_EQ(image.view().size(), c.size);
        }
    }
    std::ostringstream out;
    tarnwick::LoadedImage image;
    ASSERT_EQ(tarnwick::load_image(file.string().c_str(), image, out), tarnwick::ExitStatus::done);
    EXPECT_EQ(std::count(image.view().begin(), image.view().end(), 0xA5), 10000);
    fs::remove(file);
    fs::remove(empty);
}

struct ChildEnd {
    int status;
    std::string out;
};

// Runs `body` in a child whose standard output goes to a file, and returns
// how the child ended and what it printed.
template <class Body>
ChildEnd in_child(const std::string& name, Body body) {
    const fs::path out = scratch(name + ".out");
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (std::freopen(out.string().c_str(), "w", stdout) == nullptr) {
            ::_exit(100);
        }
        body();
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ChildEnd end{status, read_all(out)};
    fs::remove(out);
    return end;
}

std::uint32_t touch_every_page(tarnwick::Image image) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < image.size(); i += 512) {
        sum += *static_cast<const volatile std::uint8_t*>(image.data() + i);
    }
    return sum;
}

TEST(Load, FileThatShrinksUnderTheMappingIsAShortRead) {
#if defined(TARNWICK_FAULT_ADDRESS_GARBLED)
    GTEST_SKIP() << "the emulator garbles the fault address";
#endif
    const fs::path file = scratch("shrinks");
    synth::write_file(file.string(), synth::Bytes(1 << 20, 0x11));
    const ChildEnd end = in_child("shrinks", [&] {
        std::ostringstream ignored;
        tarnwick::LoadedImage image;
        if (tarnwick::load_image(file.string().c_str(), image, ignored) != tarnwick::ExitStatus::done ||
            !image.mapping) {
            ::_exit(101);
        }
        fs::resize_file(file, 100);
        touch_every_page(image.view());
        ::_exit(102);  // the fault never came
    });
    fs::remove(file);
    ASSERT_TRUE(WIFEXITED(end.status)) << end.status;
    EXPECT_EQ(WEXITSTATUS(end.status), 3);
    EXPECT_EQ(end.out, "Can't read file.\n");
}

TEST(Load, BusErrorElsewhereKeepsItsDefaultOutcome) {
    const fs::path file = scratch("image");
    synth::write_file(file.string(), synth::Bytes(4096, 0x11));
    const fs::path other = scratch("other");
    synth::write_file(other.string(), synth::Bytes(1 << 16, 0x22));
    const ChildEnd end = in_child("elsewhere", [&] {
        std::ostringstream ignored;
        tarnwick::LoadedImage image;
        if (tarnwick::load_image(file.string().c_str(), image, ignored) != tarnwick::ExitStatus::done) {
            ::_exit(101);
        }
        // Some other mapping of the process, not the image's.
        std::FILE* f = std::fopen(other.string().c_str(), "rb");
        void* p = ::mmap(nullptr, 1 << 16, PROT_READ, MAP_PRIVATE, ::fileno(f), 0);
        if (p == MAP_FAILED) {
            ::_exit(103);
        }
        fs::resize_file(other, 0);
        touch_every_page(tarnwick::Image(static_cast<const std::uint8_t*>(p), 1 << 16));
        ::_exit(102);
    });
    fs::remove(file);
    fs::remove(other);
    ASSERT_TRUE(WIFSIGNALED(end.status)) << end.status;
    EXPECT_EQ(WTERMSIG(end.status), SIGBUS);
    EXPECT_EQ(end.out, "");
}

}  // namespace
