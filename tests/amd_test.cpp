// AMD patches: the recognition rule for bare ones against near misses, the
// loader's checks in containers, the loader's layout and the comparison
// with a reference, and the candidate walk against a plain one.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "amd/amd.h"
#include "survey/image_scan.h"
#include "synth.h"

namespace {

using synth::Bytes;
using tarnwick::AmdStatus;

// Family 10h, summed; family 17h (Zen), newer format; family 19h, sized by
// len and init.
const synth::AmdPatch fam10h{};
const synth::AmdPatch zen{.date = 0x12192023, .patch_id = 0x0800126F, .format = 0x8004, .len = 0, .init = 0,
                          .equiv_id = 0x8012, .size = 0xC80, .checksum = false, .checksum_field = 0};
const synth::AmdPatch fam19h{.date = 0x02272024, .patch_id = 0x0A601209, .format = 0x8005, .len = 0x5C, .init = 1,
                             .equiv_id = 0xA612, .size = 0x15C0, .checksum = false, .checksum_field = 0};

// A patch bare in flash, 0xFF around it.
Bytes in_flash(const Bytes& patch) {
    Bytes image(0x100, 0xFF);
    synth::append(image, patch);
    image.resize(image.size() + 0x100, 0xFF);
    return image;
}

TEST(Amd, BarePatchesAndNearMisses) {
    struct Case {
        const char* name;
        synth::AmdPatch patch;
        std::function<void(Bytes&)> change;
        bool recognised;
    };
    const auto none = [](Bytes&) {};
    const Case cases[] = {
        {"family 10h", fam10h, none, true},
        {"Zen", zen, none, true},
        {"family 19h, size from len and init", fam19h, none, true},
        {"month 13, as shipped for 0x03000027",
         {.date = 0x13092011, .patch_id = 0x03000027, .format = 0x8003, .equiv_id = 0x3010}, none, true},
        {"a minimum base revision", zen, [](Bytes& b) { synth::put_le32(b, 0xC, 0x08001250); }, true},
        {"a chipset id of 0x1022", fam10h, [](Bytes& b) { b[0x10] = 0x22; b[0x11] = 0x10; }, true},

        {"month 13 elsewhere", {.date = 0x13092011}, none, false},
        {"month 0", {.date = 0x00092011}, none, false},
        {"day 32", {.date = 0x04322008}, none, false},
        {"not BCD", {.date = 0x041A2008}, none, false},
        {"century 19", fam10h, [](Bytes& b) { b[1] = 0x19; }, false},
        {"format 0x7F00", fam10h, [](Bytes& b) { b[9] = 0x7F; }, false},
        {"a chipset id of another vendor", fam10h, [](Bytes& b) { b[0x14] = 0x86; b[0x15] = 0x80; }, false},
        {"BIOS API revision 2", fam10h, [](Bytes& b) { b[0x1C] = 2; }, false},
        {"reserved bytes 00 in format 0x8000", fam10h, [](Bytes& b) { b[0x1D] = 0; }, false},
        {"reserved bytes AA in format 0x8004", zen, [](Bytes& b) { b[0x1F] = 0xAA; }, false},
        {"family of equiv and patch id apart", fam10h, [](Bytes& b) { b[0x19] = 0x20; }, false},
        {"patch id family 0", {.patch_id = 0x00000083, .equiv_id = 0x0022}, none, false},
        {"Zen with bits 19-16 set", zen, [](Bytes& b) { b[6] |= 0x01; }, false},
        {"Zen equiv id not the patch id's", zen, [](Bytes& b) { b[0x18] = 0x13; }, false},
        {"a wrong sum", fam10h, [](Bytes& b) { b[0x200] ^= 1; }, false},
        {"a field neither 0 nor a base revision", zen, [](Bytes& b) { synth::put_le32(b, 0xC, 0x09001250); }, false},
        {"a base revision above the patch", zen, [](Bytes& b) { synth::put_le32(b, 0xC, 0x08001270); }, false},
        {"no known size", {.len = 0, .equiv_id = 0x1022}, none, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes patch = synth::make_amd_patch(c.patch);
        c.change(patch);
        const Bytes image = in_flash(patch);
        EXPECT_EQ(tarnwick::is_bare_patch(image, 0x100), c.recognised);
        const tarnwick::AmdPatches found = tarnwick::find_amd_patches(image);
        ASSERT_EQ(found.patches.size(), c.recognised ? 1u : 0u);
        if (c.recognised) {
            EXPECT_TRUE(found.patches[0].bare);
            EXPECT_EQ(found.patches[0].offset, 0x100u);
            EXPECT_EQ(found.patches[0].size, c.patch.size);
        }
    }
}

TEST(Amd, ContainerStatusesFirstFailingWins) {
    struct Case {
        const char* name;
        synth::AmdPatch patch;
        std::function<void(Bytes&)> change;
        AmdStatus status;
    };
    const auto none = [](Bytes&) {};
    const Case cases[] = {
        {"intact", fam10h, none, AmdStatus::ok},
        {"family 16h: 0x8003 with no sum", {.date = 0x02192014, .patch_id = 0x0700010F, .format = 0x8003, .len = 0,
                                            .equiv_id = 0x7001, .size = 0xD82, .checksum = false}, none, AmdStatus::ok},
        {"a section under 64 bytes", {.size = 40, .checksum = false}, none, AmdStatus::bad_size},
        {"over family 10h's 2048 bytes", {.size = 2052}, none, AmdStatus::bad_size},
        {"over family 14h's 1824 bytes", {.patch_id = 0x05000029, .format = 0x8001, .len = 0, .equiv_id = 0x5010,
                                          .size = 1828, .checksum = false}, none, AmdStatus::bad_size},
        {"a north bridge id", fam10h, [](Bytes& b) { b[0x10] = 0x22; b[0x11] = 0x10; }, AmdStatus::bad_chipset},
        {"chipset before checksum", fam10h, [](Bytes& b) { b[0x14] = 1; b[0x300] ^= 1; }, AmdStatus::bad_chipset},
        {"a wrong sum", fam10h, [](Bytes& b) { b[0x300] ^= 1; }, AmdStatus::bad_checksum},
        {"a newer format's field neither 0 nor a base revision", zen,
         [](Bytes& b) { synth::put_le32(b, 0xC, 0x12345678); }, AmdStatus::bad_checksum},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes patch = synth::make_amd_patch(c.patch);
        c.change(patch);
        const Bytes container = synth::make_amd_container({{0x00100F22, c.patch.equiv_id}}, {patch});
        const tarnwick::AmdPatches found = tarnwick::find_amd_patches(container);
        ASSERT_EQ(found.patches.size(), 1u);
        EXPECT_EQ(tarnwick::amd_status_word(found.patches[0].status), tarnwick::amd_status_word(c.status));
        EXPECT_FALSE(found.patches[0].bare);
    }
    // Cut short: truncated, with the bytes missing.
    const Bytes whole = synth::make_amd_container({{0x00100F22, 0x1022}}, {synth::make_amd_patch(fam10h)});
    const Bytes cut(whole.begin(), whole.end() - 100);
    const tarnwick::AmdPatches found = tarnwick::find_amd_patches(cut);
    ASSERT_EQ(found.patches.size(), 1u);
    EXPECT_EQ(found.patches[0].status, AmdStatus::truncated);
    EXPECT_EQ(found.patches[0].missing, 100u);
}

TEST(Amd, ContainersEndToEndAndBarePatchesBesideThem) {
    const Bytes a = synth::make_amd_container({{0x00100F22, 0x1022}, {0x00100F23, 0x1022}},
                                              {synth::make_amd_patch(fam10h)});
    const Bytes b = synth::make_amd_container({{0x00800F12, 0x8012}}, {synth::make_amd_patch(zen)});
    Bytes image = a;
    synth::append(image, b);
    // A copy of a's patch inside it is not found again as bare; one after
    // the containers is.
    synth::append(image, Bytes(16, 0xFF));
    const std::size_t bare_at = image.size();
    synth::append(image, synth::make_amd_patch(fam19h));
    const tarnwick::AmdPatches found = tarnwick::find_amd_patches(image);
    ASSERT_EQ(found.containers.size(), 2u);
    ASSERT_EQ(found.patches.size(), 3u);
    EXPECT_EQ(found.patches[0].cpuids, (std::vector<std::uint32_t>{0x00100F22, 0x00100F23}));
    EXPECT_EQ(found.patches[1].cpuids, (std::vector<std::uint32_t>{0x00800F12}));
    EXPECT_EQ(found.patches[2].offset, bare_at);
    EXPECT_TRUE(found.patches[2].bare);
    EXPECT_EQ(found.patches[2].cpuids, (std::vector<std::uint32_t>{0x00A60F12})) << "Zen names its processor";
}

// The loader's folder: the newest patch per equivalence id, and beside one
// that needs a base revision, the newest that needs none.
TEST(Amd, LayoutAndCurrency) {
    synth::AmdPatch older = zen;
    older.patch_id = 0x08001250;
    synth::AmdPatch conditional = zen;
    conditional.patch_id = 0x08001280;
    conditional.checksum_field = 0x08001270;
    const Bytes container = synth::make_amd_container(
        {{0x00800F12, 0x8012}, {0x00100F22, 0x1022}},
        {synth::make_amd_patch(older), synth::make_amd_patch(zen), synth::make_amd_patch(conditional),
         synth::make_amd_patch(fam10h)});
    const tarnwick::AmdPatches found = tarnwick::find_amd_patches(container);
    ASSERT_EQ(found.patches.size(), 4u);
    EXPECT_EQ(found.patches[2].min_revision, 0x08001270u);
    const std::vector<tarnwick::AmdLayoutFile> layout = tarnwick::amd_loader_layout(found.patches);
    ASSERT_EQ(layout.size(), 2u);
    EXPECT_EQ(layout[0].name, "microcode_amd.bin");
    EXPECT_EQ(layout[0].patches, (std::vector<std::size_t>{3}));
    EXPECT_EQ(layout[1].name, "microcode_amd_fam17h.bin");
    EXPECT_EQ(layout[1].patches, (std::vector<std::size_t>{1, 2})) << "newest, and newest without a base revision";

    const std::vector<tarnwick::AmdKnown> reference = {{0x8012, 0x08001280}, {0x1022, 0x01000090}};
    const std::vector<tarnwick::CurrencyRow> rows = tarnwick::compare_amd_currency(found.patches, reference);
    const std::vector<tarnwick::Currency> expected = {tarnwick::Currency::superseded, tarnwick::Currency::superseded,
                                                      tarnwick::Currency::latest, tarnwick::Currency::outdated};
    ASSERT_EQ(rows.size(), expected.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].currency, expected[i]) << i;
    }
    EXPECT_EQ(rows[3].newest, 0x01000090u);
    EXPECT_EQ(tarnwick::compare_amd_currency(found.patches, {})[3].currency, tarnwick::Currency::unknown);

