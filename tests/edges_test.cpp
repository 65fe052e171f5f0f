// The edges of the code that decides which bytes of an image change: FFS
// sizes and volume header bounds, the layout of updates, the read-back
// check handed results broken on purpose, the MPDT record and checksums
// around a change, and AMD tables at their limits.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "amd/amd.h"
#include "aptio.h"
#include "edit/plan.h"
#include "edit/steps.h"
#include "flash.h"
#include "flash/ffs.h"
#include "flash/fit.h"
#include "search/checksum.h"
#include "synth.h"

namespace {

using synth::Bytes;

const synth::Guid some_file = synth::guid("5A3E1C9B-7D2F-4B6A-9C8E-1F2E3D4C5B6A");

// Files whose sizes are no multiple of 8: each next one starts at the next
// 8-byte boundary, and the walk reaches the free space whole.
TEST(Edges, FfsFilesOfOddSizes) {
    const std::vector<std::size_t> sizes = {0xA04, 0x1071, 0x19, 0x18, 0x333};
    std::vector<Bytes> files;
    for (const std::size_t s : sizes) {
        files.push_back(synth::ffs_file(some_file, 0x07, 0x40, Bytes(s - 24, 0x5A)));
    }
    const Bytes v = synth::volume(0x10000, files);
    const tarnwick::VolumeScan scan = tarnwick::find_volumes(v);
    ASSERT_EQ(scan.volumes.size(), 1u);
    const tarnwick::FirmwareVolume& found = scan.volumes[0];
    ASSERT_EQ(found.files.size(), sizes.size());
    std::size_t at = 0x48;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        EXPECT_EQ(found.files[i].offset, at) << i;
        EXPECT_EQ(found.files[i].size, sizes[i]) << i;
        EXPECT_TRUE(found.files[i].header_checksum_ok && found.files[i].file_checksum_ok) << i;
        at = (at + sizes[i] + 7) / 8 * 8;
    }
    EXPECT_EQ(found.files_end, at);
    EXPECT_TRUE(found.files_whole);
}

