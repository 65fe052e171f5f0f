// gzip through zlib: one member or several, and what isn't whole or is
// larger than asked for.

#include <gtest/gtest.h>

#include <zlib.h>

#include <string>
#include <vector>

#include "app/gunzip.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes gzip(const std::string& text) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
    Bytes out(deflateBound(&z, text.size()) + 32);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::string text_of(const Bytes& b) { return std::string(b.begin(), b.end()); }

TEST(Gunzip, MembersAndWhatIsNotWhole) {
    using Outcome = tarnwick::Gunzipped::Outcome;
    std::string notes;
    for (int i = 0; notes.size() < 200000; ++i) {
        notes += "| row " + std::to_string(i * 7919 % 100003) + " | 06-" + std::to_string(i % 97) + " |\n";
    }
    const Bytes one = gzip(notes);
    Bytes two = gzip("first ");
    const Bytes second = gzip("second");
    two.insert(two.end(), second.begin(), second.end());
    Bytes cut(one.begin(), one.end() - 9);
    Bytes flipped = one;
    flipped[one.size() / 2] ^= 0x55;
    Bytes tail = one;
    tail.push_back(0x42);
    struct Case {
        const char* name;
        Bytes bytes;
        std::size_t most;
        Outcome outcome;
        std::string text;
    };
    const Case cases[] = {
        {"one member", one, 1 << 20, Outcome::done, notes},
        {"two members end to end", two, 1 << 20, Outcome::done, "first second"},
        {"exactly as much as allowed", one, notes.size(), Outcome::done, notes},
        {"a byte more than allowed", one, notes.size() - 1, Outcome::too_large, ""},
        {"cut short", cut, 1 << 20, Outcome::damaged, ""},
        {"a byte changed", flipped, 1 << 20, Outcome::damaged, ""},
        {"a byte after its end", tail, 1 << 20, Outcome::damaged, ""},
    };
    EXPECT_TRUE(tarnwick::gzip_supported());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(tarnwick::is_gzip(c.bytes));
        const tarnwick::Gunzipped g = tarnwick::gunzip(c.bytes, c.most);
        EXPECT_EQ(g.outcome, c.outcome) << g.why;
        EXPECT_TRUE(text_of(g.bytes) == c.text) << g.bytes.size() << " bytes";
        EXPECT_EQ(g.why.empty(), c.outcome != Outcome::damaged);
    }
}

}  // namespace
