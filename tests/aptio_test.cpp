// -update, -add and -remove on the Aptio V shape: a microcode file that
// must grow while files follow it in its volume, a FIT with no unused entry
// but 0xFF slots after it, two microcode files with different updates, and
// each kind of file that must not move.

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "aptio.h"
#include "edit_support.h"

namespace {

using namespace edit_support;
using synth::AptioOptions;
using Blocker = AptioOptions::Blocker;

synth::Flash as_flash(const synth::Aptio& a) {
    synth::Flash f;
    f.image = a.image;
    f.microcode_files = {a.fit_microcode, a.main_microcode};
    f.fit = a.fit;
    return f;
}

// Newer updates for every processor of both files: the main file's grow by
// 0x400 each (0x1400 in all), the FIT volume's by 0x2800 each (0xF000), as
// on the laptops that showed the shape.
Bytes newer_for(const AptioOptions& o) {
    Bytes s;
    for (const auto& [updates, growth] : {std::pair{&o.main_updates, 0x400u}, std::pair{&o.fit_updates, 0x2800u}}) {
        for (synth::Update u : *updates) {
            u.revision += 0x10;
            u.data_size += growth;
            synth::append(s, synth::make_update(u));
        }
    }
    return s;
}

// What the tool said it moved, from its lines: (volume, shift).
std::vector<std::pair<std::size_t, std::size_t>> moves_said(const std::string& out) {
    std::vector<std::pair<std::size_t, std::size_t>> moves;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        unsigned long volume = 0, files = 0, shift = 0;
        if (std::sscanf(line.c_str(), "   Volume at 0x%lX: %lu files after the microcode file moved by 0x%lX", &volume,
                        &files, &shift) == 3) {
            moves.emplace_back(volume, shift);
        }
    }
    return moves;
}

AptioOptions with(void (*change)(AptioOptions&)) {
    AptioOptions o;
    change(o);
    return o;
}

struct Case {
    const char* name;
    AptioOptions options;
    int code;
    std::string says;
    std::size_t alignment = 8;  // each shift is a multiple of it
};