// Which sections of a file hide their content (compressed, GUID-defined),
// walked once in order: a walk cut short lists nothing after the cut, and a
// file whose body is its data (RAW, pad) has none.
TEST(Edges, EncapsulatedSectionsOfAFile) {
    using Ranges = std::vector<std::pair<std::size_t, std::size_t>>;
    Bytes body = synth::section(0x19, Bytes(10, 0x11));  // 14 bytes, the next at +16
    body.resize(16, 0x00);
    synth::append(body, synth::section(0x02, Bytes(20, 0x22)));  // +0x10 .. +0x28
    synth::append(body, synth::section(0x01, Bytes(5, 0x33)));   // +0x28 .. +0x31, the next at +0x34
    body.resize(0x34, 0x00);
    synth::append(body, synth::section(0x10, Bytes(4, 0x44)));   // +0x34 .. +0x3C
    const std::size_t cut = body.size();
    synth::append(body, {0x02, 0x00, 0x00, 0x01});               // a size below its header's
    synth::append(body, synth::section(0x02, Bytes(8, 0x55)));
    const std::size_t at = 0x48 + 24;  // the file's body in the volume
    struct Case {
        const char* name;
        std::uint8_t type;
        std::size_t length;  // of the body given
        Ranges expected;
    };
    const Case cases[] = {
        {"a volume image file", 0x0B, cut, {{at + 0x10, at + 0x28}, {at + 0x28, at + 0x31}}},
        {"the walk cut at a bad size", 0x0B, body.size(), {{at + 0x10, at + 0x28}, {at + 0x28, at + 0x31}}},
        {"the last section cut by the file's end", 0x0B, 0x30, {{at + 0x10, at + 0x28}}},
        {"a RAW file's body is its data", 0x01, cut, {}},
        {"a pad's too", 0xF0, cut, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes file = synth::ffs_file(some_file, c.type, 0x00, Bytes(body.begin(), body.begin() + c.length));
        const Bytes v = synth::volume(0x1000, {file});
        const tarnwick::VolumeScan scan = tarnwick::find_volumes(v);
        ASSERT_EQ(scan.volumes.size(), 1u);
        ASSERT_EQ(scan.volumes[0].files.size(), 1u);
        EXPECT_EQ(tarnwick::encapsulated_sections(v, scan.volumes[0].files[0]), c.expected);
    }
}

// The volume header's own length and the extended header, at and around
// their bounds: a volume is taken only where both lie in it.
TEST(Edges, VolumeHeaderBounds) {
    struct Case {
        const char* name;
        std::function<void(Bytes&)> change;
        bool found;
        std::size_t first_file;  // where the walk starts, when found
    };
    constexpr std::size_t length = 0x1000;
    const auto header_length = [](std::size_t n) {
        return [n](Bytes& v) { v[0x30] = static_cast<std::uint8_t>(n); v[0x31] = static_cast<std::uint8_t>(n >> 8); };
    };
    // An extended header at `at` of `size` bytes.
    const auto extended = [](std::size_t at, std::size_t size) {
        return [at, size](Bytes& v) {
            v[0x34] = static_cast<std::uint8_t>(at);
            v[0x35] = static_cast<std::uint8_t>(at >> 8);
            if (at + 20 <= v.size()) {
                synth::put_le32(v, at + 16, static_cast<std::uint32_t>(size));
            }
        };
    };
    const Case cases[] = {
        {"as made", [](Bytes&) {}, true, 0x48},
        {"header length just under the minimum", header_length(0x36), false, 0},
        {"header length at the minimum", header_length(0x38), true, 0x38},
        {"header length odd", header_length(0x39), false, 0},
        {"header length past the volume", header_length(length + 2), false, 0},
        {"extended header inside the header", extended(0x40, 0x20), false, 0},
        {"extended header right after it", extended(0x48, 0x20), true, 0x68},
        {"extended header that fits exactly", extended(0x48, length - 0x48), true, length},
        {"extended header a byte too long", extended(0x48, length - 0x48 + 1), false, 0},
        {"extended header's 20 bytes just fit", extended(length - 20, 20), true, length},
        {"extended header's 20 bytes a byte short", extended(length - 19, 19), false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes v = synth::volume(length, {});
        c.change(v);
        synth::seal_volume_header(v);
        const tarnwick::VolumeScan scan = tarnwick::find_volumes(v);
        ASSERT_EQ(scan.volumes.size(), c.found ? 1u : 0u);
        if (c.found) {
            EXPECT_EQ(scan.volumes[0].files_end, (c.first_file + 7) / 8 * 8);
        }
    }
}

// The spacing the image keeps, and where updates of awkward sizes go.
TEST(Edges, SpacingAndPlacementOfUpdates) {
    using tarnwick::edit::Found;
    const auto at = [](std::vector<std::size_t> offsets, std::vector<std::size_t> sizes) {
        std::vector<Found> f;
        for (std::size_t i = 0; i < offsets.size(); ++i) {
            f.push_back({offsets[i], sizes[i], {}});
        }
        return f;
    };
    struct Spacing {
        const char* name;
        std::vector<Found> updates;
        std::size_t spacing;
    };
    const Spacing spacings[] = {
        {"one update", at({0x60}, {0x400}), 0},
        {"packed", at({0x60, 0x460, 0x870}, {0x400, 0x405, 0x400}), 0},
        {"2 KiB apart", at({0x60, 0x860, 0x1060}, {0x400, 0x800, 0x400}), 0x800},
        {"8 KiB apart: 4 KiB at most", at({0x60, 0x2060}, {0x400, 0x400}), 0x1000},
        {"2 KiB, then 1 KiB", at({0x60, 0x860, 0xC60}, {0x400, 0x400, 0x400}), 0x400},
        {"16 bytes of 0xFF between", at({0x60, 0x470}, {0x400, 0x400}), 0x10},
        {"the first off the grid", at({0x68, 0x870}, {0x400, 0x400}), 0},
    };
    for (const Spacing& s : spacings) {
        SCOPED_TRACE(s.name);
        EXPECT_EQ(tarnwick::edit::update_spacing(s.updates), s.spacing);
    }
    struct Placement {
        const char* name;
        std::vector<std::size_t> sizes;
        std::size_t start, spacing;
        bool end_to_end;
        std::vector<std::size_t> at;
    };
    const Placement placements[] = {
        {"packed, first to second and later", {0x405, 0x3F1, 0x400}, 0x60, 0, false, {0x60, 0x470, 0x870}},
        {"packed from a start off the grid", {0x400, 0x400}, 0x68, 0, false, {0x68, 0x470}},
        {"2 KiB from the first", {0x400, 0x900, 0x10}, 0x68, 0x800, false, {0x68, 0x868, 0x1868}},
        {"a container: end to end", {0x405, 0x3F1, 0x400}, 0, 0, true, {0, 0x405, 0x7F6}},
    };
    for (const Placement& p : placements) {
        SCOPED_TRACE(p.name);
        EXPECT_EQ(tarnwick::edit::place(p.sizes, p.start, p.spacing, p.end_to_end), p.at);
    }
}

synth::Update update(std::uint32_t revision, std::uint32_t signature, std::uint32_t flags, std::uint32_t data = 0x3D0) {
    return {.revision = revision, .date = 0x07132016, .signature = signature, .flags = flags, .data_size = data,
            .extra_signatures = {}};
}

struct Planned {
    synth::Flash flash;
    Bytes source;
    std::vector<tarnwick::SourceUpdate> sources;
    tarnwick::UpdatePlan plan;
};

// An AMI-style image whose first update grows, with the FIT in a
// checksummed file after the microcode file.
Planned planned(synth::FlashOptions o = {}, std::uint32_t data = 0x7D0) {
    Planned p;
    if (o.updates.size() == 1) {
        o.updates = {update(0x10, 0x306C3, 0x32), update(0x05, 0x6F6, 0x01), update(0x30, 0xA0671, 0x02)};
    }
    p.flash = synth::make_flash(o);
    p.source = synth::make_update(update(0x1B, 0x306C3, 0x32, data));
    tarnwick::add_source_updates(p.source, p.sources);
    p.plan = tarnwick::plan_update(p.flash.image, p.sources);
    return p;
}

tarnwick::Patch& patch_at(tarnwick::UpdatePlan& plan, std::size_t offset) {
    for (tarnwick::Patch& p : plan.patches) {
        if (p.offset == offset) {
            return p;
        }
    }
    ADD_FAILURE() << "no patch at " << offset;
    return plan.patches.front();
}

// The read-back check, handed plans and images broken on purpose: each
// must fail, and say why.
TEST(Edges, ReadBackCatchesWhatItExistsFor) {
    struct Case {
        const char* name;
        // Breaks the plan (and so the image made from it) or the image.
        std::function<void(Planned&, tarnwick::UpdatePlan&)> break_plan;
        std::function<void(Bytes&, const Planned&)> break_image;
        const char* says;
    };
    const auto none_plan = [](Planned&, tarnwick::UpdatePlan&) {};
    const auto none_image = [](Bytes&, const Planned&) {};
    const auto fit_patch = [](tarnwick::UpdatePlan& plan, const Planned& p) -> Bytes& {
        return patch_at(plan, p.flash.fit).bytes;
    };
    const Case cases[] = {
        {"a FIT with errors",
         [&](Planned& p, tarnwick::UpdatePlan& plan) {
             // The header's version 0x0100 as 0x0001: the byte sums, and so
             // the file's checksum, stay.
             Bytes& t = fit_patch(plan, p);
             std::swap(t[12], t[13]);
         },
         none_image,
         "the FIT does not pass -fitcheck"},
        {"a FIT that holds the wrong entries",
         [&](Planned& p, tarnwick::UpdatePlan& plan) {
             Bytes& t = fit_patch(plan, p);
             std::swap_ranges(t.begin() + 16, t.begin() + 24, t.begin() + 32);
         },
         none_image, "does not name the intact update planned for it"},
        {"a planned FIT entry that goes missing",
         [](Planned&, tarnwick::UpdatePlan& plan) { plan.fit_targets.push_back(plan.fit_targets.front()); },
         none_image, "another number of microcode entries"},
        {"a damaged update",
         [](Planned&, tarnwick::UpdatePlan& plan) { patch_at(plan, plan.files[0].offset).bytes[0x200] ^= 1; },
         none_image, "is not at"},
        {"an update missing from its place",
         [](Planned&, tarnwick::UpdatePlan& plan) { plan.rows[1].new_offset += 0x10; }, none_image, "is not at"},
        {"an update the plan doesn't know",
         [](Planned&, tarnwick::UpdatePlan& plan) { plan.files[0].rows_end -= 1; }, none_image, "that was not planned"},
        {"a wrong FFS checksum",
         [](Planned&, tarnwick::UpdatePlan& plan) { patch_at(plan, plan.files[0].offset).bytes[0x10] ^= 1; },
         none_image, "has a wrong checksum"},
        {"a changed byte outside the changes", none_plan, [](Bytes& b, const Planned&) { b[0x1F0000] ^= 1; },
         "a byte outside the microcode files, their pads and the FIT changed, at 0x1F0000"},
        {"a changed byte inside a change", none_plan,
         [](Bytes& b, const Planned& p) { b[p.flash.fit + 0x1F] ^= 1; }, "are not the planned ones"},
        {"the MPDT record moved",
         [](Planned&, tarnwick::UpdatePlan& plan) {
             Bytes& b = patch_at(plan, plan.files[0].offset).bytes;
             const std::size_t end = plan.files[0].new_size;
             std::copy(b.begin() + static_cast<std::ptrdiff_t>(end - 16), b.begin() + static_cast<std::ptrdiff_t>(end),
                       b.begin() + static_cast<std::ptrdiff_t>(end - 32));
             std::fill(b.begin() + static_cast<std::ptrdiff_t>(end - 16), b.begin() + static_cast<std::ptrdiff_t>(end),
                       0xFF);
         },
         none_image, "data that is no update at"},
        {"the MPDT record changed",
         [](Planned&, tarnwick::UpdatePlan& plan) {
             patch_at(plan, plan.files[0].offset).bytes[plan.files[0].new_size - 1] ^= 1;
         },
         none_image, "the MPDT record of the microcode file"},
        {"the pad elsewhere", [](Planned&, tarnwick::UpdatePlan& plan) { plan.files[0].pad_new_offset += 8; },
         none_image, "the pad file after"},
        {"the image's size", none_plan, [](Bytes& b, const Planned&) { b.push_back(0xFF); }, "size changed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // The MPDT record can move only where slack before it leaves room.
        const bool slack = std::string(c.name).find("MPDT record moved") != std::string::npos;
        synth::FlashOptions o;
        o.mpdt = slack ? synth::FlashOptions::Mpdt::slack : synth::FlashOptions::Mpdt::direct;
        Planned p = planned(o, slack ? 0x5D0 : 0x7D0);
        ASSERT_EQ(p.plan.outcome, tarnwick::UpdatePlan::Outcome::planned) << p.plan.reason;
        ASSERT_FALSE(tarnwick::check_updated(p.flash.image, tarnwick::apply_update(p.flash.image, p.plan), p.plan))
            << "sound as planned";
        tarnwick::UpdatePlan broken = p.plan;
        c.break_plan(p, broken);
        Bytes image = tarnwick::apply_update(p.flash.image, broken);
        c.break_image(image, p);
        const std::optional<std::string> why = tarnwick::check_updated(p.flash.image, image, broken);
        ASSERT_TRUE(why.has_value());
        EXPECT_NE(why->find(c.says), std::string::npos) << "said: " << *why;
    }
}

// The read-back holds the new image to what Boot Guard read in the old: the
// same state, the same ranges, not a byte of them changed. Each break is
// one the planner itself would never make.
TEST(Edges, ReadBackHoldsBootGuardsRanges) {
    struct Case {
        const char* name;
        std::function<void(const Planned&, tarnwick::UpdatePlan&)> break_plan;
        const char* says;
    };
    const auto write_at = [](tarnwick::UpdatePlan& plan, const Planned& p, std::size_t at) {
        plan.patches.push_back({at, {static_cast<std::uint8_t>(p.flash.image[at] ^ 0xFF)}});
        std::sort(plan.patches.begin(), plan.patches.end(),
                  [](const tarnwick::Patch& a, const tarnwick::Patch& b) { return a.offset < b.offset; });
    };
    const Case cases[] = {
        {"a byte inside the start-up block",
         [&](const Planned& p, tarnwick::UpdatePlan& plan) { write_at(plan, p, 0x1FF100); },
         "a byte that Boot Guard verifies changed, at 0x1FF100"},
        {"both manifests gone",
         [&](const Planned& p, tarnwick::UpdatePlan& plan) {
             write_at(plan, p, p.flash.key_manifest);
             write_at(plan, p, p.flash.boot_policy);
         },
         "read back as absent"},
        {"a range the new image doesn't have",
         [](const Planned&, tarnwick::UpdatePlan& plan) { plan.protected_ranges.front().end -= 1; },
         "read back otherwise"},
        {"hollow where they were read",
         [](const Planned&, tarnwick::UpdatePlan& plan) { plan.guard = tarnwick::UpdatePlan::Guard::hollow; },
         "read back as present"},
    };
    synth::FlashOptions o;
    o.guard.manifests = synth::GuardOptions::Manifests::real;
    const Planned p = planned(o);
    ASSERT_EQ(p.plan.outcome, tarnwick::UpdatePlan::Outcome::planned) << p.plan.reason;
    ASSERT_EQ(p.plan.guard, tarnwick::UpdatePlan::Guard::verified);
    ASSERT_EQ(p.plan.protected_ranges.size(), 1u);
    ASSERT_FALSE(tarnwick::check_updated(p.flash.image, tarnwick::apply_update(p.flash.image, p.plan), p.plan));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        tarnwick::UpdatePlan broken = p.plan;
        c.break_plan(p, broken);
        const std::optional<std::string> why =
            tarnwick::check_updated(p.flash.image, tarnwick::apply_update(p.flash.image, broken), broken);
        ASSERT_TRUE(why.has_value());
        EXPECT_NE(why->find(c.says), std::string::npos) << "said: " << *why;
    }
}

// A volume of 64 KiB: a microcode file at 0x48 with one update, a pad of
// 0xFF, then a file whose data is 4 KiB-aligned (its header at 0xFE8),
// then free space. The source's update is `data` bytes of data.
struct Moving {
    Bytes image;
    Bytes source;
    std::vector<tarnwick::SourceUpdate> sources;
    tarnwick::UpdatePlan plan;
};
Moving moving(std::uint32_t data) {
    Moving m;
    const Bytes microcode = synth::ffs_file(synth::guid("17088572-377F-44EF-8F4E-B09FFF46A070"), 0x01, 0x00,
                                            synth::make_update(update(0x10, 0x306C3, 0x32)));
    const std::size_t pad_at = (0x48 + microcode.size() + 7) / 8 * 8;
    m.image = synth::volume(0x10000, {microcode, synth::pad_file(0xFE8 - pad_at),
                                      synth::ffs_file(some_file, 0x01, 0x28, Bytes(0x100, 0x5A))});
    m.source = synth::make_update(update(0x1B, 0x306C3, 0x32, data));
    tarnwick::add_source_updates(m.source, m.sources);
    m.plan = tarnwick::plan_update(m.image, m.sources);
    return m;
}

// The shift: the least multiple of the alignment that clears the grown
// file and leaves a gap of 0 or at least a pad's header.
TEST(Edges, ShiftAndGapAfterAMove) {
    struct Case {
        const char* name;
        std::size_t end;  // where the grown file ends, E
        std::size_t shift;
        std::optional<std::size_t> pad;  // its size
    };
    constexpr std::size_t first = 0xFE8;  // F
    const Case cases[] = {
        {"exactly one alignment on", first + 0x1000, 0x1000, std::nullopt},
        {"8 short: no room for a pad's header, one more", first + 0x1000 - 8, 0x2000, 0x1008},
        {"24 short: a pad that is its header", first + 0x1000 - 24, 0x1000, 24},
        {"just past the first file", first + 8, 0x1000, 0x1000 - 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // The file's header is 24 bytes, the update's 48.
        const Moving m = moving(static_cast<std::uint32_t>(c.end - 0x48 - 24 - 48));
        ASSERT_EQ(m.plan.outcome, tarnwick::UpdatePlan::Outcome::planned) << m.plan.reason;
        const tarnwick::MicrocodeFileChange& f = m.plan.files.at(0);
        ASSERT_EQ(f.room, tarnwick::MicrocodeFileChange::Room::moved);
        EXPECT_NE(f.taken_pad, 0u) << "the pad of 0xFF after it is taken, not moved";
        EXPECT_EQ(f.moved_first, first);
        EXPECT_EQ(f.shift, c.shift);
        EXPECT_EQ(f.gap_pad.has_value(), c.pad.has_value());
        EXPECT_EQ(f.gap_pad_size, c.pad.value_or(0));
        const Bytes after = tarnwick::apply_update(m.image, m.plan);
        ASSERT_FALSE(tarnwick::check_updated(m.image, after, m.plan));
        const tarnwick::VolumeScan scan = tarnwick::find_volumes(after);
        ASSERT_EQ(scan.volumes.size(), 1u);
        const std::vector<tarnwick::FfsFile>& files = scan.volumes[0].files;
        ASSERT_EQ(files.size(), c.pad ? 3u : 2u);
        EXPECT_EQ(files.back().offset, first + c.shift);
        EXPECT_EQ((files.back().body()) % 0x1000, 0u) << "its data stays aligned";
        if (c.pad) {
            EXPECT_EQ(files[1].type, tarnwick::ffs_type_pad);
            EXPECT_EQ(files[1].offset, c.end);
            EXPECT_TRUE(files[1].header_checksum_ok && files[1].file_checksum_ok);
        }
    }
}

// The read-back holds moved files to their old bytes, at their old offset
// plus the shift, aligned as they were, with the gap and the free space
// where planned.
TEST(Edges, ReadBackHoldsTheMove) {
    struct Case {
        const char* name;
        std::function<void(tarnwick::MicrocodeFileChange&)> break_plan;
        const char* says;
    };
    const Case cases[] = {
        {"another shift", [](tarnwick::MicrocodeFileChange& c) { c.shift += 8; }, "is not at"},
        {"the pad elsewhere", [](tarnwick::MicrocodeFileChange& c) { *c.gap_pad += 8; }, "is not one pad of 0xFF"},
        {"the free space elsewhere", [](tarnwick::MicrocodeFileChange& c) { c.free_start += 8; }, "does not start at"},
        {"an alignment lost", [](tarnwick::MicrocodeFileChange& c) { c.moved[0].alignment = 0x2000; },
         "lost its alignment"},
        {"a file the plan doesn't know", [](tarnwick::MicrocodeFileChange& c) { c.moved.clear(); },
         "does not start at"},
    };
    const Moving m = moving(static_cast<std::uint32_t>(0xFE8 + 8 - 0x48 - 24 - 48));
    ASSERT_EQ(m.plan.outcome, tarnwick::UpdatePlan::Outcome::planned) << m.plan.reason;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        tarnwick::UpdatePlan broken = m.plan;
        c.break_plan(broken.files[0]);
        const std::optional<std::string> why =
            tarnwick::check_updated(m.image, tarnwick::apply_update(m.image, m.plan), broken);
        ASSERT_TRUE(why.has_value());
        EXPECT_NE(why->find(c.says), std::string::npos) << "said: " << *why;
    }
}

// A volume that another overlaps without lying whole in one of its files
// (only crafted images have them): a change to one would change what the
// other's walk reads, so nothing is planned. Lying whole in a file, it is.
TEST(Edges, VolumesThatOverlapWithoutNesting) {
    const Bytes inner = synth::volume(0x1000, {synth::ffs_file(synth::guid("17088572-377F-44EF-8F4E-B09FFF46A070"), 0x01,
                                                               0x00, synth::make_update(update(0x10, 0x306C3, 0x32))),
                                               synth::pad_file(0x800)});
    const Bytes source = synth::make_update(update(0x1B, 0x306C3, 0x32, 0x7D0));
    std::vector<tarnwick::SourceUpdate> sources;
    tarnwick::add_source_updates(source, sources);
    for (const std::size_t held : {std::size_t{0x600}, inner.size()}) {
        SCOPED_TRACE(held);
        const Bytes part(inner.begin(), inner.begin() + static_cast<std::ptrdiff_t>(held));
        const Bytes image = synth::volume(0x2000, {synth::ffs_file(some_file, 0x01, 0x00, part)});
        ASSERT_EQ(tarnwick::find_volumes(image).volumes.size(), 2u);
        const tarnwick::UpdatePlan plan = tarnwick::plan_update(image, sources);
        if (held == inner.size()) {
            ASSERT_EQ(plan.outcome, tarnwick::UpdatePlan::Outcome::planned) << plan.reason;
            EXPECT_FALSE(tarnwick::check_updated(image, tarnwick::apply_update(image, plan), plan));
        } else {
            EXPECT_EQ(plan.outcome, tarnwick::UpdatePlan::Outcome::refused);
            EXPECT_EQ(plan.reason, "the firmware volumes at 0x0 and 0x60 overlap, neither lying in a file of the other");
        }
    }
}

// Shapes that mutation testing found no test for.
TEST(Edges, WhatMutationsFoundUntested) {
    {
        SCOPED_TRACE("an AMD container cut in its table header, or ending right after it");
        const Bytes whole = synth::make_amd_container({{0x00100F22, 0x1022}}, {synth::make_amd_patch({})});
        for (const std::size_t n : {std::size_t{11}, std::size_t{12}}) {
            const Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n));
            EXPECT_TRUE(tarnwick::find_amd_patches(cut).patches.empty()) << n;
        }
        EXPECT_EQ(tarnwick::find_amd_patches(whole).patches.size(), 1u);
    }
    {
        SCOPED_TRACE("the sizes of bare patches at the edges of the 0x60xx-0x67xx range");
        const std::pair<std::uint16_t, std::optional<std::size_t>> sizes[] = {
            {0x5F00, std::nullopt}, {0x6000, 0xA20}, {0x6712, 0xA20}, {0x67FF, 0xA20}, {0x6800, 0x980}};
        for (const auto& [equiv, size] : sizes) {
            tarnwick::AmdPatchHeader h{};
            h.format = 0x8004;
            h.equiv_id = equiv;
            EXPECT_EQ(tarnwick::bare_patch_size(h), size) << std::hex << equiv;
        }
    }
    {
        SCOPED_TRACE("a gap between two files that isn't erased ends the walk");
        Bytes v = synth::volume(0x1000, {synth::ffs_file(some_file, 0x01, 0x00, Bytes(1, 0x5A)),
                                         synth::ffs_file(some_file, 0x01, 0x00, Bytes(8, 0x5A))});
        v[0x48 + 0x19] = 0x00;  // in the 7 bytes between the first file's end and the second
        const tarnwick::VolumeScan scan = tarnwick::find_volumes(v);
        ASSERT_EQ(scan.volumes.size(), 1u);
        EXPECT_EQ(scan.volumes[0].files.size(), 1u);
        EXPECT_FALSE(scan.volumes[0].files_whole);
        EXPECT_EQ(scan.volumes[0].files_end, 0x68u);
    }
    {
        SCOPED_TRACE("checksums of the microcode file, each wrong alone");
        for (const std::size_t byte : {std::size_t{0x10}, std::size_t{0x11}}) {
            synth::FlashOptions o;
            synth::Flash flash = synth::make_flash(o);
            flash.image[flash.microcode_files[0] + byte] ^= 0x01;
            const Bytes source = synth::make_update(update(0x1B, 0x306C3, 0x32));
            std::vector<tarnwick::SourceUpdate> sources;
            tarnwick::add_source_updates(source, sources);
            const tarnwick::UpdatePlan plan = tarnwick::plan_update(flash.image, sources);
            EXPECT_EQ(plan.outcome, tarnwick::UpdatePlan::Outcome::refused) << byte;
            EXPECT_NE(plan.reason.find("has a wrong checksum already"), std::string::npos) << plan.reason;
        }
    }
    {
        SCOPED_TRACE("a microcode file is found by what it holds, not by its name");
        for (const bool holds_updates : {true, false}) {
            const synth::Guid near = synth::guid("17088572-377F-44EF-8F4E-B09FFF46A071");
            const synth::Guid ami = synth::guid("17088572-377F-44EF-8F4E-B09FFF46A070");
            const Bytes body = holds_updates ? synth::make_update(update(0x10, 0x306C3, 0x32)) : Bytes(0x400, 0x5A);
            const Bytes image = synth::volume(0x4000, {synth::ffs_file(holds_updates ? near : ami, 0x01, 0x00, body)});
            const Bytes source = synth::make_update(update(0x1B, 0x306C3, 0x32));
            std::vector<tarnwick::SourceUpdate> sources;
            tarnwick::add_source_updates(source, sources);
            const tarnwick::UpdatePlan plan = tarnwick::plan_update(image, sources);
            EXPECT_EQ(plan.outcome, holds_updates ? tarnwick::UpdatePlan::Outcome::planned
                                                  : tarnwick::UpdatePlan::Outcome::no_update)
                << plan.reason;
        }
    }
}

