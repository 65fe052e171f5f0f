// The fast search, candidate walk and MPDT verdict against the plain ones in
// reference.h, on random and adversarial images. Every image is an exact-size
// heap copy, so the sanitizer build catches a load past its end.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "reference.h"
#include "search/checksum.h"
#include "survey/image_scan.h"
#include "intel/update_check.h"
#include "search/find_pattern.h"
#include "intel/microcode_header.h"
#include "amd/amd.h"
#include "synth.h"

namespace {

using synth::Bytes;
using tarnwick::Image;
using tarnwick::Pattern;

struct Random {
    std::uint64_t state;
    std::uint32_t below(std::uint32_t n) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return static_cast<std::uint32_t>(state >> 32) % n;
    }
};

class HeapImage {
public:
    explicit HeapImage(const Bytes& b) : size_(b.size()), bytes_(new std::uint8_t[b.empty() ? 1 : b.size()]) {
        std::copy(b.begin(), b.end(), bytes_.get());
    }
    Image image() const { return Image(bytes_.get(), size_); }

private:
    std::size_t size_;
    std::unique_ptr<std::uint8_t[]> bytes_;
};

const std::vector<Bytes>& tool_patterns() {
    static const std::vector<Bytes> p = {
        Bytes(tarnwick::header_marker.begin(), tarnwick::header_marker.end()),
        Bytes(tarnwick::fit_signature.begin(), tarnwick::fit_signature.end()),
        Bytes(tarnwick::mpdt_boot_pattern.begin(), tarnwick::mpdt_boot_pattern.end()),
        Bytes(tarnwick::mpdt_noboot_pattern.begin(), tarnwick::mpdt_noboot_pattern.end()),
    };
    return p;
}

// A dated header at the front: the fields the rule reads, sizes that agree
// or not, chosen at random.
Bytes dated_header(Random& r) {
    const std::uint32_t century = r.below(3) == 0 ? 0x21 : (r.below(2) == 0 ? 0x19 : 0x20);
    const std::uint32_t data = r.below(2) == 0 ? 0 : 0x400;
    const std::uint32_t total = r.below(4) == 0 ? data + 49 : (data == 0 && r.below(2) == 0 ? 0 : data + 48);
    return synth::make_header(r.below(5), 0x01010001 | century << 8, 0x306C3, 0x32, data, total);
}

// Images made of the runs and near-misses that fast searches get wrong:
// zeros, 0xFF fill, random bytes, runs of 01 00 00 00, patterns with one
// byte changed or cut short, whole patterns and dated headers.
Bytes adversarial(Random& r, std::size_t length) {
    Bytes b;
    while (b.size() < length) {
        const std::uint32_t run = 1 + r.below(40);
        switch (r.below(9)) {
            case 0: b.insert(b.end(), run, 0x00); break;
            case 1: b.insert(b.end(), run, 0xFF); break;
            case 2: for (std::uint32_t i = 0; i < run; ++i) b.push_back(static_cast<std::uint8_t>(r.below(256))); break;
            case 3: for (std::uint32_t i = 0; i < run; ++i) synth::append(b, {1, 0, 0, 0}); break;
            case 4: {
                Bytes p = tool_patterns()[r.below(4)];
                p[r.below(static_cast<std::uint32_t>(p.size()))] ^= static_cast<std::uint8_t>(1 + r.below(255));
                p.resize(1 + r.below(static_cast<std::uint32_t>(p.size())));
                synth::append(b, p);
                break;
            }
            case 5: synth::append(b, tool_patterns()[r.below(4)]); break;
            case 6: synth::append(b, dated_header(r)); break;
            case 7: for (std::uint32_t i = 0; i < run; ++i) b.push_back(static_cast<std::uint8_t>(r.below(2))); break;
            default: synth::append(b, synth::mpdt_record(r.below(2) == 0)); break;
        }
    }
    b.resize(length);
    return b;
}

