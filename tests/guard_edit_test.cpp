// -update, -add and -remove on images whose FIT names Boot Guard manifests:
// entries that name none change nothing; real manifests let a change go on
// only where it writes no byte the boot block's hash covers; manifests that
// don't read stop every change. Also what -fitcheck and -json say of them,
// and that the peer parser reads the same IBB segments.

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "bootguard/boot_guard.h"
#include "edit_support.h"

namespace {

using namespace edit_support;
using synth::Cover;
using synth::GuardOptions;
using M = GuardOptions::Manifests;

FlashOptions guarded(M manifests, std::vector<synth::Covered> segments = {{Cover::startup_block}},
                     void (*change)(FlashOptions&) = nullptr) {
    FlashOptions o;
    o.updates = image_updates;
    o.guard.manifests = manifests;
    o.guard.segments = std::move(segments);
    if (change != nullptr) {
        change(o);
    }
    return o;
}

// Updates the copy in the second volume holds, none of which the source replaces.
const std::vector<Update> copy_updates = {update(0x07, 0x50654, 0xB7), update(0x02, 0x406E3, 0xC0)};

struct Case {
    const char* name;
    FlashOptions options;
    const char* command;
    std::vector<std::string> args;  // "SRC" is the source container, "NEW" an update for a new processor
    int code;
    std::string says;
};

TEST(GuardEdit, ChangesGoOnOnlyOutsideWhatBootGuardVerifies) {
    const synth::Flash plain = synth::make_flash(guarded(M::real));
    const std::size_t microcode = plain.microcode_files.front();
    const std::size_t pad = plain.files.front();
    const std::string none_named = "Boot Guard entries name no manifest";
    const std::string unchanged = "Boot Guard: manifests present; no byte that Boot Guard verifies changed";
    const std::string in_microcode = "the change writes to the microcode file at " + hex(microcode) + " (first at 0x";
    const Case cases[] = {
        {"entries naming zeros", guarded(M::zeros), "-update", {"SRC"}, 0, none_named},
        {"entries naming 0xFF", guarded(M::erased), "-remove", {"6F6"}, 0, none_named},
        {"entries naming another file", guarded(M::other_bytes), "-add", {"NEW"}, 0, none_named},
        {"the start-up block hashed", guarded(M::real), "-update", {"SRC"}, 0, unchanged + " (1 protected range)"},
        {"the start-up block, second layouts, two sets",
         guarded(M::real, {{Cover::startup_block}, {Cover::microcode_file, false}, {Cover::startup_block}},
                 [](FlashOptions& o) {
                     o.guard.km_version = 0x21;
                     o.guard.bpm_version = 0x25;
                     o.guard.two_sets = true;
                     o.guard.unknown_element = true;
                 }),
         "-add", {"NEW"}, 0, unchanged + " (2 protected ranges)"},
        {"an excluded segment over the microcode file",
         guarded(M::real, {{Cover::startup_block}, {Cover::microcode_file, false}}), "-update", {"SRC"}, 0, unchanged},
        {"the microcode file hashed", guarded(M::real, {{Cover::microcode_file}}), "-update", {"SRC"}, 9,
         in_microcode + "1000" /* its header's checksum */ "58), inside the IBB segment 0xFFF00048-"},
        {"the microcode file hashed, -remove", guarded(M::real, {{Cover::microcode_file}},
                                                       [](FlashOptions& o) { o.guard.bpm_version = 0x22; }),
         "-remove", {"A0671"}, 9, in_microcode},
        {"the microcode file in the second set", guarded(M::real, {{Cover::startup_block}, {Cover::microcode_file}},
                                                        [](FlashOptions& o) {
                                                            o.guard.bpm_version = 0x25;
                                                            o.guard.two_sets = true;
                                                        }),
         "-add", {"NEW"}, 9, in_microcode},
        {"the FIT hashed", guarded(M::real, {{Cover::fit}}), "-update", {"SRC"}, 9,
         "the change writes to the FIT at " + hex(plain.fit)},
        {"the start of the pad the growth takes", guarded(M::real, {{Cover::pad_start}}), "-update", {"SRC"}, 9,
         "the change writes to the pad file at " + hex(pad)},
        {"AMI's range over the microcode file",
         guarded(M::real, {{Cover::startup_block}}, [](FlashOptions& o) { o.guard.vendor = {Cover::microcode_file}; }),
         "-update", {"SRC"}, 9, "that AMI's protected-range file lists"},
        {"AMI's range, no manifest", guarded(M::zeros, {{Cover::startup_block}},
                                             [](FlashOptions& o) { o.guard.vendor = {Cover::microcode_file}; }),
         "-update", {"SRC"}, 0, none_named},
        {"the other microcode file hashed, this one changed",
         guarded(M::real, {{Cover::copy_microcode_file}},
                 [](FlashOptions& o) {
                     o.copy = true;
                     o.copy_updates = copy_updates;
                 }),
         "-update", {"SRC"}, 0, unchanged},
        {"the other microcode file hashed and changed",
         guarded(M::real, {{Cover::copy_microcode_file}},
                 [](FlashOptions& o) {
                     o.copy = true;
                     o.copy_updates = copy_updates;
                 }),
         "-remove", {"50654"}, 9, "the change writes to the microcode file at 0x80048"},
        {"a manifest cut by its FIT size", guarded(M::real, {{Cover::startup_block}},
                                                    [](FlashOptions& o) { o.guard.bpm_cut = 4; }),
         "-update", {"SRC"}, 9, "the FIT's Boot Guard manifests don't read"},
        {"a manifest cut, and nothing to do", guarded(M::real, {{Cover::startup_block}},
                                                       [](FlashOptions& o) { o.guard.bpm_cut = 4; }),
         "-remove", {"12345"}, 9, "runs past the"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Dir dir;
        const synth::Flash flash = synth::make_flash(c.options);
        synth::write_file(dir / "src.bin", source_container());
        synth::write_file(dir / "new.bin", synth::make_update(update(0x0A, 0x806EC, 0x94, 0x7D0)));
        std::vector<std::string> args;
        for (const std::string& a : c.args) {
            args.push_back(a == "SRC" ? dir / "src.bin" : a == "NEW" ? dir / "new.bin" : a);
        }
        const Written w = run_on(dir, c.command, flash, c.code, args);
        EXPECT_NE(w.ran.out.find(c.says), std::string::npos) << w.ran.out;
        if (c.code == 9) {
            EXPECT_EQ(w.ran.out.rfind("   Refused: ", 0), 0u) << w.ran.out;
        }
        if (c.code == 0 && c.options.guard.manifests == M::real) {
            // What Boot Guard verifies is byte for byte as it was.
            const tarnwick::BootGuard before = tarnwick::read_boot_guard(flash.image, tarnwick::check_fit(flash.image));
            for (const tarnwick::ProtectedRange& r : tarnwick::protected_ranges(before, flash.image.size())) {
                EXPECT_TRUE(std::equal(flash.image.begin() + static_cast<std::ptrdiff_t>(r.begin),
                                       flash.image.begin() + static_cast<std::ptrdiff_t>(r.end),
                                       w.after.begin() + static_cast<std::ptrdiff_t>(r.begin)));
            }
        }
    }
}

// A manifest broken in the image: -fitcheck calls it an error (7), every
// change is refused (9).
TEST(GuardEdit, BrokenManifestsInTheImage) {
    struct Broken {
        const char* name;
        std::uint8_t bpm_version;
        void (*breaks)(Bytes&, const synth::Flash&);
        const char* says;
    };
    const Broken cases[] = {
        {"an unknown key algorithm", 0x10,
         [](Bytes& b, const synth::Flash& f) { b[f.key_manifest + 12 + 4 + 32 + 1] = 0x02; }, "key algorithm 0x2"},
        {"a segment count past the end", 0x10,
         [](Bytes& b, const synth::Flash& f) { b[f.boot_policy + 16 + 0x84] = 0xF0; }, "runs past the"},
        {"a signature at the wrong offset", 0x22,
         [](Bytes& b, const synth::Flash& f) { b[f.boot_policy + 0x0C] ^= 0x04; }, "where its header puts it"},
        {"an element running past the end", 0x22,
         [](Bytes& b, const synth::Flash& f) { b[f.boot_policy + 20 + 11] = 0x7F; }, "runs past the"},
    };
    for (const Broken& c : cases) {
        SCOPED_TRACE(c.name);
        FlashOptions o = guarded(M::real);
        o.guard.bpm_version = c.bpm_version;
        synth::Flash flash = synth::make_flash(o);
        c.breaks(flash.image, flash);  // the manifests' file isn't checksummed
        const Dir dir;
        synth::write_file(dir / "src.bin", source_container());
        synth::write_file(dir / "img.bin", flash.image);
        const Ran check = dir.tarnwick({"-fitcheck", dir / "img.bin"});
        EXPECT_EQ(check.code, 7) << check.out;
        EXPECT_NE(check.out.find("   ERROR: Boot Guard: the "), std::string::npos) << check.out;
        EXPECT_NE(check.out.find(c.says), std::string::npos) << check.out;
        EXPECT_NE(check.out.find("  Boot Guard: malformed\n"), std::string::npos) << check.out;
        const Written w = run_on(dir, "-update", flash, 9, {dir / "src.bin"});
        EXPECT_NE(w.ran.out.find(c.says), std::string::npos) << w.ran.out;
    }
}

// -fitcheck's lines for each state, and -json's object.
TEST(GuardEdit, FitcheckAndJsonSayWhatTheyRead) {
    const Dir dir;
    FlashOptions o = guarded(M::real, {{Cover::startup_block}, {Cover::fit, false}});
    o.guard.vendor = {Cover::microcode_file};
    const synth::Flash flash = synth::make_flash(o);
    synth::write_file(dir / "bg.bin", flash.image);
    const Ran check = dir.tarnwick({"-fitcheck", dir / "bg.bin"});
    EXPECT_EQ(check.code, 0) << check.out;
    // The table: 4 microcode entries, 2 unused, the ACM and the start-up module, then these.
    char km_line[128], bpm_line[128];
    std::snprintf(km_line, sizeof km_line, "  09  key manifest          offset 0x%08zX  version 0x10  present\n",
                  flash.key_manifest);
    std::snprintf(bpm_line, sizeof bpm_line, "  10  boot policy manifest  offset 0x%08zX  version 0x10  present\n",
                  flash.boot_policy);
    std::size_t microcode_size = 0;
    for (const tarnwick::FirmwareVolume& v : tarnwick::find_volumes(flash.image).volumes) {
        for (const tarnwick::FfsFile& f : v.files) {
            microcode_size = f.offset == flash.microcode_files.front() ? f.size : microcode_size;
        }
    }
    EXPECT_NE(check.out.find(std::string("  Boot Guard: present\n") + km_line + bpm_line +
                             "  IBB 0xFFFFF000  size 0x00001000\n   FIT valid: 0 errors, 0 warnings\n"),
              std::string::npos)
        << "the excluded segment has no line: " << check.out;

    const Ran json = dir.tarnwick({"-json", dir / "bg.bin"});
    char expected[512];
    std::snprintf(expected, sizeof expected,
                  "\"boot_guard\":{\"state\":\"present\",\"key_manifest\":{\"offset\":%zu,\"version\":16,\"svn\":2,"
                  "\"kmid\":1},\"boot_policy\":{\"offset\":%zu,\"version\":16,\"svn\":3,\"acm_svn\":2},\"ibb\":[{"
                  "\"base\":4294963200,\"size\":4096,\"hashed\":true},{\"base\":%llu,\"size\":%zu,\"hashed\":false}],"
                  "\"vendor\":[{\"offset\":%zu,\"base\":%llu,\"size\":%zu}]}}\n",
                  flash.key_manifest, flash.boot_policy,
                  static_cast<unsigned long long>(synth::address_of(flash.image, flash.fit)),
                  tarnwick::check_fit(flash.image).entries.size() * 16, flash.protected_ranges,
                  static_cast<unsigned long long>(synth::address_of(flash.image, flash.microcode_files.front())),
                  microcode_size);
    EXPECT_NE(json.out.find(expected), std::string::npos) << json.out;

    // Hollow: the state and each entry, no IBB line, status 0.
    synth::write_file(dir / "hollow.bin", synth::make_flash(guarded(M::zeros)).image);
    const Ran hollow = dir.tarnwick({"-fitcheck", dir / "hollow.bin"});
    EXPECT_EQ(hollow.code, 0);
    EXPECT_NE(hollow.out.find("  Boot Guard: absent (the entries name no manifest)\n"), std::string::npos) << hollow.out;
    EXPECT_EQ(hollow.out.find("  IBB "), std::string::npos);
    const Ran hollow_json = dir.tarnwick({"-json", dir / "hollow.bin"});
    EXPECT_NE(hollow_json.out.find("\"boot_guard\":{\"state\":\"absent\",\"key_manifest\":null,\"boot_policy\":null,"
                                   "\"ibb\":[],\"vendor\":[]}}"),
              std::string::npos)
        << hollow_json.out;

    // Malformed: the reason in -json, as a FIT error too.
    FlashOptions cut = guarded(M::real);
    cut.guard.bpm_cut = 1;
    synth::write_file(dir / "cut.bin", synth::make_flash(cut).image);
    const Ran cut_json = dir.tarnwick({"-json", dir / "cut.bin"});
    EXPECT_NE(cut_json.out.find("\"errors\":[\"Boot Guard: the boot policy manifest of FIT entry 10, at offset 0x"),
              std::string::npos)
        << cut_json.out;
    EXPECT_NE(cut_json.out.find("\"state\":\"malformed\""), std::string::npos);
    EXPECT_NE(cut_json.out.find("\"why\":\"the boot policy manifest of FIT entry 10"), std::string::npos);

    // No entries: null, and -fitcheck as it always was.
    synth::write_file(dir / "none.bin", synth::make_flash(guarded(M::none)).image);
    EXPECT_NE(dir.tarnwick({"-json", dir / "none.bin"}).out.find("\"boot_guard\":null}"), std::string::npos);
    EXPECT_EQ(dir.tarnwick({"-fitcheck", dir / "none.bin"}).out.find("Boot Guard"), std::string::npos);
}

// The peer parser, where it is installed, reads the same IBB segments from
// every layout the tools write.
TEST(GuardEdit, PeerReadsTheSameSegments) {
    if (std::system("command -v UEFIExtract >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "UEFIExtract (Debian's uefitool-cli) is not installed";
    }
    const std::vector<synth::Covered> segments = {
        {Cover::startup_block}, {Cover::fit, false}, {Cover::microcode_file}, {Cover::pad_start}};
    struct Layout {
        std::uint8_t km, bpm;
        bool two_sets;
    };
    for (const Layout l : {Layout{0x10, 0x10, false}, Layout{0x21, 0x22, false}, Layout{0x21, 0x25, true}}) {
        SCOPED_TRACE(l.bpm);
        FlashOptions o = guarded(M::real, segments);
        o.guard.km_version = l.km;
        o.guard.bpm_version = l.bpm;
        o.guard.two_sets = l.two_sets;
        o.guard.unknown_element = l.two_sets;
        const synth::Flash flash = synth::make_flash(o);
        const Dir dir;
        synth::write_file(dir / "bg.bin", flash.image);
        const std::string report = dir / "report.txt";
        std::system(("cd '" + (dir / "") + "' && UEFIExtract bg.bin report >'" + report + "' 2>&1").c_str());
        std::ifstream in(report);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<std::tuple<unsigned, unsigned, unsigned>> peer, ours;
        std::istringstream lines(text);
        std::string line;
        while (std::getline(lines, line)) {
            unsigned flags = 0, base = 0, size = 0;
            if (std::sscanf(line.c_str(), "Flags: %4Xh, Address: %8Xh, Size: %8Xh", &flags, &base, &size) == 3) {
                peer.emplace_back(flags & 1, base, size);
            }
        }
        for (const tarnwick::IbbSegment& s :
             tarnwick::read_boot_guard(flash.image, tarnwick::check_fit(flash.image)).ibb()) {
            ours.emplace_back(s.hashed ? 0u : 1u, s.base, s.size);
        }
        EXPECT_EQ(ours.size(), segments.size());
        EXPECT_EQ(peer, ours) << text.substr(0, 2000);
    }
}

}  // namespace