// The MPDT record stays the file's last 16 bytes, the same bytes, where the
// content fits: after slack, and right after the updates.
TEST(Edges, MpdtRecordKeptWhereTheContentFits) {
    for (const auto mpdt : {synth::FlashOptions::Mpdt::slack, synth::FlashOptions::Mpdt::direct}) {
        SCOPED_TRACE(mpdt == synth::FlashOptions::Mpdt::slack ? "after slack" : "right after the updates");
        synth::FlashOptions o;
        o.updates = {update(0x10, 0x306C3, 0x32), update(0x05, 0x6F6, 0x01)};
        o.mpdt = mpdt;
        const synth::Flash flash = synth::make_flash(o);
        // Same size where there's no slack; larger, within it, where there is.
        const Bytes source = synth::make_update(
            update(0x1B, 0x306C3, 0x32, mpdt == synth::FlashOptions::Mpdt::slack ? 0x7D0 : 0x3D0));
        std::vector<tarnwick::SourceUpdate> sources;
        tarnwick::add_source_updates(source, sources);
        const tarnwick::UpdatePlan plan = tarnwick::plan_update(flash.image, sources);
        ASSERT_EQ(plan.outcome, tarnwick::UpdatePlan::Outcome::planned) << plan.reason;
        ASSERT_EQ(plan.files.size(), 1u);
        EXPECT_EQ(plan.files[0].room, tarnwick::MicrocodeFileChange::Room::kept);
        const Bytes after = tarnwick::apply_update(flash.image, plan);
        const std::size_t end = plan.files[0].offset + plan.files[0].new_size;
        const Bytes record = synth::mpdt_record(true);
        EXPECT_TRUE(std::equal(record.begin(), record.end(), after.begin() + static_cast<std::ptrdiff_t>(end - 16)));
        EXPECT_EQ(plan.files[0].mpdt_new, end - 16);
        EXPECT_FALSE(tarnwick::check_updated(flash.image, after, plan));
    }
}

