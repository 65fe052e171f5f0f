// Intel's release notes as Intel writes them, typos included, and the
// judgement of each update against them.

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "advisories/release_notes.h"
#include "commands/commands.h"
#include "intel/update_check.h"
#include "synth.h"

namespace {

using tarnwick::ReleaseNotes;

const std::string table_head =
    "| Processor      | Stepping | F-M-S/PI    | Old Ver  | New Ver  | Products\n"
    "|:---------------|:---------|:------------|:---------|:---------|:---------\n";

std::string row(const std::string& fms, const std::string& old_ver, const std::string& new_ver) {
    return "| XXX            | A0       | " + fms + " | " + old_ver + " | " + new_ver + " | Core\n";
}

// Notes shaped as Intel's are: newest first, each release its purpose, then
// its tables.
std::string notes_text() {
    return "# Release Notes\n"
           "Text before any release: INTEL-SA-99999 does not count.\n"
           + row("06-3f-02/6f", "00000001", "00000099") +
           "## [microcode-20230512](https://example.org/microcode-20230512)\n"
           "### Purpose\n"
           "- Security updates for [INTEL-SA-NA]\n"
           "### Updated Platforms\n" + table_head + row("06-3f-02/6f", "00000049", "0000004a") +
           "# Release Notes\n"
           "## [microcode-2022027](https://example.org/microcode-20220207)\n"
           "### Purpose\n"
           "- Security updates for [INTEL-SA-00528](https://example.org/intel-sa-00528.html)\n"
           "- Security updates for [INTEL-SA-INTEL-SA-00532](https://example.org/intel-sa-00532.html)\n"
           "- Again INTEL-SA-00528, which counts once.\n"
           "### New Platforms\n"
           "None\n"
           "### Updated Platforms0\n" + table_head + row("06-3f-02/6f", "00000046", "00000049") +
           row("06-8e-09/c0", "000000ea", "000000ec") +
           "### Removed Platforms\n" + table_head + row("06-9e-0a/22", "000000ea", "00000000") +
           "### Change History\n"
           "INTEL-SA-00777 after the tables does not count.\n"
           "## [microcode-20190514a](https://example.org/microcode-20190514a)\n"
           "### Purpose\n"
           "- Update for functional issues.\n"
           "### Updated Platforms\n" + table_head + row("06-3e-04/ed", "0000042d", "0000042e") +
           "## [microcode-20190514](https://example.org/microcode-20190514)\n"
           "### Purpose\n"
           "- Security updates for [INTEL-SA-00233](https://example.org/)\n"
           "### Updated Platforms\n" + table_head + row("06-3e-04/ed", "0000042d", "0000042f") +
           row("06-3f-02/6f", "0000003d", "00000041") +
           "### New Disclosures Updated in Prior Releases\n" + table_head + row("06-6c-01/10", "010002b0", "N/A    ") +
           "## [microcode-20190312](https://example.org/microcode-20190312)\n"
           "### Purpose\n"
           "- Security updates for [INTEL-SA-00088](https://example.org/)\n"
           "### New Platforms\n" + table_head + row("06-3f-02/6f", "        ", "0000003e") +
           row("06-55-04/b7", "N/A     ", "N/A     ") + row("06-5e-03/36", "000000c2", "000000c6");
}

TEST(Advisories, NotesReadAsIntelWritesThem) {
    const ReleaseNotes notes = tarnwick::read_release_notes(notes_text());
    ASSERT_EQ(notes.releases.size(), 5u);
    const std::vector<std::string> names = {"microcode-20230512", "microcode-2022027", "microcode-20190514a",
                                            "microcode-20190514", "microcode-20190312"};
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(notes.releases[i].name, names[i]);
    }
    EXPECT_TRUE(notes.releases[0].advisories.empty()) << "INTEL-SA-NA names none";
    EXPECT_EQ(notes.releases[1].advisories, (std::vector<std::string>{"INTEL-SA-00528", "INTEL-SA-00532"}))
        << "the doubled prefix, once each, in order, and none after the tables";
    EXPECT_TRUE(notes.releases[2].advisories.empty());
    // Rows: 1 + 2 (Updated Platforms0; not the removed one) + 1 + 3 (with N/A's Old Ver) + 2
    // (the row with neither version skipped).
    ASSERT_EQ(notes.rows.size(), 9u);
    const tarnwick::ReleaseRow& disclosed = notes.rows[6];
    EXPECT_EQ(disclosed.signature, 0x000606C1u);
    EXPECT_EQ(disclosed.revision, 0x010002B0u) << "New Ver N/A: Old Ver stands";
    EXPECT_EQ(disclosed.release, 3u);
    EXPECT_EQ(notes.by_signature.count(0x000906EA), 0u) << "Removed Platforms don't count";
    EXPECT_EQ(notes.by_signature.at(0x000306F2).size(), 4u);
}

