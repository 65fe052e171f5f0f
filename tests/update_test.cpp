// -update on made-up flash images: each layout it must rewrite, and each it
// must refuse, with what the new image must then satisfy when read back.

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "edit_support.h"

namespace {

using namespace edit_support;

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
        {"Boot Guard entries that name no manifest",
         with([](FlashOptions& o) { o.guard.manifests = synth::GuardOptions::Manifests::other_bytes; }), 0,
         "Boot Guard entries name no manifest"},
        // The files after the pad would have to move, and the FIT names one.
        {"no room in the pad", with([](FlashOptions& o) { o.pad = 0x800; }), 9,
         "would have to move and is named by the FIT: FIT entry 7 (type 02, startup ACM)"},
        {"no pad and no free space", with([](FlashOptions& o) { o.pad = 0; }), 9,
         "(5A3E1C9B-7D2F-4B6A-9C8E-1F2E3D4C5B6A, type 01) would have to move"},
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