// A summed body around a change gets its checksum mended, and only that:
// the rewritten microcode file is sealed on its own, the other summed file
// doesn't hold a change.
TEST(Edges, ChecksumsOfFilesAroundAChange) {
    for (const bool summed_microcode : {false, true}) {
        SCOPED_TRACE(summed_microcode ? "microcode file summed too" : "microcode file not summed");
        synth::FlashOptions o;
        o.checksummed = summed_microcode;
        Planned p = planned(o);
        ASSERT_EQ(p.plan.outcome, tarnwick::UpdatePlan::Outcome::planned) << p.plan.reason;
        EXPECT_EQ(p.plan.body_checksums, std::vector<std::size_t>{p.flash.fit - 24}) << "the FIT's file alone";
        const Bytes after = tarnwick::apply_update(p.flash.image, p.plan);
        for (const tarnwick::FirmwareVolume& v : tarnwick::find_volumes(after).volumes) {
            for (const tarnwick::FfsFile& f : v.files) {
                EXPECT_TRUE(f.header_checksum_ok && f.file_checksum_ok) << f.offset;
            }
        }
    }
}

// An update that runs past the end of its microcode file, into what
// follows: damaged, and nothing planned.
TEST(Edges, UpdateRunningPastItsFile) {
    synth::FlashOptions o;
    o.updates = {update(0x10, 0x306C3, 0x32), update(0x05, 0x6F6, 0x01)};
    o.mpdt = synth::FlashOptions::Mpdt::none;
    synth::Flash flash = synth::make_flash(o);
    // The file ends 0x100 bytes into its last update.
    const std::size_t at = flash.microcode_files[0];
    const std::size_t size = flash.image[at + 0x14] | flash.image[at + 0x15] << 8 | flash.image[at + 0x16] << 16;
    const std::size_t shorter = size - 0x100;
    flash.image[at + 0x14] = static_cast<std::uint8_t>(shorter);
    flash.image[at + 0x15] = static_cast<std::uint8_t>(shorter >> 8);
    flash.image[at + 0x10] = tarnwick::ffs_header_checksum(tarnwick::Image(flash.image.data() + at, 24));
    const Bytes source = synth::make_update(update(0x1B, 0x306C3, 0x32));
    std::vector<tarnwick::SourceUpdate> sources;
    tarnwick::add_source_updates(source, sources);
    for (const auto& plan : {tarnwick::plan_update(flash.image, sources), tarnwick::plan_add(flash.image, sources),
                             tarnwick::plan_remove(flash.image, std::vector<std::uint32_t>{0x306C3})}) {
        EXPECT_EQ(plan.outcome, tarnwick::UpdatePlan::Outcome::damaged);
        EXPECT_NE(plan.reason.find("runs past the end"), std::string::npos) << plan.reason;
        EXPECT_TRUE(plan.patches.empty());
    }
}