// Every length from 0 to 100 several times, then longer images that run
// through many blocks.
std::vector<Bytes> images() {
    Random r{0x9E3779B97F4A7C15};
    std::vector<Bytes> all;
    for (std::size_t length = 0; length <= 100; ++length) {
        for (int k = 0; k < 12; ++k) {
            all.push_back(adversarial(r, length));
        }
    }
    for (int k = 0; k < 400; ++k) {
        all.push_back(adversarial(r, 101 + r.below(900)));
    }
    // Each tool pattern at every offset mod 64 in fill, and at the very end.
    for (const Bytes& p : tool_patterns()) {
        for (const int fill : {0x00, 0xFF}) {
            for (std::size_t at = 0; at < 128; ++at) {
                Bytes b(at, static_cast<std::uint8_t>(fill));
                synth::append(b, p);
                all.push_back(b);
                b.resize(b.size() + 1 + (at % 7), static_cast<std::uint8_t>(fill));
                all.push_back(b);
            }
        }
    }
    return all;
}

std::vector<std::size_t> fast_matches(Image image, Pattern pattern) {
    std::vector<std::size_t> found;
    tarnwick::for_each_match(image, pattern, [&](std::size_t at) { found.push_back(at); });
    return found;
}

TEST(Differential, FindPatternAgreesWithHorspool) {
    Random r{42};
    for (const Bytes& bytes : images()) {
        const HeapImage heap(bytes);
        const Image image = heap.image();
        std::vector<Bytes> patterns = tool_patterns();
        for (std::uint32_t length = 1; length <= 16; ++length) {
            Bytes random(length);
            for (auto& byte : random) byte = static_cast<std::uint8_t>(r.below(3));
            patterns.push_back(random);
            if (length <= bytes.size()) {
                // Taken from the image itself, so that it matches somewhere.
                const std::size_t at = r.below(static_cast<std::uint32_t>(bytes.size() - length + 1));
                patterns.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                      bytes.begin() + static_cast<std::ptrdiff_t>(at + length));
            }
        }
        for (const Bytes& pattern : patterns) {
            const HeapImage heap_pattern(pattern);
            const Pattern pat(heap_pattern.image());
            const std::size_t step = bytes.size() <= 100 ? 1 : 1 + bytes.size() / 8 + r.below(16);
            for (std::size_t from = 0; from <= bytes.size() + 1; from += step) {
                ASSERT_EQ(tarnwick::find_pattern(image, from, pat), reference::find(image, from, pat))
                    << "image of " << bytes.size() << " bytes, pattern of " << pattern.size() << ", from " << from;
            }
            ASSERT_EQ(fast_matches(image, pat), reference::all_matches(image, pat))
                << "image of " << bytes.size() << " bytes, pattern of " << pattern.size();
        }
    }
}

TEST(Differential, CandidateWalkAgreesWithRestartedSearch) {
    for (const Bytes& bytes : images()) {
        const HeapImage heap(bytes);
        reference::Walk fast;
        fast.any_candidate = tarnwick::for_each_qualifying_header(
            heap.image(), [&](const tarnwick::MicrocodeUpdateHeader& h) { fast.qualifying.push_back(h); });
        ASSERT_EQ(fast, reference::walk(heap.image())) << "image of " << bytes.size() << " bytes";
    }
}

TEST(Differential, MpdtVerdictAgreesWithTwoSearches) {
    for (const Bytes& bytes : images()) {
        const HeapImage heap(bytes);
        ASSERT_EQ(tarnwick::find_mpdt_record(heap.image()), reference::mpdt(heap.image()))
            << "image of " << bytes.size() << " bytes";
    }
}

std::uint32_t plain_sum(Image image) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 4 <= image.size(); i += 4) {
        sum += tarnwick::read_le32(image, i);
    }
    return sum;
}

// The checksum's one pass goes through the image a slice at a time: a marker
// across two slices, or in the last bytes, must still count.
TEST(Differential, ChecksumPassAgreesWithSearchAndSum) {
    std::vector<Bytes> all = images();
    constexpr std::size_t slice = 64 * 1024;
    for (std::size_t at = slice - 5; at <= slice + 1; ++at) {
        for (std::size_t tail : {0, 1, 3, 4, 7, 100}) {
            Bytes b(at + 4 + tail, 0xFF);
            synth::put_le32(b, at, 1);
            all.push_back(b);
            b.resize(at + 3);  // cut by the end
            all.push_back(b);
        }
    }
    Random r{99};
    all.push_back(adversarial(r, 3 * slice + 17));
    for (const Bytes& bytes : all) {
        const HeapImage heap(bytes);
        const tarnwick::MicrocodeChecksum fast = tarnwick::check_words(heap.image());
        ASSERT_EQ(fast.has_marker, reference::find(heap.image(), 0, tarnwick::header_marker).has_value())
            << "image of " << bytes.size() << " bytes";
        ASSERT_EQ(fast.sum, plain_sum(heap.image())) << "image of " << bytes.size() << " bytes";
    }
}