TEST(Advisories, FamilyModelSteppingAndMask) {
    const std::pair<const char*, std::optional<std::pair<std::uint32_t, std::uint8_t>>> cases[] = {
        {"06-8e-09/c0", std::pair{0x000806E9u, std::uint8_t{0xC0}}},
        {"06-3f-02/6f", std::pair{0x000306F2u, std::uint8_t{0x6F}}},
        {"0f-06-05/01", std::pair{0x00000F65u, std::uint8_t{0x01}}},
        {"13-01-02/ff", std::pair{0x00400F12u, std::uint8_t{0xFF}}},  // family 13h: extended 4, base F
        {"06-AE-01/97", std::pair{0x000A06E1u, std::uint8_t{0x97}}},
        {"06-8e-10/c0", std::nullopt},   // stepping past F
        {"06-8e-09/1c0", std::nullopt},  // a mask past a byte
        {"06-8e/c0", std::nullopt},
        {"06-8e-09", std::nullopt},
        {"F-M-S/PI", std::nullopt},
        {":--------", std::nullopt},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(tarnwick::parse_fms(text), expected) << text;
    }
}

tarnwick::ServedProcessor served(std::uint32_t signature, std::uint32_t flags) { return {signature, flags}; }

TEST(Advisories, JudgingAnUpdate) {
    const ReleaseNotes notes = tarnwick::read_release_notes(notes_text());
    struct Case {
        const char* name;
        std::vector<tarnwick::ServedProcessor> processors;
        std::uint32_t revision;
        bool named;
        std::vector<std::size_t> missed;  // oldest first
    };
    const Case cases[] = {
        {"Haswell-EP, old", {served(0x306F2, 0x6F)}, 0x3D, true, {4, 3, 1}},
        {"Haswell-EP, past two of them", {served(0x306F2, 0x6F)}, 0x41, true, {1}},
        {"Haswell-EP, current", {served(0x306F2, 0x6F)}, 0x4A, true, {}},
        {"a platform the rows don't name", {served(0x306F2, 0x80)}, 0x3D, false, {}},
        {"flags 0 share a bit with any mask", {served(0x306F2, 0)}, 0x3D, true, {4, 3, 1}},
        {"named only by an extended signature", {served(0x12345, 0x01), served(0x806E9, 0x80)}, 0xEA, true, {1}},
        // 20190514 names 0x42F, which Intel never shipped; 20190514a's 0x42E is the newest.
        {"the cap", {served(0x306E4, 0xED)}, 0x42E, true, {}},
        {"below the cap", {served(0x306E4, 0xED)}, 0x42D, true, {3}},
        {"a release that names no advisory is never missed", {served(0x306F2, 0x6F)}, 0x49, true, {}},
        {"not in the notes", {served(0x50657, 0xBF)}, 0x10, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const tarnwick::AdvisoryJudgement j = tarnwick::judge_update(notes, c.processors, c.revision);
        EXPECT_EQ(j.named, c.named);
        EXPECT_EQ(j.missed, c.missed);
    }
    EXPECT_EQ(tarnwick::judge_update(notes, {{served(0x306F2, 0x6F)}}, 0).newest, 0x4Au) << "the first row names the newest";
}

synth::Bytes update(std::uint32_t revision, std::uint32_t signature, std::uint32_t flags,
                    std::vector<std::uint32_t> extra = {}) {
    return synth::make_update({.revision = revision, .date = 0x07132016, .signature = signature, .flags = flags,
                               .data_size = 0x3D0, .extra_signatures = std::move(extra)});
}

struct Ran {
    std::string out;
    tarnwick::ExitStatus status;
};

Ran advisories(const synth::Bytes& image, const ReleaseNotes& notes, std::uint64_t size) {
    std::ostringstream out;
    const tarnwick::ExitStatus status =
        tarnwick::run_advisories(image, tarnwick::find_updates(image), notes, size, out);
    return {out.str(), status};
}

TEST(Advisories, WhatTheCommandPrints) {
    const ReleaseNotes notes = tarnwick::read_release_notes(notes_text());
    synth::Bytes image = update(0x3D, 0x306F2, 0x6F);
    synth::append(image, update(0x14, 0x406F0, 0xEF));
    synth::append(image, update(0x4A, 0x306F2, 0x6F));
    synth::Bytes damaged = update(0x01, 0x306F2, 0x6F);
    damaged[0x100] ^= 1;
    synth::append(image, damaged);  // not judged: damaged
    const Ran r = advisories(image, notes, image.size());
    EXPECT_EQ(r.out,
              "CPUID 000306F2  platform 6F  version 0000003D  missed 3: microcode-20190312 (INTEL-SA-00088), "
              "microcode-20190514 (INTEL-SA-00233), microcode-2022027 (INTEL-SA-00528, INTEL-SA-00532)\n"
              "CPUID 000406F0  platform EF  version 00000014  not in the notes\n"
              "CPUID 000306F2  platform 6F  version 0000004A  missed 0\n"
              "1 of 3 updates miss a security release\n");
    EXPECT_EQ(r.status, tarnwick::ExitStatus::outdated);

    const synth::Bytes current = update(0x4A, 0x306F2, 0x6F);
    EXPECT_EQ(advisories(current, notes, current.size()).status, tarnwick::ExitStatus::done);

    const Ran none = advisories(damaged, notes, damaged.size());
    EXPECT_EQ(none.out, "No intact update in the file.\n");
    EXPECT_EQ(none.status, tarnwick::ExitStatus::not_found);
}

// Output that would grow with the notes' size times the file's is refused
// before a line is printed.
TEST(Advisories, OutputBoundedByTheInput) {
    std::string text = "## [microcode-20190312](x)\n";
    for (int i = 0; i < 80000; ++i) {
        char advisory[32];
        std::snprintf(advisory, sizeof advisory, "INTEL-SA-%05d ", i % 100000);
        text += advisory;
    }
    text += "\n### New Platforms\n" + row("06-3f-02/6f", "00000001", "0000003e");
    const ReleaseNotes notes = tarnwick::read_release_notes(text);
    ASSERT_EQ(notes.releases.at(0).advisories.size(), 80000u);
    synth::Bytes image;
    for (std::uint32_t r = 0; r < 4; ++r) {
        synth::append(image, update(r, 0x306F2, 0x6F));
    }
    // The notes' 1.2 MB listed 4 times is more than 128 bytes per input byte allows of these 4 KiB alone.
    const Ran bounded = advisories(image, notes, 4096);
    EXPECT_EQ(bounded.status, tarnwick::ExitStatus::damaged);
    EXPECT_EQ(bounded.out.find("CPUID"), std::string::npos);
    // Counted with the notes' own size, the same prints.
    const Ran whole = advisories(image, notes, image.size() + text.size());
    EXPECT_EQ(whole.status, tarnwick::ExitStatus::outdated);
    EXPECT_EQ(tarnwick::judging_cost(notes, std::vector<tarnwick::LayoutUpdate>{{1, {served(0x306F2, 0x6F)}}}), 2u);
}

}  // namespace