// AMD: the loader's table ends at its first empty entry; format 0x8005 is
// the first that sizes a bare patch by len and init; and one equivalence id
// is listed in full for each patch up to 16 CPUIDs.
TEST(Edges, AmdTablesAtTheirLimits) {
    const synth::AmdPatch fam10h{};
    {
        SCOPED_TRACE("entries after the first empty one");
        Bytes c = synth::make_amd_container({{0x00100F22, 0x1022}, {0, 0}, {0x00100F23, 0x1022}},
                                            {synth::make_amd_patch(fam10h)});
        const tarnwick::AmdPatches found = tarnwick::find_amd_patches(c);
        ASSERT_EQ(found.patches.size(), 1u);
        EXPECT_EQ(found.patches[0].cpuids, std::vector<std::uint32_t>{0x00100F22});
    }
    struct Sized {
        const char* name;
        std::uint16_t format;
        std::uint8_t len, init;
        std::optional<std::size_t> size;
    };
    const Sized sizes[] = {
        {"0x8005 with len", 0x8005, 0x40, 0, 0x400},
        {"0x8005 with init", 0x8005, 0, 1, 0x1000},
        {"0x8005 with both", 0x8005, 0x5C, 1, 0x15C0},
        {"0x8004 with len: the family's size", 0x8004, 0x40, 0, std::nullopt},
        {"0x8005 with neither: the family's size", 0x8005, 0, 0, std::nullopt},
    };
    for (const Sized& s : sizes) {
        SCOPED_TRACE(s.name);
        tarnwick::AmdPatchHeader h{};
        h.format = s.format;
        h.len = s.len;
        h.init = s.init;
        h.equiv_id = 0xA612;
        const std::optional<std::size_t> size = tarnwick::bare_patch_size(h);
        if (s.size) {
            EXPECT_EQ(size, s.size);
        } else {
            EXPECT_NE(size, std::optional<std::size_t>(static_cast<std::size_t>((s.init << 8 | s.len) * 16)));
        }
    }
    for (const std::size_t n : {std::size_t{16}, std::size_t{17}}) {
        SCOPED_TRACE(std::to_string(n) + " CPUIDs for one id");
        std::vector<std::pair<std::uint32_t, std::uint16_t>> table;
        for (std::uint32_t i = 0; i < n; ++i) {
            table.emplace_back(0x00100F20 + i, 0x1022);
        }
        const Bytes patch = synth::make_amd_patch(fam10h);
        const tarnwick::AmdPatches found = tarnwick::find_amd_patches(synth::make_amd_container(table, {patch, patch}));
        ASSERT_EQ(found.patches.size(), 2u);
        EXPECT_EQ(found.patches[0].cpuids.size(), n);
        EXPECT_EQ(found.patches[1].cpuids.size(), n <= 16 ? n : 0u);
        EXPECT_EQ(found.patches[1].cpuids_as.has_value(), n > 16);
    }
}

}  // namespace
