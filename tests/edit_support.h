#pragma once

// What the tests of the commands that write images share: a scratch
// directory, the tool run in-process, made-up updates, and what every
// written image must satisfy against the image it came from.

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/entry.h"
#include "flash.h"
#include "flash/ffs.h"
#include "flash/fit.h"
#include "intel/update_check.h"

namespace edit_support {

namespace fs = std::filesystem;
using synth::Bytes;
using synth::FlashOptions;
using synth::Update;

struct Ran {
    std::string out;
    int code;
};

class Dir {
public:
    Dir() {
        static int serial = 0;
        path_ = fs::temp_directory_path() / ("tarnwick-update-" + std::to_string(::getpid()) + "-" +
                                             std::to_string(serial++));
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~Dir() { fs::remove_all(path_); }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }
    Ran tarnwick(const std::vector<std::string>& args) const {
        std::vector<const char*> argv = {"tarnwick"};
        for (const std::string& a : args) {
            argv.push_back(a.c_str());
        }
        std::ostringstream out;
        const int code = static_cast<int>(tarnwick::run_tarnwick(static_cast<int>(argv.size()), argv.data(), out));
        return {out.str(), code};
    }
    std::size_t entries() const { return static_cast<std::size_t>(std::distance(fs::directory_iterator(path_), {})); }

private:
    fs::path path_;
};

// "0x1A2B", as the tool writes offsets in its lines.
inline std::string hex(std::size_t v) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%zX", v);
    return text;
}

