// The Boot Guard reader: every manifest layout read whole, every cut and
// every broken field refused without a read outside the bytes, the image's
// state from its entries, AMI's range file, and the ranges a change must
// leave alone.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bootguard/boot_guard.h"
#include "flash.h"
#include "manifests.h"

namespace {

using synth::Bytes;
using synth::Cover;
using synth::GuardOptions;
using synth::IbbRange;
using tarnwick::ManifestState;

constexpr std::uint8_t km = tarnwick::fit_type_key_manifest;
constexpr std::uint8_t bpm = tarnwick::fit_type_boot_policy;

const std::vector<IbbRange> two_ranges = {{0xFFFF0000, 0x10000, true}, {0xFFFE0000, 0x100, false}};

synth::BootPolicy policy(std::uint8_t version, bool two_sets = false, bool unknown = false) {
    synth::BootPolicy p{.version = version, .sets = {two_ranges}, .unknown_element = unknown};
    if (two_sets) {
        p.sets.push_back({{0xFFF00000, 0x2000, true}});
    }
    return p;
}

struct Layout {
    const char* name;
    std::uint8_t type;
    Bytes bytes;
    std::uint8_t version, svn, second;  // second: the KMID or the ACM SVN
    std::size_t segments;
};

std::vector<Layout> layouts() {
    return {
        {"KM 0x10", km, synth::key_manifest(0x10, 5, 7), 0x10, 5, 7, 0},
        {"KM 0x21", km, synth::key_manifest(0x21, 6, 9), 0x21, 6, 9, 0},
        {"BPM 0x10", bpm, synth::boot_policy(policy(0x10)), 0x10, 3, 2, 2},
        {"BPM 0x22", bpm, synth::boot_policy(policy(0x22)), 0x22, 3, 2, 2},
        {"BPM 0x25, two sets and an unknown element", bpm, synth::boot_policy(policy(0x25, true, true)), 0x25, 3, 2, 3},
    };
}

// Each layout reads whole; every shorter prefix of it is cut short, and
// reading it never looks past the bytes it is given (the sanitizer build
// and the fuzzer hold it to that).
TEST(BootGuard, EveryLayoutReadsWholeAndNoPrefixDoes) {
    for (const Layout& l : layouts()) {
        SCOPED_TRACE(l.name);
        const tarnwick::Manifest m = tarnwick::read_manifest(l.bytes, l.type);
        ASSERT_EQ(m.state, ManifestState::present) << m.why;
        EXPECT_EQ(m.version, l.version);
        EXPECT_EQ(m.svn, l.svn);
        EXPECT_EQ(l.type == km ? m.kmid : m.acm_svn, l.second);
        ASSERT_EQ(m.segments.size(), l.segments);
        if (l.type == bpm) {
            EXPECT_EQ(m.segments[0].base, 0xFFFF0000u);
            EXPECT_EQ(m.segments[0].size, 0x10000u);
            EXPECT_TRUE(m.segments[0].hashed);
            EXPECT_FALSE(m.segments[1].hashed) << "flags bit 0 excludes a segment";
        }
        for (std::size_t n = 0; n < l.bytes.size(); ++n) {
            const Bytes cut(l.bytes.begin(), l.bytes.begin() + static_cast<std::ptrdiff_t>(n));
            const tarnwick::Manifest c = tarnwick::read_manifest(cut, l.type);
            ASSERT_EQ(c.state, ManifestState::malformed) << "cut at " << n;
            EXPECT_TRUE(c.segments.empty()) << "a malformed manifest lists no segment";
        }
    }
}

void put16(Bytes& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

// Broken fields, one at a time, each with what the reader says of it.
TEST(BootGuard, BrokenFieldsAreMalformed) {
    const Bytes km1 = synth::key_manifest(0x10);
    const Bytes km2 = synth::key_manifest(0x21);
    const Bytes bpm1 = synth::boot_policy(policy(0x10));
    const Bytes bpm2 = synth::boot_policy(policy(0x25, true, true));
    const synth::BootPolicyLayout at1 = synth::boot_policy_layout(policy(0x10));
    const synth::BootPolicyLayout at2 = synth::boot_policy_layout(policy(0x25, true, true));
    const std::size_t km1_signature = 12 + 4 + 32;
    struct Case {
        const char* name;
        std::uint8_t type;
        Bytes bytes;
        const char* says;
    };
    std::vector<Case> cases;
    auto with = [&](const char* name, std::uint8_t type, Bytes b, auto change, const char* says) {
        change(b);
        cases.push_back({name, type, std::move(b), says});
    };
    with("an unknown key algorithm", km, km1, [&](Bytes& b) { put16(b, km1_signature + 1, 0x0002); }, "key algorithm 0x2");
    with("a key of 0 bits", km, km1, [&](Bytes& b) { put16(b, km1_signature + 4, 0); }, "key has 0 bits");
    with("a key of 2047 bits", km, km1, [&](Bytes& b) { put16(b, km1_signature + 4, 2047); }, "2047 bits");
    with("a signature of 12 bits", km, km1,
         [&](Bytes& b) { put16(b, km1_signature + 3 + 3 + 4 + 256 + 2 + 1, 12); }, "signature has 12 bits");
    with("ECC needs twice the key's bytes", km, km1, [&](Bytes& b) { put16(b, km1_signature + 1, 0x0023); }, "");
    with("hashes past the key signature", km, km2, [&](Bytes& b) { put16(b, 0x0C, 30); }, "past its key signature");
    with("a hash count past the end", km, km2, [&](Bytes& b) { put16(b, 22, 0xFFFF); }, "cut short");
    with("an element that a version 1 manifest can't skip", bpm, bpm1,
         [&](Bytes& b) { b[at1.first_set + 2] = 'X'; }, "__XBBS__");
    with("a segment count past the end", bpm, bpm1, [&](Bytes& b) { b[at1.first_set + 0x84] = 200; }, "cut short");
    with("version 1 without a set", bpm, [&] {
        Bytes b(bpm1.begin(), bpm1.begin() + 16);
        b.insert(b.end(), bpm1.begin() + static_cast<std::ptrdiff_t>(at1.signature), bpm1.end());
        return b;
    }(), [](Bytes&) {}, "no __IBBS__");
    with("a signature at the wrong offset", bpm, bpm2,
         [&](Bytes& b) { put16(b, 0x0C, static_cast<std::uint16_t>(at2.signature + 16)); }, "not at +");
    with("an element running past the end", bpm, bpm2, [&](Bytes& b) { put16(b, at2.first_set + 10, 0xFFF0); },
         "cut short");
    with("an element smaller than its header", bpm, bpm2, [&](Bytes& b) { put16(b, at2.first_set + 10, 11); },
         "fewer than its header");
    with("a set's segments past its element", bpm, bpm2,
         [&](Bytes& b) { b[at2.first_set + 0x3C + 36 + 4 + 76 + 36 + 3] = 40; }, "runs past its element");
    with("a digest list that miscounts itself", bpm, bpm2,
         [&](Bytes& b) { put16(b, at2.first_set + 0x3C + 36 + 4, 4 + 36); }, "digest list");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const tarnwick::Manifest m = tarnwick::read_manifest(c.bytes, c.type);
        EXPECT_EQ(m.state, ManifestState::malformed);
        EXPECT_NE(m.why.find(c.says), std::string::npos) << m.why;
    }

    // ECC and SM2 keys and signatures take two numbers each, RSA one.
    for (const std::uint16_t algorithm : {std::uint16_t{0x0023}, std::uint16_t{0x001B}}) {
        Bytes b(km1.begin(), km1.begin() + static_cast<std::ptrdiff_t>(km1_signature));
        const Bytes signature = {0x10, static_cast<std::uint8_t>(algorithm), 0x00, 0x10, 0x00, 0x01};  // 256-bit key
        b.insert(b.end(), signature.begin(), signature.end());
        b.resize(b.size() + 64, 0x5A);
        const Bytes scheme = {0x18, 0x00, 0x10, 0x00, 0x01, 0x0B, 0x00};  // scheme, version, 256 bits, SHA-256
        b.insert(b.end(), scheme.begin(), scheme.end());
        b.resize(b.size() + 64, 0xA5);
        EXPECT_EQ(tarnwick::read_manifest(b, km).state, ManifestState::present) << algorithm;
        b.pop_back();
        EXPECT_EQ(tarnwick::read_manifest(b, km).state, ManifestState::malformed) << algorithm;
    }
}

GuardOptions guard(GuardOptions::Manifests manifests, std::uint8_t km_version = 0x10, std::uint8_t bpm_version = 0x10) {
    GuardOptions g;
    g.manifests = manifests;
    g.km_version = km_version;
    g.bpm_version = bpm_version;
    return g;
}

tarnwick::BootGuard read(const Bytes& image) {
    return tarnwick::read_boot_guard(image, tarnwick::check_fit(image));
}

// The image's state from its entries, as vendors' images hold them.
TEST(BootGuard, ImageStateFromItsEntries) {
    using M = GuardOptions::Manifests;
    struct Case {
        const char* name;
        GuardOptions guard;
        ManifestState state;
        std::size_t hashed;  // hashed IBB segments
    };
    GuardOptions v2 = guard(M::real, 0x21, 0x25);
    v2.segments = {{Cover::startup_block}, {Cover::microcode_file, false}, {Cover::fit}};
    v2.two_sets = true;
    v2.unknown_element = true;
    const Case cases[] = {
        {"no entries", guard(M::none), ManifestState::absent, 0},
        {"entries naming zeros", guard(M::zeros), ManifestState::absent, 0},
        {"entries naming 0xFF", guard(M::erased), ManifestState::absent, 0},
        {"entries naming another file", guard(M::other_bytes), ManifestState::absent, 0},
        {"KM 0x10 and BPM 0x10", guard(M::real), ManifestState::present, 1},
        {"KM 0x21 and BPM 0x22", guard(M::real, 0x21, 0x22), ManifestState::present, 1},
        {"KM 0x21 and BPM 0x25, two sets", v2, ManifestState::present, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        synth::FlashOptions o;
        o.guard = c.guard;
        const synth::Flash flash = synth::make_flash(o);
        const tarnwick::BootGuard g = read(flash.image);
        EXPECT_EQ(g.named(), c.guard.manifests != M::none);
        EXPECT_EQ(g.state, c.state) << g.why;
        std::size_t hashed = 0;
        for (const tarnwick::IbbSegment& s : g.ibb()) {
            hashed += s.hashed ? 1 : 0;
        }
        EXPECT_EQ(hashed, c.hashed);
        EXPECT_EQ(tarnwick::protected_ranges(g, flash.image.size()).size(), c.hashed);
        if (c.state == ManifestState::present) {
            ASSERT_NE(g.first_present(km), nullptr);
            EXPECT_EQ(*g.first_present(km)->offset, flash.key_manifest);
            EXPECT_EQ(*g.first_present(bpm)->offset, flash.boot_policy);
        }
    }
}

// A manifest bounded by its FIT size or the file's end, or whose address
// maps outside the file, makes the image's state malformed, and says why.
TEST(BootGuard, BoundsOfEachEntry) {
    synth::FlashOptions o;
    o.guard = guard(GuardOptions::Manifests::real, 0x21, 0x22);
    o.guard.bpm_cut = 1;
    const synth::Flash cut = synth::make_flash(o);
    tarnwick::BootGuard g = read(cut.image);
    EXPECT_EQ(g.state, ManifestState::malformed);
    EXPECT_NE(g.why.find("runs past the 0x"), std::string::npos) << g.why;
    EXPECT_NE(g.why.find("bytes its FIT entry gives it"), std::string::npos) << g.why;
    EXPECT_TRUE(g.ibb().empty());
    EXPECT_TRUE(tarnwick::protected_ranges(g, cut.image.size()).empty());
    ASSERT_TRUE(tarnwick::boot_guard_error(g).has_value());

    // The same manifest at the file's very end, its entry's size larger than
    // what is left: cut by the file, not by the FIT.
    o.guard.bpm_cut = 0;
    const synth::Flash whole = synth::make_flash(o);
    const tarnwick::FitCheck fit = tarnwick::check_fit(whole.image);
    const Bytes bpm_bytes(whole.image.begin() + static_cast<std::ptrdiff_t>(whole.boot_policy),
                          whole.image.begin() + static_cast<std::ptrdiff_t>(whole.boot_policy + 0x100));
    const tarnwick::Image tail = tarnwick::Image(bpm_bytes);
    // Read as the whole file: the FIT is the one found above, the address of
    // a 0x100-byte file's start.
    tarnwick::FitCheck shifted = fit;
    for (tarnwick::FitEntry& e : shifted.entries) {
        if (e.type == bpm) {
            e.address = tarnwick::four_gib - tail.size();
        } else if (e.type == km) {
            e.address = tarnwick::four_gib;  // past the top: outside any file
        }
    }
    g = tarnwick::read_boot_guard(tail, shifted, {});
    ASSERT_EQ(g.manifests.size(), 2u);
    EXPECT_EQ(g.manifests[0].state, ManifestState::malformed);
    EXPECT_NE(g.manifests[0].why.find("maps outside the file"), std::string::npos) << g.manifests[0].why;
    EXPECT_EQ(g.manifests[1].state, ManifestState::malformed);
    EXPECT_NE(g.manifests[1].why.find("runs past the end of the file"), std::string::npos) << g.manifests[1].why;
}

// More entries than any real image has: read none, and say so.
TEST(BootGuard, TooManyEntries) {
    synth::FlashOptions o;
    o.guard = guard(GuardOptions::Manifests::real);
    const synth::Flash flash = synth::make_flash(o);
    tarnwick::FitCheck fit = tarnwick::check_fit(flash.image);
    const tarnwick::FitEntry policy_entry = fit.entries.back();
    for (int i = 0; i < 6; ++i) {
        fit.entries.push_back(policy_entry);
    }
    EXPECT_EQ(tarnwick::read_boot_guard(flash.image, fit).state, ManifestState::present) << "8 entries are read";
    fit.entries.push_back(policy_entry);
    const tarnwick::BootGuard g = tarnwick::read_boot_guard(flash.image, fit);
    EXPECT_TRUE(g.named());
    EXPECT_EQ(g.state, ManifestState::malformed);
    EXPECT_TRUE(g.manifests.empty());
    EXPECT_NE(g.why.find("9 key and boot policy manifest entries"), std::string::npos) << g.why;
}

// AMI's file: both sizes, the ranges that count, and files that hold
// something else.
TEST(BootGuard, AmiProtectedRanges) {
    const synth::Guid name = synth::guid("CBC91F44-A4BC-4A5B-8696-703451D0B053");
    const IbbRange a{0xFFF00000, 0x1000, true}, b{0xFFF80000, 0x800, true}, c{0xFFFF0000, 0x100, true},
        d{0xFFFE0000, 0x40, true};
    struct Case {
        const char* name;
        Bytes section;
        std::size_t counted;
    };
    auto changed = [](Bytes s, std::size_t at, std::uint32_t v) {
        synth::put_le32(s, at, v);
        return s;
    };
    // The extended form: a size of 0xFFFFFF, the real one after it.
    Bytes extended = synth::protected_range_section({a, b});
    extended[0] = extended[1] = extended[2] = 0xFF;
    extended.insert(extended.begin() + 4, {84 + 4, 0, 0, 0});
    Bytes long_section = synth::protected_range_section({a, b});
    long_section.push_back(0);
    long_section[0] = 85;
    const Case cases[] = {
        {"80 bytes, two ranges", synth::protected_range_section({a, b}), 2},
        {"80 bytes, one unused", synth::protected_range_section({a}), 1},
        {"112 bytes, three and a nested one", synth::protected_range_section({a, b, c, d}), 4},
        {"112 bytes, a size of 0", changed(synth::protected_range_section({a, b, c, d}), 4 + 48, 0), 3},
        {"112 bytes, a size of 0xFFFFFFFF", changed(synth::protected_range_section({a, b, c, d}), 4 + 52, 0xFFFFFFFF), 3},
        {"the extended section header", extended, 2},
        {"not a RAW section", [&] { Bytes s = synth::protected_range_section({a, b}); s[3] = 0x10; return s; }(), 0},
        {"81 data bytes", long_section, 0},
        {"a section longer than its file", changed(synth::protected_range_section({a, b}), 0, 0x190000 | 0x54), 0},
        {"a file too short for a section header", Bytes{0x54, 0x00}, 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        const Bytes file = synth::ffs_file(name, 0x02, 0x00, k.section);
        tarnwick::FfsFile f;
        f.offset = 0;
        f.size = file.size();
        const std::vector<tarnwick::VendorRange> ranges = tarnwick::vendor_ranges(file, f);
        ASSERT_EQ(ranges.size(), k.counted);
        if (k.counted != 0) {
            EXPECT_EQ(ranges[0].base, a.base);
            EXPECT_EQ(ranges[0].size, a.size);
        }
    }
}

// What a change must leave alone: hashed segments and AMI's ranges, only
// where a manifest is present, each clipped to the image, excluded
// segments and ranges outside the image left out.
TEST(BootGuard, ProtectedRangesClipToTheImage) {
    tarnwick::BootGuard g;
    g.entries = 1;
    g.state = ManifestState::present;
    tarnwick::Manifest policy_manifest;
    policy_manifest.type = bpm;
    policy_manifest.state = ManifestState::present;
    policy_manifest.segments = {
        {0xFFDFF000, 0x2000, true},  // starts below the image
        {0xFFFFF000, 0x2000, true},  // runs past 4 GiB
        {0x00001000, 0x0100, true},  // wholly below
        {0xFFE00100, 0x0100, false}, // excluded
    };
    g.manifests = {policy_manifest};
    g.vendor = {{0x40, 0xFFE00010, 0x10}};
    const std::vector<tarnwick::ProtectedRange> ranges = tarnwick::protected_ranges(g, 0x200000);
    ASSERT_EQ(ranges.size(), 3u);
    EXPECT_EQ(ranges[0].begin, 0u);
    EXPECT_EQ(ranges[0].end, 0x1000u);
    EXPECT_EQ(ranges[1].begin, 0x1FF000u);
    EXPECT_EQ(ranges[1].end, 0x200000u);
    EXPECT_EQ(ranges[2].begin, 0x10u);
    EXPECT_EQ(ranges[2].end, 0x20u);
    EXPECT_TRUE(ranges[2].vendor);
    const auto merged = tarnwick::range_union(ranges);
    ASSERT_EQ(merged.size(), 2u) << "[0x10, 0x20) lies inside [0, 0x1000)";
    EXPECT_EQ(merged[0], (std::pair<std::size_t, std::size_t>{0, 0x1000}));

    g.state = ManifestState::absent;
    EXPECT_TRUE(tarnwick::protected_ranges(g, 0x200000).empty()) << "nothing is protected without a manifest";
    g.state = ManifestState::malformed;
    EXPECT_TRUE(tarnwick::protected_ranges(g, 0x200000).empty());
}

}  // namespace
