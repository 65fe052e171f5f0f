// -update on made-up flash images: each layout it must rewrite, and each it
// must refuse, with what the new image must then satisfy when read back.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/entry.h"
#include "flash.h"
#include "flash/ffs.h"
#include "flash/fit.h"
#include "intel/update_check.h"

namespace {

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

Bytes read(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

Update update(std::uint32_t revision, std::uint32_t signature, std::uint32_t flags, std::uint32_t data_size = 0x3D0,
              std::vector<std::uint32_t> extra = {}) {
    return {.revision = revision, .date = 0x07132016, .signature = signature, .flags = flags, .data_size = data_size,
            .extra_signatures = std::move(extra)};
}

// Four updates; the source holds newer and larger ones for the first and
// the last, and an older one for the second.
const std::vector<Update> image_updates = {
    update(0x10, 0x306C3, 0x32),
    update(0x20, 0x906EA, 0x22, 0x7B0, {0x906EB}),
    update(0x05, 0x6F6, 0x01),
    update(0x30, 0xA0671, 0x02),
};
Bytes source_container() {
    Bytes s = synth::make_update(update(0x1B, 0x306C3, 0x32, 0x1000));
    synth::append(s, synth::make_update(update(0x31, 0xA0671, 0x06, 0x2000)));
    synth::append(s, synth::make_update(update(0x1F, 0x906EA, 0x22)));
    return s;
}

// The messages of the peer parser, where it is installed.
std::optional<std::set<std::string>> peer_messages(const std::string& path) {
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

// What every written image must satisfy, against the image it came from.
void expect_sound(const Bytes& before, const Bytes& after, const synth::Flash& flash) {
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
    // Files other than the microcode files and pads stay where they were,
    // byte for byte.
    const tarnwick::VolumeScan old_scan = tarnwick::find_volumes(before);
    for (const tarnwick::FirmwareVolume& v : old_scan.volumes) {
        for (const tarnwick::FfsFile& f : v.files) {
            const bool microcode = std::count(flash.microcode_files.begin(), flash.microcode_files.end(), f.offset) != 0;
            if (microcode || f.type == tarnwick::ffs_type_pad) {
                continue;
            }
            const bool holds_fit = flash.fit >= f.body() && flash.fit < f.end();
            if (!holds_fit) {
                EXPECT_TRUE(std::equal(before.begin() + static_cast<std::ptrdiff_t>(f.offset),
                                       before.begin() + static_cast<std::ptrdiff_t>(f.end()),
                                       after.begin() + static_cast<std::ptrdiff_t>(f.offset)))
                    << "file at " << f.offset;
            }
        }
    }
}

struct Case {
    const char* name;
    FlashOptions options;
    int code;
    const char* says;  // a piece of the output
};

TEST(Update, ImagesRewrittenOrRefused) {
    auto with = [](auto change) {
        FlashOptions o;
        o.updates = image_updates;
        change(o);
        return o;
    };
    const Case cases[] = {
        {"AMI: MPDT right after the updates, a pad after the file", with([](FlashOptions&) {}), 0,
         "the pad file after it gave 0x2860 bytes"},
        {"AMI: MPDT after 0xFF slack", with([](FlashOptions& o) { o.mpdt = FlashOptions::Mpdt::slack; }), 0,
         "the pad file after it gave"},
        {"FIT without its checksum bit", with([](FlashOptions& o) { o.fit_checksum = false; }), 0,
         "FIT: 3 entries re-pointed"},
        {"EDK2: a volume of its own with free space",
         with([](FlashOptions& o) { o.edk2 = true; o.mpdt = FlashOptions::Mpdt::none; }), 0,
         "its volume's free space gave"},
        {"a backup copy in a second volume", with([](FlashOptions& o) { o.copy = true; }), 0,
         "Microcode file at 0x00080048"},
        {"a checksummed microcode file", with([](FlashOptions& o) { o.checksummed = true; }), 0, "2 updated"},
        {"Boot Guard", with([](FlashOptions& o) { o.boot_guard = true; }), 9, "Boot Guard"},
        {"no room in the pad", with([](FlashOptions& o) { o.pad = 0x800; }), 9, "bytes missing"},
        {"no pad and no free space", with([](FlashOptions& o) { o.pad = 0; }), 9, "no pad file or free space"},
        {"a legacy image", with([](FlashOptions& o) { o.legacy = true; }), 9, "no UEFI microcode file"},
        {"a FIT entry inside an update", with([](FlashOptions& o) { o.fit_to_data = true; }), 9,
         "tarnwick -fitcheck shows why"},
        {"a large file", with([](FlashOptions& o) { o.large = true; }), 9, "large file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Dir dir;
        const synth::Flash flash = synth::make_flash(c.options);
        synth::write_file(dir / "in.bin", flash.image);
        synth::write_file(dir / "src.bin", source_container());
        const Ran r = dir.tarnwick({"-update", dir / "in.bin", dir / "out.bin", dir / "src.bin"});
        EXPECT_EQ(r.code, c.code) << r.out;
        EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
        EXPECT_EQ(read(dir / "in.bin"), flash.image) << "the input is never touched";
        if (c.code != 0) {
            EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << "one line";
            EXPECT_EQ(dir.entries(), 2u) << "nothing written";
            continue;
        }
        const Bytes after = read(dir / "out.bin");
        expect_sound(flash.image, after, flash);
        EXPECT_EQ(dir.entries(), 3u) << "no temporary left";
        // The replacements are in, each where the table says.
        const tarnwick::FoundUpdates found = tarnwick::find_updates(after);
        std::set<std::uint32_t> revisions;
        for (const tarnwick::FoundUpdate& u : found.updates) {
            revisions.insert(u.header.update_revision);
        }
        EXPECT_EQ(revisions, (std::set<std::uint32_t>{0x1B, 0x20, 0x05, 0x31}));
        if (c.options.copy) {
            const std::size_t a = flash.microcode_files[0], b = flash.microcode_files[1];
            const tarnwick::VolumeScan scan = tarnwick::find_volumes(after);
            std::size_t size_a = 0, size_b = 0;
            for (const auto& v : scan.volumes) {
                for (const auto& f : v.files) {
                    size_a = f.offset == a ? f.size : size_a;
                    size_b = f.offset == b ? f.size : size_b;
                }
            }
            EXPECT_EQ(size_a, size_b);
            EXPECT_TRUE(std::equal(after.begin() + static_cast<std::ptrdiff_t>(a + 24),
                                   after.begin() + static_cast<std::ptrdiff_t>(a + size_a),
                                   after.begin() + static_cast<std::ptrdiff_t>(b + 24)))
                << "both copies alike";
        }
        if (c.options.mpdt != FlashOptions::Mpdt::none) {
            EXPECT_NE(r.out.find("-> 0x"), std::string::npos);
            const tarnwick::VolumeScan scan = tarnwick::find_volumes(after);
            for (const auto& v : scan.volumes) {
                for (const auto& f : v.files) {
                    if (f.offset == flash.microcode_files[0]) {
                        EXPECT_EQ(after[f.end() - 16], 'M') << "the MPDT record ends the file";
                    }
                }
            }
        }
        // The peer's parser finds nothing new to say.
        if (const auto before_messages = peer_messages(dir / "in.bin")) {
            const auto after_messages = peer_messages(dir / "out.bin");
            for (const std::string& m : *after_messages) {
                if (m.find(':') != std::string::npos && m.find('|') == std::string::npos) {
                    EXPECT_EQ(before_messages->count(m), 1u) << m;
                }
            }
        }
        // Again with the same source: nothing newer.
        const Ran again = dir.tarnwick({"-update", dir / "out.bin", dir / "again.bin", dir / "src.bin"});
        EXPECT_EQ(again.code, 1) << again.out;
        EXPECT_FALSE(fs::exists(dir / "again.bin"));
    }
}

// An AMI-style file sized exactly grows by what the new updates need, and
// the pad after it gives exactly that, keeping its end; with enough slack
// before the MPDT record, the file keeps its size.
TEST(Update, SizesOfTheFileAndItsPad) {
    for (const bool slack : {false, true}) {
        SCOPED_TRACE(slack ? "slack" : "exact");
        FlashOptions o;
        o.updates = image_updates;
        o.mpdt = slack ? FlashOptions::Mpdt::slack : FlashOptions::Mpdt::direct;
        const synth::Flash flash = synth::make_flash(o);
        const Dir dir;
        synth::write_file(dir / "in.bin", flash.image);
        // Only the first update grows, by 0x200 bytes: within the slack.
        Bytes source = synth::make_update(update(0x1B, 0x306C3, 0x32, 0x5D0));
        synth::write_file(dir / "src.bin", source);
        const Ran r = dir.tarnwick({"-update", dir / "in.bin", dir / "out.bin", dir / "src.bin"});
        ASSERT_EQ(r.code, 0) << r.out;
        const tarnwick::VolumeScan before = tarnwick::find_volumes(flash.image);
        const tarnwick::VolumeScan after = tarnwick::find_volumes(read(dir / "out.bin"));
        const auto& old_files = before.volumes.front().files;
        const auto& new_files = after.volumes.front().files;
        ASSERT_EQ(old_files.size(), new_files.size());
        EXPECT_EQ(new_files[0].offset, old_files[0].offset);
        EXPECT_EQ(new_files[0].size, old_files[0].size + (slack ? 0 : 0x200));
        EXPECT_EQ(new_files[1].type, tarnwick::ffs_type_pad);
        EXPECT_EQ(new_files[1].end(), old_files[1].end()) << "the pad's end stays";
        EXPECT_EQ(new_files[1].size, old_files[1].size - (slack ? 0 : 0x200));
        EXPECT_NE(r.out.find(slack ? "its size kept" : "gave 0x200 bytes"), std::string::npos) << r.out;
    }
}

// A container is rewritten whole; what isn't understood is refused, and
// nothing is ever written over.
TEST(Update, ContainersAndOutcomes) {
    const Dir dir;
    Bytes container;
    for (const Update& u : image_updates) {
        synth::append(container, synth::make_update(u));
    }
    Bytes padded = container;
    padded.resize(padded.size() + 0x800, 0xFF);
    synth::write_file(dir / "c.bin", padded);
    synth::write_file(dir / "src.bin", source_container());
    const Ran r = dir.tarnwick({"-update", dir / "c.bin", dir / "c2.bin", dir / "src.bin"});
    ASSERT_EQ(r.code, 0) << r.out;
    Bytes expected = synth::make_update(update(0x1B, 0x306C3, 0x32, 0x1000));
    synth::append(expected, synth::make_update(image_updates[1]));
    synth::append(expected, synth::make_update(image_updates[2]));
    synth::append(expected, synth::make_update(update(0x31, 0xA0671, 0x06, 0x2000)));
    EXPECT_EQ(read(dir / "c2.bin"), expected);
    EXPECT_EQ(dir.tarnwick({"-update", dir / "c2.bin", dir / "c3.bin", dir / "src.bin"}).code, 1);

    struct Outcome {
        const char* name;
        Bytes file;
        std::vector<std::string> args;  // after -update and the file
        int code;
        const char* says;
    };
    Bytes damaged = container;
    damaged[0x500] ^= 1;
    Bytes junk = container;
    junk.resize(junk.size() + 64, 0x00);
    Bytes cbfs(0x10000, 0xFF);
    std::copy(container.begin(), container.end(), cbfs.begin() + 0x1000);
    const char larchive[] = "LARCHIVE";
    std::copy(larchive, larchive + 8, cbfs.begin() + 0xF00);
    FlashOptions flash_damaged;
    flash_damaged.updates = image_updates;
    Bytes flash = synth::make_flash(flash_damaged).image;
    flash[0x100060 + 0x200] ^= 1;
    FlashOptions flash_junk;
    flash_junk.updates = image_updates;
    flash_junk.mpdt = FlashOptions::Mpdt::slack;
    Bytes junked = synth::make_flash(flash_junk).image;
    junked[0x101470] = 0x00;  // in the slack before the MPDT record
    const std::vector<Outcome> outcomes = {
        {"a damaged update of a container", damaged, {"new.bin", "src.bin"}, 7, "Damaged: "},
        {"a damaged update of a microcode file", flash, {"new.bin", "src.bin"}, 7, "Damaged: "},
        {"data after the updates of a microcode file", junked, {"new.bin", "src.bin"}, 9, "data that is no update"},
        {"a container with data after it is none", junk, {"new.bin", "src.bin"}, 9, "no UEFI microcode file"},
        {"coreboot", cbfs, {"new.bin", "src.bin"}, 9, "cbfstool"},
        {"no update", Bytes(4096, 0xFF), {"new.bin", "src.bin"}, 1, "No update"},
        {"no new image named", container, {}, 4, "-update needs a new image"},
        {"a new image that exists", container, {"src.bin", "src.bin"}, 6, "exists already"},
        {"a source that doesn't exist", container, {"new.bin", "nowhere"}, 6, "Can't open"},
        {"nothing newer in the source", container, {"new.bin", "c.bin"}, 1, "Nothing newer"},
    };
    for (const Outcome& o : outcomes) {
        SCOPED_TRACE(o.name);
        synth::write_file(dir / "f.bin", o.file);
        std::vector<std::string> args = {"-update", dir / "f.bin"};
        for (const std::string& a : o.args) {
            args.push_back(dir / a);
        }
        const Bytes source_before = read(dir / "src.bin");
        const Ran run = dir.tarnwick(args);
        EXPECT_EQ(run.code, o.code) << run.out;
        EXPECT_NE(run.out.find(o.says), std::string::npos) << run.out;
        EXPECT_FALSE(fs::exists(dir / "new.bin"));
        EXPECT_EQ(read(dir / "src.bin"), source_before);
    }
}

}  // namespace