// -update on the shape as the laptops have it, and with each alignment.
TEST(Aptio, UpdateMovesTheFilesAfterEachMicrocodeFile) {
    const Case cases[] = {
        {"as the laptops have it", AptioOptions{}, 0, "11 updated, 0 unchanged", 0x1000},
        {"a pad of 0xFF right after the file, taken", with([](AptioOptions& o) { o.pad_first = true; }), 0,
         "and it took the pad file after it (0x400 bytes)", 0x1000},
        {"no aligned file: the least shift", with([](AptioOptions& o) { o.aligned_driver = false; }), 0,
         "11 updated", 8},
        {"a file aligned to 128 KiB", with([](AptioOptions& o) { o.aligned_128k = true; }), 0, "moved by 0x20000",
         0x20000},
        {"an uncompressed volume asking for 64 KiB", with([](AptioOptions& o) { o.nested_alignment = 0x10000; }), 0,
         "moved by 0x10000", 0x10000},
        {"a PEIM inside a GUID-defined section moves with it",
         with([](AptioOptions& o) { o.blocker = Blocker::compressed_peim; }), 0, "11 updated", 0x1000},
        {"too little free space", with([](AptioOptions& o) { o.main_free = 0x800; }), 9,
         "more bytes for the file at 0x21868; moving the 5 files after it by 0x2000 needs 0x2000 free bytes, the "
         "volume at 0x20000 has 0x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Dir dir;
        const synth::Aptio a = synth::make_aptio(c.options);
        synth::write_file(dir / "src.bin", newer_for(c.options));
        const Written w = run_on(dir, "-update", as_flash(a), c.code, {dir / "src.bin"});
        EXPECT_NE(w.ran.out.find(c.says), std::string::npos) << w.ran.out;
        if (c.code != 0) {
            continue;
        }
        const auto moves = moves_said(w.ran.out);
        ASSERT_EQ(moves.size(), 2u) << "both volumes rebuilt: " << w.ran.out;
        // The FIT volume's files ask for no alignment.
        EXPECT_EQ(moves[0].second % c.alignment, 0u) << "moved by " << hex(moves[0].second);
        EXPECT_EQ(moves[0].first, a.main_volume);
        EXPECT_EQ(moves[1].first, a.fit_volume);
        // The FIT volume's pad of 0xD28 bytes was taken, and the RAW file moved.
        EXPECT_NE(w.ran.out.find("and it took the pad file after it (0xD28 bytes)"), std::string::npos) << w.ran.out;
    }
}

// Each file that must not move stops the change, named with why.
TEST(Aptio, FilesThatMustNotMove) {
    struct Stop {
        Blocker blocker;
        const char* reason;
    };
    const Stop stops[] = {
        {Blocker::sec_core, "type 03) would have to move and is the SEC core"},
        {Blocker::pei_core, "type 04) would have to move and is the PEI core"},
        {Blocker::peim, "type 06) would have to move and is a PEIM"},
        {Blocker::combined, "type 08) would have to move and is a combined PEIM and driver"},
        {Blocker::volume_top, "(1BA0062E-C779-4582-8566-336AE8F78F09, type 01) would have to move and is the volume top file"},
        {Blocker::fixed, "would have to move and is marked fixed"},
        {Blocker::pad_data, "type F0) would have to move and is a pad whose body holds data at 0x"},
        {Blocker::microcode, "would have to move and is a microcode file"},
        {Blocker::fit_named, "would have to move and is named by the FIT: FIT entry 13 (type 07, BIOS startup module)"},
        {Blocker::nested_peim, "would have to move and is holding the volume at 0x"},
        {Blocker::unwalkable, "the files of the volume at 0x20000 can't be walked to its end"},
    };
    for (const Stop& s : stops) {
        SCOPED_TRACE(s.reason);
        AptioOptions o;
        o.blocker = s.blocker;
        const Dir dir;
        const synth::Aptio a = synth::make_aptio(o);
        synth::write_file(dir / "src.bin", newer_for(o));
        const Written w = run_on(dir, "-update", as_flash(a), 9, {dir / "src.bin"});
        EXPECT_EQ(w.ran.out.rfind("   Refused: no room for the file at 0x21868: ", 0), 0u) << w.ran.out;
        EXPECT_NE(w.ran.out.find(s.reason), std::string::npos) << w.ran.out;
        if (s.blocker == Blocker::nested_peim) {
            EXPECT_NE(w.ran.out.find(", type 06) is a PEIM, which runs where it lies"), std::string::npos) << w.ran.out;
        }
    }
}

// -add on a FIT with no unused entry: the table grows into the 0xFF slots
// after it, inside its file, or is refused with what it has.
TEST(Aptio, AddGrowsTheFitIntoTheSlotsAfterIt) {
    struct Growth {
        const char* name;
        AptioOptions options;
        std::size_t added;  // updates for new processors
        int code;
        std::string says;
    };
    const Growth cases[] = {
        {"nine slots, one new entry", AptioOptions{}, 1, 0, "FIT: 1 entry added"},
        {"nine slots, nine new entries", AptioOptions{}, 9, 0, "FIT: 9 entries added"},
        {"a checksummed file around the table", with([](AptioOptions& o) { o.fit_checksummed = true; }), 2, 0,
         "FIT: 2 entries added"},
        {"an unused entry first, then a slot", with([](AptioOptions& o) { o.fit_unused = 1; }), 2, 0,
         "FIT: 2 entries added"},
        {"nine slots, ten new entries", AptioOptions{}, 10, 9,
         "the FIT is full: 10 new microcode entries, 0 unused entries in the table, 9 free 16-byte slots of 0xFF "
         "after it in its FFS file at 0x90048"},
        {"no slot", with([](AptioOptions& o) { o.fit_slots = 0; }), 1, 9,
         "the FIT is full: 1 new microcode entry, 0 unused entries in the table, 0 free 16-byte slots"},
    };
    for (const Growth& c : cases) {
        SCOPED_TRACE(c.name);
        const Dir dir;
        const synth::Aptio a = synth::make_aptio(c.options);
        Bytes added;
        for (std::uint32_t i = 0; i < c.added; ++i) {
            synth::append(added, synth::make_update(update(0x10 + i, 0x50650 + i, 0xB7)));
        }
        synth::write_file(dir / "new.bin", added);
        const Written w = run_on(dir, "-add", as_flash(a), c.code, {dir / "new.bin"});
        EXPECT_NE(w.ran.out.find(c.says), std::string::npos) << w.ran.out;
        if (c.code != 0) {
            continue;
        }
        const tarnwick::FitCheck before = tarnwick::check_fit(a.image);
        const tarnwick::FitCheck after = tarnwick::check_fit(w.after);
        EXPECT_EQ(after.pointer.offset, before.pointer.offset) << "the table stays where the pointer names it";
        const std::size_t grown = c.added - c.options.fit_unused;
        ASSERT_EQ(after.count, before.count + grown);
        // The new entries follow the last microcode entry; the later ones
        // keep their order after them.
        ASSERT_EQ(after.microcode.size(), before.microcode.size() + c.added);
        for (std::size_t i = 0; i < c.added; ++i) {
            const tarnwick::FitMicrocode& m = after.microcode[before.microcode.size() + i];
            EXPECT_EQ(m.index, before.microcode.back().index + 1 + i);
            EXPECT_EQ(m.header.processor_signature, 0x50650u + i);
            // Into the file the FIT's first microcode entry points into.
            EXPECT_GT(*m.offset, a.fit_microcode);
            EXPECT_LT(*m.offset, a.fit_volume + 0x40000);
        }
        std::vector<int> types_before, types_after;
        for (std::size_t i = before.microcode.back().index + 1 + c.options.fit_unused; i < before.entries.size(); ++i) {
            types_before.push_back(before.entries[i].type);
        }
        for (std::size_t i = after.microcode.back().index + 1; i < after.entries.size(); ++i) {
            types_after.push_back(after.entries[i].type);
        }
        EXPECT_EQ(types_after, types_before);
        // Each microcode file got every added update.
        EXPECT_EQ(tarnwick::find_updates(w.after).updates.size(), 11 + 2 * c.added);
    }
}

// Two microcode files with different updates: each keeps its own, and the
// FIT names every one where it now lies.
TEST(Aptio, TwoMicrocodeFilesKeepTheirOwnUpdates) {
    const AptioOptions o;
    const synth::Aptio a = synth::make_aptio(o);
    {
        SCOPED_TRACE("-update replaces each file's own");
        const Dir dir;
        synth::write_file(dir / "src.bin", newer_for(o));
        const Written w = run_on(dir, "-update", as_flash(a), 0, {dir / "src.bin"});
        EXPECT_NE(w.ran.out.find("   Microcode file at 0x00021868 (volume at 0x00020000)"), std::string::npos);
        EXPECT_NE(w.ran.out.find("   Microcode file at 0x000901F0 (volume at 0x00090000)"), std::string::npos);
        const tarnwick::FitCheck fit = tarnwick::check_fit(w.after);
        ASSERT_EQ(fit.microcode.size(), 11u);
        for (std::size_t i = 0; i < fit.microcode.size(); ++i) {
            const synth::Update& u = i < 6 ? o.fit_updates[i] : o.main_updates[i - 6];
            EXPECT_EQ(fit.microcode[i].header.processor_signature, u.signature) << "the FIT's order kept";
            EXPECT_EQ(fit.microcode[i].header.update_revision, u.revision + 0x10);
        }
    }
    {
        SCOPED_TRACE("-remove takes from the file that has it");
        const Dir dir;
        const Written w = run_on(dir, "-remove", as_flash(a), 0, {"906EA", "A0660"});
        EXPECT_NE(w.ran.out.find("   2 removed, 9 kept"), std::string::npos) << w.ran.out;
        EXPECT_EQ(tarnwick::check_fit(w.after).microcode.size(), 9u);
    }
}

}  // namespace
