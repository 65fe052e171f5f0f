#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "search/checksum.h"
#include "search/find_pattern.h"
#include "intel/microcode_header.h"
#include "synth.h"

namespace {

using tarnwick::find_pattern;
using Bytes = std::vector<std::uint8_t>;

struct SearchCase {
    const char* name;
    Bytes haystack;
    std::size_t start, end;
    Bytes pattern;
    long expected;  // -1: no match
};

TEST(FindPattern, Table) {
    const Bytes marker = {1, 0, 0, 0};
    const std::vector<SearchCase> cases = {
        {"empty pattern", {1, 2, 3}, 0, 3, {}, -1},
        {"end equals start", {1, 0, 0, 0}, 2, 2, marker, -1},
        {"end before start", {1, 0, 0, 0}, 3, 1, marker, -1},
        {"range shorter than pattern", {1, 0, 0}, 0, 3, marker, -1},
        {"range exactly the pattern", {1, 0, 0, 0}, 0, 4, marker, 0},
        {"match ends on the range's last byte", {9, 9, 1, 0, 0, 0}, 0, 6, marker, 2},
        {"match one byte past the end", {9, 9, 1, 0, 0, 0}, 0, 5, marker, -1},
        {"marker then zeros", {1, 0, 0, 0, 0, 0}, 0, 6, marker, 0},
        {"restart after the only match", {1, 0, 0, 0, 0, 0}, 1, 6, marker, -1},
        {"overlap from 0", {0x41, 0x41, 0x41}, 0, 3, {0x41, 0x41}, 0},
        {"overlap from 1", {0x41, 0x41, 0x41}, 1, 3, {0x41, 0x41}, 1},
        {"overlap from 2", {0x41, 0x41, 0x41}, 2, 3, {0x41, 0x41}, -1},
        {"length one examines every byte", {5, 6, 7, 8}, 0, 4, {8}, 3},
        {"skip uses the window's last byte", {0, 0, 0, 1, 0, 0, 0}, 0, 7, marker, 3},
        {"repeated pattern byte keeps rightmost skip", {'a', 'b', 'a', 'b', 'a', 'c'}, 0, 6, {'a', 'b', 'a', 'c'}, 2},
        {"mismatch deep in the window", {'x', 'B', 'C', 'D', 'A', 'B', 'C', 'D'}, 0, 8, {'A', 'B', 'C', 'D'}, 4},
        {"no match in a long run", Bytes(100, 0xFF), 0, 100, marker, -1},
    };
    for (const SearchCase& c : cases) {
        SCOPED_TRACE(c.name);
        // Copies into exact-size heap blocks, so the sanitizers see any read
        // past the range's end or past the pattern.
        const std::unique_ptr<std::uint8_t[]> hay(new std::uint8_t[c.haystack.size()]);
        std::copy(c.haystack.begin(), c.haystack.end(), hay.get());
        const std::unique_ptr<std::uint8_t[]> pat(new std::uint8_t[c.pattern.size() + 1]);
        std::copy(c.pattern.begin(), c.pattern.end(), pat.get());
        const std::uint8_t* hit = find_pattern(hay.get() + c.start, hay.get() + c.end, pat.get(), c.pattern.size());
        EXPECT_EQ(hit == nullptr ? -1 : hit - hay.get(), c.expected);
    }
}

// The search's fast paths must agree with the plainest possible search on
// every range: small alphabets make partial matches and repeats common.
TEST(FindPattern, AgreesWithNaiveSearch) {
    std::uint32_t x = 12345;
    auto next = [&](std::uint32_t n) {
        x = x * 1103515245u + 12345u;
        return (x >> 16) % n;
    };
    for (int round = 0; round < 20000; ++round) {
        const std::uint32_t alphabet = 1 + next(3);
        Bytes hay(next(64));
        // Lengths 4, 8 and 16 are the tool's own patterns' and get
        // specialised code; the others take the general path.
        constexpr std::size_t lengths[] = {1, 2, 3, 4, 5, 8, 16};
        Bytes pat(lengths[next(7)]);
        for (auto& b : hay) b = static_cast<std::uint8_t>(next(alphabet));
        for (auto& b : pat) b = static_cast<std::uint8_t>(next(alphabet));
        const std::size_t from = hay.empty() ? 0 : next(static_cast<std::uint32_t>(hay.size()));
        std::optional<std::size_t> naive;
        for (std::size_t p = from; p + pat.size() <= hay.size() && !naive; ++p) {
            if (std::equal(pat.begin(), pat.end(), hay.begin() + static_cast<std::ptrdiff_t>(p))) naive = p;
        }
        ASSERT_EQ(find_pattern(hay, from, pat), naive) << "round " << round;
    }
}

TEST(FindPattern, AbsentArgumentsFindNothing) {
    const std::uint8_t bytes[4] = {1, 0, 0, 0};
    EXPECT_EQ(find_pattern(nullptr, bytes + 4, bytes, 4), nullptr);
    EXPECT_EQ(find_pattern(bytes, nullptr, bytes, 4), nullptr);
    EXPECT_EQ(find_pattern(bytes, bytes + 4, nullptr, 4), nullptr);
}

TEST(FindPattern, EnumeratesEveryOverlappingMatchInOrder) {
    const Bytes hay = {1, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0};
    std::vector<std::size_t> found;
    for (auto at = find_pattern(hay, 0, tarnwick::header_marker); at;
         at = find_pattern(hay, *at + 1, tarnwick::header_marker)) {
        found.push_back(*at);
    }
    EXPECT_EQ(found, (std::vector<std::size_t>{0, 4, 9}));
    EXPECT_FALSE(find_pattern(hay, hay.size() + 5, tarnwick::header_marker));
}

struct RuleCase {
    const char* name;
    std::uint32_t date, data_size, total_size;
    bool qualifies;
};

TEST(QualifyingHeader, Rule) {
    const std::vector<RuleCase> cases = {
        {"century 20, total = data + 48", 0x07132016, 0x5BD0, 0x5C00, true},
        {"century 19", 0x12311999, 0x3D0, 0x400, true},
        {"century 21", 0x01012101, 0x3D0, 0x400, false},
        {"century 00", 0x01010001, 0x3D0, 0x400, false},
        {"both sizes 0", 0x07132016, 0, 0, true},
        {"data 0, total 48", 0x07132016, 0, 48, true},
        {"data 0, total 2048", 0x07132016, 0, 2048, false},
        {"total below the header wraps no more", 0x07132016, 0xFFFFFFE0, 0x10, false},
        {"total one short", 0x07132016, 0x3D0, 0x3FF, false},
        {"extended table, one entry", 0x07132016, 0x3D0, 0x400 + 20 + 12, true},
        {"extended table, three entries", 0x07132016, 0x3D0, 0x400 + 20 + 36, true},
        {"table header without entries", 0x07132016, 0x3D0, 0x400 + 20, false},
        {"table with a partial entry", 0x07132016, 0x3D0, 0x400 + 20 + 13, false},
        {"table after no data", 0x07132016, 0, 48 + 20 + 12, false},
        {"data size near 4 GiB cannot wrap", 0x07132016, 0xFFFFFFF0, 0x20, false},
    };
    for (const RuleCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes h = synth::make_header(1, c.date, 0x306C3, 0x32, c.data_size, c.total_size);
        EXPECT_EQ(tarnwick::is_qualifying_header(h, 0), c.qualifies);
    }
}

TEST(QualifyingHeader, MadeUpUpdateWithExtendedTableQualifiesAndSumsToZero) {
    const Bytes u = synth::make_update({.data_size = 0x400, .extra_signatures = {0x306C4, 0x306C5}});
    ASSERT_EQ(u.size(), 48u + 0x400 + 20 + 24);
    EXPECT_TRUE(tarnwick::is_qualifying_header(u, 0));
    EXPECT_EQ(tarnwick::sum_words(u), 0u);
}

}  // namespace
