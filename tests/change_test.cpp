// -update, -add and -remove on the shapes that vendors' images have beyond
// the tidy layout: a pad that carries data, updates 2 KiB apart, a FIT with
// its unused entries in either place, a region cut from the flash, files of
// odd sizes, two copies and containers.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "edit_support.h"

namespace {

using namespace edit_support;

// A processor that none of image_updates serves.
const Update new_cpu = update(0x0A, 0x806EC, 0x94, 0x7D0);

std::vector<std::size_t> update_offsets(const Bytes& image) {
    std::vector<std::size_t> at;
    for (const tarnwick::FoundUpdate& u : tarnwick::find_updates(image).updates) {
        at.push_back(u.offset);
    }
    return at;
}

const tarnwick::FfsFile* file_at(const tarnwick::VolumeScan& scan, std::size_t offset) {
    for (const tarnwick::FirmwareVolume& v : scan.volumes) {
        for (const tarnwick::FfsFile& f : v.files) {
            if (f.offset == offset) {
                return &f;
            }
        }
    }
    return nullptr;
}

// The FIT's entries as (type, address low 32 bits), header left out.
std::vector<std::pair<int, std::uint32_t>> fit_entries(const Bytes& image) {
    const tarnwick::FitCheck fit = tarnwick::check_fit(image);
    std::vector<std::pair<int, std::uint32_t>> out;
    for (std::size_t i = 1; i < fit.entries.size(); ++i) {
        out.emplace_back(fit.entries[i].type, static_cast<std::uint32_t>(fit.entries[i].address));
    }
    return out;
}

FlashOptions vendor(void (*change)(FlashOptions&) = nullptr) {
    FlashOptions o;
    o.updates = image_updates;
    if (change != nullptr) {
        change(o);
    }
    return o;
}

// An image, what a command must end with, and a piece of what it prints.
struct ImageCase {
    const char* name;
    FlashOptions options;
    int code;
    const char* says;
};

// -add of an update for a processor the image has none for: what it wrote,
// having ended as `c` says and printed its piece.
struct Added {
    synth::Flash flash;
    Written w;
};
Added add_new_cpu(const Dir& dir, const ImageCase& c) {
    Added a{synth::make_flash(c.options), {}};
    synth::write_file(dir / "new.bin", synth::make_update(new_cpu));
    a.w = run_on(dir, "-add", a.flash, c.code, {dir / "new.bin"});
    EXPECT_NE(a.w.ran.out.find(c.says), std::string::npos) << a.w.ran.out;
    return a;
}

// The pad after the microcode file carries a start-up vector near its end:
// the growth keeps it where it is, byte for byte, or is refused where it
// would take it.
TEST(Change, PadThatCarriesData) {
    const ImageCase cases[] = {
        {"vector near the end", vendor([](FlashOptions& o) { o.pad_data = 0x30; }), 0, "the pad file after it gave"},
        {"checksummed pad", vendor([](FlashOptions& o) { o.pad_data = 0x30; o.pad_checksummed = true; }), 0,
         "the pad file after it gave"},
        // The growth is 0x2860 bytes: its new header ends 0x2878 into the old pad's body.
        {"vector the growth takes", vendor([](FlashOptions& o) { o.pad_data = 0x8000 - 0x2860; }), 9,
         "holds data at 0x"},
        {"vector right past the new header", vendor([](FlashOptions& o) { o.pad_data = 0x8000 - 0x2878; }), 0,
         "the pad file after it gave"},
        {"a large pad", vendor([](FlashOptions& o) { o.pad_data = 0x30; o.large = true; }), 9, "large file"},
    };
    for (const ImageCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Dir dir;
        const synth::Flash flash = synth::make_flash(c.options);
        synth::write_file(dir / "src.bin", source_container());
        const Written w = run_on(dir, "-update", flash, c.code, {dir / "src.bin"});
        EXPECT_NE(w.ran.out.find(c.says), std::string::npos) << w.ran.out;
        if (c.code == 9 && c.options.pad_data != 0 && !c.options.large) {
            EXPECT_NE(w.ran.out.find(hex(flash.pad_data).insert(0, "holds data at ")), std::string::npos)
                << "names the data's address: " << w.ran.out;
        }
        if (c.code != 0) {
            continue;
        }
        const auto data = w.after.begin() + static_cast<std::ptrdiff_t>(flash.pad_data);
        EXPECT_TRUE(std::equal(data, data + 16, flash.image.begin() + static_cast<std::ptrdiff_t>(flash.pad_data)));
        EXPECT_EQ(*data, 0xEA);
        const tarnwick::VolumeScan scan = tarnwick::find_volumes(w.after);
        const tarnwick::FfsFile* pad = nullptr;
        for (const tarnwick::FfsFile& f : scan.volumes.front().files) {
            pad = pad == nullptr && f.type == tarnwick::ffs_type_pad ? &f : pad;
        }
        ASSERT_NE(pad, nullptr);
        EXPECT_EQ(pad->attributes, c.options.pad_checksummed ? 0x40 : 0x00);
        EXPECT_TRUE(pad->file_checksum_ok);
        // Every byte of the pad from its new header's end on is the old one.
        EXPECT_TRUE(std::equal(w.after.begin() + static_cast<std::ptrdiff_t>(pad->body()),
                               w.after.begin() + static_cast<std::ptrdiff_t>(pad->end()),
                               flash.image.begin() + static_cast<std::ptrdiff_t>(pad->body())));
    }
}

// Updates keep the image's spacing, the FIT follows, and a region whose
// FIT the pointer doesn't name is refused.
TEST(Change, SpacingRegionsAndOddSizes) {
    struct Case {
        const char* name;
        FlashOptions options;
        int code;
        const char* says;
        std::size_t spacing;  // what the new image's updates keep; 0: packed
    };
    const Case cases[] = {
        {"HP: 2 KiB apart", vendor([](FlashOptions& o) { o.spacing = 0x800; o.pad = 0x10000; }), 0, "2 updated",
         0x800},
        {"4 KiB apart at most", vendor([](FlashOptions& o) { o.spacing = 0x2000; o.pad = 0x18000; }), 0, "2 updated",
         0x1000},
        {"a region without its boot block", vendor([](FlashOptions& o) { o.fit_pointer = false; }), 9,
         "not the top of the flash", 0},
        {"odd sizes, the file grown", vendor([](FlashOptions& o) { o.odd_sizes = true; }), 0, "2 updated", 0},
        {"odd sizes, within the slack",
         vendor([](FlashOptions& o) { o.odd_sizes = true; o.mpdt = FlashOptions::Mpdt::slack; }), 0, "2 updated", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Dir dir;
        const synth::Flash flash = synth::make_flash(c.options);
        // The same sizes as the image's updates: the layout is the image's.
        Bytes source = synth::make_update(update(0x1B, 0x306C3, 0x32));
        synth::append(source, synth::make_update(update(0x31, 0xA0671, 0x02, 0x7B0)));
        synth::write_file(dir / "src.bin", source);
        const Written w = run_on(dir, "-update", flash, c.code, {dir / "src.bin"});
        EXPECT_NE(w.ran.out.find(c.says), std::string::npos) << w.ran.out;
        if (c.code != 0) {
            continue;
        }
        const tarnwick::FoundUpdates found = tarnwick::find_updates(w.after);
        ASSERT_EQ(found.updates.size(), 4u);
        const std::size_t first = found.updates[0].offset;
        for (std::size_t i = 1; i < found.updates.size(); ++i) {
            const std::size_t end =
                found.updates[i - 1].offset + static_cast<std::size_t>(found.updates[i - 1].check.total_size);
            const std::size_t expected =
                c.spacing == 0 ? (end + 15) / 16 * 16 : first + (end - first + c.spacing - 1) / c.spacing * c.spacing;
            EXPECT_EQ(found.updates[i].offset, expected) << i;
        }
        const tarnwick::VolumeScan scan = tarnwick::find_volumes(w.after);
        const tarnwick::FfsFile* micro = file_at(scan, flash.microcode_files[0]);
        ASSERT_NE(micro, nullptr);
        // The next file starts at the next 8-byte boundary.
        const std::size_t next = micro->offset + (micro->size + 7) / 8 * 8;
        EXPECT_NE(file_at(scan, next), nullptr) << std::hex << next;
        if (c.options.odd_sizes && c.options.mpdt == FlashOptions::Mpdt::slack) {
            EXPECT_NE(micro->size % 8, 0u) << "the file keeps its odd size";
        }
    }
}

// -add: the new update goes after the last, into every copy, with a FIT
// entry after the last microcode entry; the rest of the table moves down
// into its unused entries, or the FIT is full.
TEST(Change, AddPlacesUpdatesAndFitEntries) {
    const ImageCase cases[] = {
        {"vendor: unused entries after the microcode", vendor([](FlashOptions& o) { o.fit_unused = 15; }), 0,
         "1 added, 0 updated, 4 unchanged"},
        {"community: unused entries at the end",
         vendor([](FlashOptions& o) { o.fit_unused = 15; o.unused_at_end = true; }), 0, "FIT: 1 entry added"},
        {"a full FIT", vendor([](FlashOptions& o) { o.fit_unused = 0; }), 9, "the FIT is full"},
        {"no microcode entry in the FIT", vendor([](FlashOptions& o) { o.fit_microcode = false; }), 0,
         "FIT: 1 entry added, 0 re-pointed"},
        {"two copies", vendor([](FlashOptions& o) { o.copy = true; }), 0, "2 added, 0 updated, 8 unchanged"},
        {"2 KiB apart", vendor([](FlashOptions& o) { o.spacing = 0x800; o.pad = 0x10000; }), 0, "1 added"},
        {"a pad with data", vendor([](FlashOptions& o) { o.pad_data = 0x30; }), 0, "1 added"},
        {"Boot Guard entries that name no manifest",
         vendor([](FlashOptions& o) { o.guard.manifests = synth::GuardOptions::Manifests::zeros; }), 0,
         "Boot Guard entries name no manifest"},
    };
    for (const ImageCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Dir dir;
        const auto [flash, w] = add_new_cpu(dir, c);
        if (c.code != 0) {
            continue;
        }
        EXPECT_NE(w.ran.out.find("| 000806EC |    94    | 0000000A | 0000000A | ADDED         |"), std::string::npos)
            << w.ran.out;
        const std::vector<std::size_t> at = update_offsets(w.after);
        ASSERT_EQ(at.size(), c.options.copy ? 10u : 5u);
        const std::size_t added = c.options.copy ? at[9] : at[4];
        if (c.options.spacing != 0) {
            EXPECT_EQ((added - at[c.options.copy ? 5 : 0]) % c.options.spacing, 0u);
        }
        const auto before = fit_entries(flash.image);
        const auto now = fit_entries(w.after);
        ASSERT_EQ(now.size(), before.size()) << "the table keeps its size";
        const std::size_t micro = c.options.fit_microcode ? 4 : 0;
        EXPECT_EQ(now[micro].first, 1);
        const std::size_t fit_copy_first = c.options.copy ? 5 : 0;  // the FIT names the main volume's copy
        EXPECT_EQ(now[micro].second, static_cast<std::uint32_t>(synth::address_of(w.after, at[fit_copy_first + 4])));
        // The other entries keep their order; with the unused ones at the
        // end they move down by one.
        std::vector<int> types_before, types_now;
        for (const auto& e : before) {
            types_before.push_back(e.first);
        }
        for (const auto& e : now) {
            types_now.push_back(e.first);
        }
        std::vector<int> expected = types_before;
        const auto unused = std::find(expected.begin() + static_cast<std::ptrdiff_t>(micro), expected.end(), 0x7F);
        ASSERT_NE(unused, expected.end());
        expected.erase(unused);
        expected.insert(expected.begin() + static_cast<std::ptrdiff_t>(micro), 1);
        EXPECT_EQ(types_now, expected);
        if (!c.options.fit_microcode) {
            // As the FIT document gives a microcode entry.
            const tarnwick::FitCheck fit = tarnwick::check_fit(w.after);
            EXPECT_EQ(fit.entries[1].size, 0u);
            EXPECT_EQ(fit.entries[1].version, 0x0100);
        }
        if (c.options.copy) {
            EXPECT_TRUE(std::equal(w.after.begin() + static_cast<std::ptrdiff_t>(at[0]),
                                   w.after.begin() + static_cast<std::ptrdiff_t>(at[4] + 0x800),
                                   w.after.begin() + static_cast<std::ptrdiff_t>(at[5])))
                << "both copies alike";
        }
    }
}

// A FIT with too few unused entries grows into the 16-byte slots of 0xFF
// right after it, but only whole slots inside the FFS file that holds it.
TEST(Change, AddGrowsTheFitOnlyInsideItsFile) {
    const ImageCase cases[] = {
        {"EDK2: the table in a pad file, 5 free slots",
         vendor([](FlashOptions& o) {
             o.edk2 = true;
             o.mpdt = FlashOptions::Mpdt::none;
             o.fit_unused = 0;
             o.fit_in_pad = true;
             o.fit_slots = 5;
         }),
         0, "FIT: 1 entry added"},
        {"AMI: its own file, checksummed, one slot",
         vendor([](FlashOptions& o) { o.fit_unused = 0; o.fit_slots = 1; }), 0, "FIT: 1 entry added"},
        {"8 bytes of 0xFF: no whole slot",
         vendor([](FlashOptions& o) { o.fit_unused = 0; o.fit_slack = 8; }), 9, "0 free 16-byte slots of 0xFF"},
        {"a slot with a byte of data", vendor([](FlashOptions& o) { o.fit_unused = 0; o.fit_slots = 3; o.fit_slot_data = true; }),
         9, "0 free 16-byte slots of 0xFF after it in its FFS file at 0x"},
        {"no FFS file holds the table",
         vendor([](FlashOptions& o) { o.fit_unused = 0; o.fit_outside = true; }), 9,
         "the FIT is full: 1 new microcode entry, 0 unused entries in the table, and no FFS file holds the table"},
    };
    for (const ImageCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Dir dir;
        const auto [flash, w] = add_new_cpu(dir, c);
        if (c.code == 0) {
            EXPECT_EQ(tarnwick::check_fit(w.after).count, tarnwick::check_fit(flash.image).count + 1);
        }
    }
}

// What -add takes from the files, in their order, and what it leaves out.
TEST(Change, AddChoosesFromTheFiles) {
    struct Case {
        const char* name;
        std::vector<Update> files;
        int code;
        std::vector<const char*> says;
    };
    const Case cases[] = {
        {"one newer, one new", {update(0x1B, 0x306C3, 0x32, 0x1000), new_cpu}, 0,
         {"1 added, 1 updated, 3 unchanged", "| 0000001B | UPDATED       |"}},
        {"the image has it", {image_updates[2]}, 1, {"Nothing to add"}},
        {"the same new one twice", {new_cpu, new_cpu}, 0,
         {"1 added", "   Left out: CPUID 000806EC, platform 94, version 0000000A: the image has it\n"}},
        {"an older one and a new one", {update(0x04, 0x6F6, 0x01), new_cpu}, 0,
         {"   Left out: CPUID 000006F6, platform 01, version 00000004: the image has a newer one\n"}},
        {"two that replace the same one", {update(0x1B, 0x306C3, 0x32), update(0x1C, 0x306C3, 0x32)}, 0,
         {"Left out: CPUID 000306C3, platform 32, version 0000001B: another update of the files replaces"}},
        {"a new platform of a known processor", {update(0x30, 0xA0671, 0x01)}, 0, {"1 added, 0 updated"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Dir dir;
        const synth::Flash flash = synth::make_flash(vendor());
        std::vector<std::string> files;
        for (std::size_t i = 0; i < c.files.size(); ++i) {
            files.push_back(dir / std::string(1, static_cast<char>('a' + i)));
            synth::write_file(files.back(), synth::make_update(c.files[i]));
        }
        const Written w = run_on(dir, "-add", flash, c.code, files);
        for (const char* piece : c.says) {
            EXPECT_NE(w.ran.out.find(piece), std::string::npos) << piece << "\n" << w.ran.out;
        }
    }
}

// -remove: the updates of the named processors go from every copy, the
// rest close up from the body's start, the FIT's entries for them are
// dropped and the run's freed end becomes unused.
TEST(Change, RemoveClosesUpTheUpdatesAndTheFit) {
    struct Case {
        const char* name;
        FlashOptions options;
        std::vector<std::string> cpuids;
        int code;
        const char* says;
    };
    const Case cases[] = {
        {"one of four", vendor(), {"906EA"}, 0, "1 removed, 3 kept"},
        {"two, written either way", vendor(), {"0x000306C3", "a0671"}, 0, "2 removed, 2 kept"},
        {"two copies", vendor([](FlashOptions& o) { o.copy = true; }), {"6F6"}, 0, "2 removed, 6 kept"},
        {"2 KiB apart", vendor([](FlashOptions& o) { o.spacing = 0x800; o.pad = 0x10000; }), {"306C3"}, 0,
         "1 removed"},
        {"none of them", vendor(), {"806EC"}, 1, "Nothing to remove: no update of the image has CPUID 000806EC"},
        {"all of them", vendor(), {"306C3", "906EA", "6F6", "A0671"}, 9, "without an update"},
        {"not hexadecimal", vendor(), {"306G0"}, 4, "-remove takes CPUIDs in hexadecimal"},
        {"too long", vendor(), {"0x1000306C3"}, 4, "-remove takes CPUIDs"},
        {"no CPUID", vendor(), {}, 4, "-remove needs a new image and CPUIDs"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Dir dir;
        const synth::Flash flash = synth::make_flash(c.options);
        const Written w = run_on(dir, "-remove", flash, c.code, c.cpuids);
        EXPECT_NE(w.ran.out.find(c.says), std::string::npos) << w.ran.out;
        if (c.code != 0) {
            continue;
        }
        const std::vector<std::size_t> before = update_offsets(flash.image);
        const std::vector<std::size_t> at = update_offsets(w.after);
        EXPECT_EQ(at.front(), before.front()) << "from the body's start";
        const tarnwick::VolumeScan old_scan = tarnwick::find_volumes(flash.image);
        const tarnwick::VolumeScan scan = tarnwick::find_volumes(w.after);
        for (const std::size_t m : flash.microcode_files) {
            ASSERT_NE(file_at(scan, m), nullptr);
            EXPECT_EQ(file_at(scan, m)->size, file_at(old_scan, m)->size) << "the file keeps its size";
            EXPECT_EQ(w.after[file_at(scan, m)->end() - 16], 'M') << "the MPDT record stays last";
        }
        const tarnwick::FitCheck fit = tarnwick::check_fit(w.after);
        const auto entries = fit_entries(w.after);
        const std::size_t kept = at.size() / (c.options.copy ? 2 : 1);
        for (std::size_t i = 0; i < 4; ++i) {
            EXPECT_EQ(entries[i].first, i < kept ? 1 : 0x7F) << i;
        }
        for (std::size_t i = kept; i < 4; ++i) {
            const std::size_t e = fit.pointer.offset + 16 * (i + 1);
            EXPECT_TRUE(std::all_of(w.after.begin() + static_cast<std::ptrdiff_t>(e),
                                    w.after.begin() + static_cast<std::ptrdiff_t>(e + 16),
                                    [](std::uint8_t b) { return b == 0xFF; }))
                << "a freed entry is 16 x 0xFF: " << i;
        }
    }
}

// Containers: -add appends, -remove closes up and the file gets shorter.
TEST(Change, Containers) {
    const Dir dir;
    Bytes container;
    for (const Update& u : image_updates) {
        synth::append(container, synth::make_update(u));
    }
    synth::write_file(dir / "c.bin", container);
    synth::write_file(dir / "new.bin", synth::make_update(new_cpu));
    const Ran added = dir.tarnwick({"-add", dir / "c.bin", dir / "c-add.bin", dir / "new.bin"});
    ASSERT_EQ(added.code, 0) << added.out;
    Bytes expected = container;
    synth::append(expected, synth::make_update(new_cpu));
    EXPECT_EQ(read(dir / "c-add.bin"), expected);

    const Ran removed = dir.tarnwick({"-remove", dir / "c.bin", dir / "c-remove.bin", "906ea", "A0671"});
    ASSERT_EQ(removed.code, 0) << removed.out;
    expected = synth::make_update(image_updates[0]);
    synth::append(expected, synth::make_update(image_updates[2]));
    EXPECT_EQ(read(dir / "c-remove.bin"), expected);
    EXPECT_EQ(dir.tarnwick({"-remove", dir / "c-remove.bin", dir / "c3.bin", "906EA"}).code, 1);
    EXPECT_EQ(dir.tarnwick({"-add", dir / "c-add.bin", dir / "c4.bin", dir / "new.bin"}).code, 1);
    EXPECT_EQ(dir.tarnwick({"-add", dir / "c.bin", dir / "c5.bin", dir / "nowhere.bin"}).code, 6);
    synth::write_file(dir / "junk.bin", Bytes(100, 0x5A));
    const Ran junk = dir.tarnwick({"-add", dir / "c.bin", dir / "c5.bin", dir / "junk.bin"});
    EXPECT_EQ(junk.code, 1);
    EXPECT_EQ(junk.out, "   Nothing to add: the files hold no intact update; nothing was written.\n");
    EXPECT_EQ(dir.tarnwick({"-add", dir / "c.bin", dir / "c5.bin"}).code, 4);
    EXPECT_FALSE(fs::exists(dir / "c5.bin"));
}

}  // namespace