inline Bytes read(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

inline Update update(std::uint32_t revision, std::uint32_t signature, std::uint32_t flags, std::uint32_t data_size = 0x3D0,
              std::vector<std::uint32_t> extra = {}) {
    return {.revision = revision, .date = 0x07132016, .signature = signature, .flags = flags, .data_size = data_size,
            .extra_signatures = std::move(extra)};
}

// Four updates; the source holds newer and larger ones for the first and
// the last, and an older one for the second.
inline const std::vector<Update> image_updates = {
    update(0x10, 0x306C3, 0x32),
    update(0x20, 0x906EA, 0x22, 0x7B0, {0x906EB}),
    update(0x05, 0x6F6, 0x01),
    update(0x30, 0xA0671, 0x02),
};
inline Bytes source_container() {
    Bytes s = synth::make_update(update(0x1B, 0x306C3, 0x32, 0x1000));
    synth::append(s, synth::make_update(update(0x31, 0xA0671, 0x06, 0x2000)));
    synth::append(s, synth::make_update(update(0x1F, 0x906EA, 0x22)));
    return s;
}

// The messages of the peer parser, where it is installed.
inline std::optional<std::set<std::string>> peer_messages(const std::string& path) {
    if (std::system("command -v UEFIExtract >/dev/null 2>&1") != 0) {
        return std::nullopt;
    }
    const std::string out = path + ".peer";
    std::system(("UEFIExtract '" + path + "' report >'" + out + "' 2>&1").c_str());
    std::set<std::string> messages;
    std::ifstream f(out);
    std::string line;
    while (std::getline(f, line)) {
        if (!line.empty()) {
            messages.insert(line);
        }
    }
    fs::remove(out);
    fs::remove(path + ".report.txt");
    return messages;
}

// Files other than the microcode files, pads and the FIT's file stay where
// they were, byte for byte, or moved whole, each volume's by one shift and
// only after a microcode file of it.
inline void expect_files_kept(const Bytes& before, const Bytes& after, const tarnwick::VolumeScan& now,
                              const std::vector<std::size_t>& microcode_files, std::size_t fit) {
    const tarnwick::VolumeScan old_scan = tarnwick::find_volumes(before);
    for (const tarnwick::FirmwareVolume& v : old_scan.volumes) {
        // A volume inside a file that moved went with it: that file's bytes
        // are compared whole.
        if (std::none_of(now.volumes.begin(), now.volumes.end(),
                         [&](const tarnwick::FirmwareVolume& w) { return w.offset == v.offset && w.length == v.length; })) {
            continue;
        }
        std::optional<std::size_t> shift;
        std::size_t microcode_at = 0;
        for (const tarnwick::FfsFile& f : v.files) {
            const bool microcode = std::count(microcode_files.begin(), microcode_files.end(), f.offset) != 0;
            microcode_at = microcode ? f.offset : microcode_at;
            if (microcode || f.type == tarnwick::ffs_type_pad || (fit >= f.body() && fit < f.end())) {
                continue;
            }
            auto same_at = [&](std::size_t at) {
                return at + f.size <= after.size() &&
                       std::equal(before.begin() + static_cast<std::ptrdiff_t>(f.offset),
                                  before.begin() + static_cast<std::ptrdiff_t>(f.end()),
                                  after.begin() + static_cast<std::ptrdiff_t>(at));
            };
            if (!shift && same_at(f.offset)) {
                continue;
            }
            if (!shift) {
                for (const tarnwick::FirmwareVolume& w : now.volumes) {
                    for (const tarnwick::FfsFile& g : w.files) {
                        if (w.offset == v.offset && g.name == f.name && g.offset > f.offset && same_at(g.offset)) {
                            shift = g.offset - f.offset;
                        }
                    }
                }
                EXPECT_TRUE(shift.has_value()) << "file at " << f.offset << " is neither where it was nor moved whole";
                EXPECT_NE(microcode_at, 0u) << "file at " << f.offset << " moved, after no microcode file";
            }
            EXPECT_TRUE(same_at(f.offset + shift.value_or(0))) << "file at " << f.offset;
        }
    }
}

// What every written image must satisfy, against the image it came from.
inline void expect_sound(const Bytes& before, const Bytes& after, const synth::Flash& flash) {
    ASSERT_EQ(after.size(), before.size());
    const tarnwick::FoundUpdates found = tarnwick::find_updates(after);
    ASSERT_FALSE(found.updates.empty());
    for (const tarnwick::FoundUpdate& u : found.updates) {
        EXPECT_EQ(u.check.status, tarnwick::UpdateStatus::ok) << u.offset;
    }
    const tarnwick::VolumeScan scan = tarnwick::find_volumes(after);
    for (const tarnwick::FirmwareVolume& v : scan.volumes) {
        EXPECT_TRUE(v.files_whole) << v.offset;
        for (const tarnwick::FfsFile& f : v.files) {
            EXPECT_TRUE(f.header_checksum_ok && f.file_checksum_ok) << f.offset;
        }
    }
    const tarnwick::FitCheck fit = tarnwick::check_fit(after);
    if (flash.fit != 0) {
        EXPECT_EQ(fit.pointer.outcome, tarnwick::FitPointer::Outcome::found);
        EXPECT_TRUE(fit.errors.empty()) << (fit.errors.empty() ? "" : fit.errors.front());
        for (const tarnwick::FitMicrocode& m : fit.microcode) {
            EXPECT_EQ(m.status, tarnwick::UpdateStatus::ok) << m.index;
        }
    }
    expect_files_kept(before, after, scan, flash.microcode_files, flash.fit);
}

struct Written {
    Ran ran;
    Bytes after;
};

// Runs `args` (after the command, the input and "out.bin") on `image` in
// `dir`; checks what every run must satisfy, and for a written image what
// every image must.
inline Written run_on(const Dir& dir, const std::string& command, const synth::Flash& flash, int code,
               const std::vector<std::string>& args) {
    synth::write_file(dir / "in.bin", flash.image);
    std::vector<std::string> all = {command, dir / "in.bin", dir / "out.bin"};
    all.insert(all.end(), args.begin(), args.end());
    Written w{dir.tarnwick(all), {}};
    EXPECT_EQ(w.ran.code, code) << w.ran.out;
    EXPECT_EQ(read(dir / "in.bin"), flash.image) << "the input is never touched";
    if (w.ran.code != 0) {
        EXPECT_FALSE(fs::exists(dir / "out.bin"));
        EXPECT_EQ(std::count(w.ran.out.begin(), w.ran.out.end(), '\n'), 1) << "one line";
        return w;
    }
    w.after = read(dir / "out.bin");
    expect_sound(flash.image, w.after, flash);
    if (const auto before_messages = peer_messages(dir / "in.bin")) {
        const auto after_messages = peer_messages(dir / "out.bin");
        for (const std::string& m : after_messages.value_or(std::set<std::string>{})) {
            if (m.find(':') != std::string::npos && m.find('|') == std::string::npos) {
                EXPECT_EQ(before_messages->count(m), 1u) << "the peer parser says something new: " << m;
            }
        }
    }
    // The same change again on the new image changes nothing.
    all[1] = dir / "out.bin";
    all[2] = dir / "again.bin";
    const Ran again = dir.tarnwick(all);
    EXPECT_EQ(again.code, 1) << again.out;
    EXPECT_FALSE(fs::exists(dir / "again.bin"));
    return w;
}

}  // namespace edit_support