// The block loop must hand over to the byte loop exactly where a block's
// last position would have its judged bytes cut by the end.
TEST(Differential, HeaderAtEveryDistanceFromTheEnd) {
    const Bytes header = synth::make_header(7, 0x02022020, 0x1234, 0x10, 0, 48);
    Random r{7};
    for (const Bytes& prefix : {Bytes(200, 0xFF), adversarial(r, 200)}) {
        for (std::size_t distance = 0; distance <= 140; ++distance) {
            Bytes bytes = prefix;
            synth::append(bytes, header);
            bytes.resize(prefix.size() + distance, 0x00);
            const HeapImage heap(bytes);
            reference::Walk fast;
            fast.any_candidate = tarnwick::for_each_qualifying_header(
                heap.image(), [&](const tarnwick::MicrocodeUpdateHeader& h) { fast.qualifying.push_back(h); });
            const reference::Walk plain = reference::walk(heap.image());
            ASSERT_EQ(fast, plain) << "header " << distance << " bytes before the end";
            EXPECT_EQ(std::count(plain.qualifying.begin(), plain.qualifying.end(), *tarnwick::view_header(header, 0)),
                      distance >= tarnwick::judged_header_bytes ? 1 : 0)
                << distance;
        }
    }
}

}  // namespace

namespace {

// -json's one pass over slices must give what the three plain passes give,
// with patterns across slice boundaries and in the last bytes.
TEST(Differential, ImageScanAgreesWithThePlainPasses) {
    std::vector<Bytes> all = images();
    constexpr std::size_t slice = 64 * 1024;
    for (const Bytes& p : {synth::mpdt_record(true), synth::mpdt_record(false),
                           Bytes{'_', 'F', 'I', 'T', '_', ' ', ' ', ' '}}) {
        for (std::size_t at = slice - p.size(); at <= slice + 1; ++at) {
            Bytes b(at, 0xFF);
            synth::append(b, p);
            all.push_back(b);
            b.resize(b.size() + 5, 0xFF);
            all.push_back(b);
        }
    }
    Random r{1234};
    all.push_back(adversarial(r, 3 * slice + 17));
    for (const Bytes& bytes : all) {
        const HeapImage heap(bytes);
        const tarnwick::ImageScan scan = tarnwick::scan_image(heap.image());
        ASSERT_EQ(scan.sum, plain_sum(heap.image())) << "image of " << bytes.size() << " bytes";
        ASSERT_EQ(scan.mpdt, reference::mpdt(heap.image())) << "image of " << bytes.size() << " bytes";
        ASSERT_EQ(scan.fit_signatures, reference::all_matches(heap.image(), tarnwick::fit_signature))
            << "image of " << bytes.size() << " bytes";
    }
}

// Reading a container as the loader does finds what the full walk finds
// intact, where no update hides inside another's bytes.
TEST(Differential, IntactUpdatesOfAContainer) {
    Random r{77};
    for (int k = 0; k < 50; ++k) {
        Bytes b = adversarial(r, r.below(300));
        for (int u = 0; u < 4; ++u) {
            synth::Update update{};
            update.revision = r.below(100);
            update.data_size = r.below(3) == 0 ? 0 : 4 * (1 + r.below(100));
            if (r.below(2) == 0) {
                update.extra_signatures = {0x906EB, 0x906EC};
            }
            Bytes one = synth::make_update(update);
            if (r.below(4) == 0) {
                one[48 + r.below(static_cast<std::uint32_t>(one.size() - 48))] ^= 1;  // damaged
            }
            synth::append(b, one);
            synth::append(b, adversarial(r, r.below(100)));
        }
        const HeapImage heap(b);
        std::vector<std::size_t> full;
        for (const tarnwick::FoundUpdate& f : tarnwick::find_updates(heap.image()).updates) {
            if (f.check.status == tarnwick::UpdateStatus::ok) {
                full.push_back(f.offset);
            }
        }
        std::vector<std::size_t> loader;
        for (const tarnwick::FoundUpdate& f : tarnwick::find_intact_updates(heap.image())) {
            loader.push_back(f.offset);
        }
        EXPECT_EQ(loader, full);
    }
}

}  // namespace