    // The container written back holds every CPUID-to-patch pair.
    std::vector<tarnwick::AmdLayoutPatch> written;
    for (std::size_t i : layout[1].patches) {
        const tarnwick::AmdPatch& p = found.patches[i];
        written.push_back({tarnwick::Image(container).subspan(p.offset, p.size), p.header.equiv_id, p.equiv});
    }
    const std::vector<std::uint8_t> out = tarnwick::amd_container(written);
    const tarnwick::AmdPatches again = tarnwick::find_amd_patches(out);
    ASSERT_EQ(again.patches.size(), 2u);
    EXPECT_EQ(again.patches[0].header.patch_id, 0x0800126Fu);
    EXPECT_EQ(again.patches[1].header.patch_id, 0x08001280u);
    EXPECT_EQ(again.patches[1].cpuids, (std::vector<std::uint32_t>{0x00800F12}));
}

// The vector walk gives the positions a byte-at-a-time walk gives.
TEST(Amd, CandidateWalkAgreesWithAPlainOne) {
    Bytes image(5000, 0);
    std::uint32_t x = 12345;
    for (std::uint8_t& b : image) {
        x = x * 1103515245 + 12345;
        const std::uint8_t r = static_cast<std::uint8_t>(x >> 16);
        b = r < 40 ? 0x20 : r < 80 ? 0x80 : r;
    }
    // Containers' magic here and there, the last in the final bytes.
    for (std::size_t at : {std::size_t{7}, std::size_t{100}, std::size_t{101}, std::size_t{4990}, std::size_t{4996}}) {
        std::copy_n("DMA", 4, image.begin() + static_cast<std::ptrdiff_t>(at));
    }
    std::vector<std::size_t> plain;
    for (std::size_t i = 0; i < image.size(); ++i) {
        const bool bare = i + 64 <= image.size() && image[i + 1] == 0x20 && image[i + 9] == 0x80;
        const bool magic = i + 4 <= image.size() && std::equal(image.begin() + static_cast<std::ptrdiff_t>(i),
                                                               image.begin() + static_cast<std::ptrdiff_t>(i + 4),
                                                               "DMA");
        if (bare || magic) {
            plain.push_back(i);
        }
    }
    for (std::size_t batch : {std::size_t{1}, std::size_t{7}, std::size_t{256}}) {
        std::vector<std::size_t> walked;
        std::vector<std::size_t> out(batch);
        std::size_t from = 0;
        while (const std::size_t n = tarnwick::find_amd_candidates(image, from, out)) {
            walked.insert(walked.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
        }
        EXPECT_EQ(walked, plain) << batch;
    }
}

// -json's walk, a slice of the image at a time, finds what the walk over
// the whole image finds: patches and containers across the slices' edges.
TEST(Amd, SlicedWalkAgreesWithTheWholeOne) {
    Bytes image(3 * 0x10000 + 0x80, 0xFF);
    const Bytes bare = synth::make_amd_patch(zen);
    const Bytes container = synth::make_amd_container({{0x00100F22, 0x1022}}, {synth::make_amd_patch(fam10h)});
    const auto put = [&](const Bytes& bytes, std::size_t at) {  // cut off at the image's end
        std::copy_n(bytes.begin(), std::min(bytes.size(), image.size() - at),
                    image.begin() + static_cast<std::ptrdiff_t>(at));
    };
    put(bare, 0x10000 - 40);        // its header across the first edge
    put(bare, 0x10000 - 64 - 0x1000);
    put(container, 0x20000 - 2);    // the magic across the second
    put(bare, 0x30000 - 0x800);       // a header whose body runs past the end
    put(container, 0x30000 - 0x100);  // and a container whose patch does
    const tarnwick::AmdPatches whole = tarnwick::find_amd_patches(image);
    tarnwick::AmdScanner scanner(image);
    tarnwick::scan_image(image, scanner);
    const tarnwick::AmdPatches sliced = scanner.finish();
    ASSERT_EQ(sliced.patches.size(), whole.patches.size());
    EXPECT_EQ(whole.patches.size(), 5u);
    EXPECT_EQ(whole.patches.back().status, tarnwick::AmdStatus::truncated);
    for (std::size_t i = 0; i < whole.patches.size(); ++i) {
        EXPECT_EQ(sliced.patches[i].offset, whole.patches[i].offset) << i;
        EXPECT_EQ(sliced.patches[i].status, whole.patches[i].status) << i;
    }
    EXPECT_EQ(sliced.containers, whole.containers);
}

// Debian's amd64-microcode, where it is installed: every patch intact, each
// found again bare once its container is gone, and the loader's layout of
// them gives back every CPUID-to-patch pair.
TEST(Amd, DistributionPackage) {
    namespace fs = std::filesystem;
    const fs::path dir = "/lib/firmware/amd-ucode";
    if (!fs::exists(dir / "microcode_amd_fam17h.bin")) {
        GTEST_SKIP() << "amd64-microcode is not installed (Debian's non-free-firmware)";
    }
    Bytes all;
    std::map<std::uint32_t, std::uint32_t> mapping;  // CPUID to the newest patch id
    for (const auto& entry : fs::directory_iterator(dir)) {
        std::ifstream f(entry.path(), std::ios::binary);
        synth::append(all, Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>()));
    }
    const tarnwick::AmdPatches found = tarnwick::find_amd_patches(all);
    ASSERT_FALSE(found.patches.empty());
    Bytes bare(16, 0xFF);
    for (const tarnwick::AmdPatch& p : found.patches) {
        EXPECT_EQ(p.status, AmdStatus::ok) << std::hex << p.header.patch_id;
        EXPECT_FALSE(p.bare);
        for (std::uint32_t c : p.cpuids) {
            mapping[c] = std::max(mapping[c], p.header.patch_id);
        }
        synth::append(bare, Bytes(all.begin() + static_cast<std::ptrdiff_t>(p.offset),
                                  all.begin() + static_cast<std::ptrdiff_t>(p.end())));
        synth::append(bare, Bytes(48, 0xFF));
    }
    EXPECT_EQ(tarnwick::find_amd_patches(bare).patches.size(), found.patches.size());

    std::map<std::uint32_t, std::uint32_t> written;
    for (const tarnwick::AmdLayoutFile& f : tarnwick::amd_loader_layout(found.patches)) {
        for (std::size_t i : f.patches) {
            for (std::uint32_t c : found.patches[i].cpuids) {
                written[c] = std::max(written[c], found.patches[i].header.patch_id);
            }
        }
    }
    EXPECT_EQ(written, mapping);
}

}  // namespace