namespace {

// -json's pass skips 64 bytes at a time where none of the candidates' first
// pairs occurs: updates, AMD patches and containers, FIT and MPDT records,
// each at every offset around a block's and a slice's edge and in the last
// bytes, in quiet 0xFF, must be found as the plain walks find them.
TEST(Differential, OnePassOverQuietBlocksFindsWhatEachWalkFinds) {
    constexpr std::size_t slice = 64 * 1024;
    const Bytes update = synth::make_update({});
    const Bytes amd_bare = synth::make_amd_patch({.date = 0x12192023, .patch_id = 0x0800126F, .format = 0x8004,
                                                  .len = 0, .init = 0, .equiv_id = 0x8012, .size = 0xC80,
                                                  .checksum = false, .checksum_field = 0});
    const Bytes amd_container = synth::make_amd_container({{0x00100F22, 0x1022}}, {synth::make_amd_patch({})});
    const Bytes fit = {'_', 'F', 'I', 'T', '_', ' ', ' ', ' '};
    for (const std::size_t base : {slice - 128, slice, 2 * slice - 64}) {
        for (std::size_t shift = 0; shift < 64; shift += (shift < 12 || shift > 52) ? 1 : 7) {
            Bytes b(3 * slice + 0x60, 0xFF);
            const auto put = [&](const Bytes& what, std::size_t at) {
                std::copy_n(what.begin(), std::min(what.size(), b.size() - at), b.begin() + static_cast<std::ptrdiff_t>(at));
            };
            put(update, base + shift);
            put(amd_bare, base + 0x1000 + shift);
            put(amd_container, base + 0x3000 + shift);
            put(fit, base + 0x5000 + shift);
            put(synth::mpdt_record(shift % 2 == 0), base + 0x6000 + shift);
            put(update, b.size() - 0x40 + shift % 16);  // cut off at the end
            put(fit, b.size() - 8 - shift % 8);
            const HeapImage heap(b);
            const tarnwick::Image image = heap.image();
            tarnwick::UpdateFinder finder(image);
            tarnwick::AmdScanner amd(image);
            const tarnwick::ImageScan scan = tarnwick::scan_image(image, finder, amd);
            const tarnwick::FoundUpdates one_pass = finder.finish();
            const tarnwick::FoundUpdates plain = tarnwick::find_updates(image);
            SCOPED_TRACE("base " + std::to_string(base) + ", shift " + std::to_string(shift));
            EXPECT_EQ(one_pass.any_candidate, plain.any_candidate);
            ASSERT_EQ(one_pass.updates.size(), plain.updates.size());
            EXPECT_GE(plain.updates.size(), 1u);
            for (std::size_t i = 0; i < plain.updates.size(); ++i) {
                EXPECT_EQ(one_pass.updates[i].offset, plain.updates[i].offset);
                EXPECT_EQ(one_pass.updates[i].check.status, plain.updates[i].check.status);
            }
            const tarnwick::AmdPatches amd_plain = tarnwick::find_amd_patches(image);
            const tarnwick::AmdPatches amd_one = amd.finish();
            ASSERT_EQ(amd_one.patches.size(), amd_plain.patches.size());
            EXPECT_EQ(amd_plain.patches.size(), 2u);
            for (std::size_t i = 0; i < amd_plain.patches.size(); ++i) {
                EXPECT_EQ(amd_one.patches[i].offset, amd_plain.patches[i].offset);
            }
            EXPECT_EQ(scan.sum, plain_sum(image));
            EXPECT_EQ(scan.mpdt, reference::mpdt(image));
            EXPECT_EQ(scan.fit_signatures, reference::all_matches(image, tarnwick::fit_signature));
            EXPECT_EQ(scan.fit_signatures.size(), 2u);
        }
    }
}

}  // namespace
