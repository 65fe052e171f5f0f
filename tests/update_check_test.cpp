// The loader's checks, one damage at a time: each case starts from an intact
// update, changes one thing, and names the status the first failing check
// gives.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "search/checksum.h"
#include "intel/update_check.h"
#include "synth.h"

namespace {

using synth::Bytes;
using tarnwick::UpdateStatus;

const synth::Update plain{};  // 0x3D0 bytes of data, no table
const synth::Update old_style{.revision = 0x0D, .date = 0x09012008, .signature = 0x6F6, .flags = 1, .data_size = 0,
                              .extra_signatures = {}};
const synth::Update one_extra{.revision = 0xF4, .date = 0x04232023, .signature = 0x906EA, .flags = 0x22,
                              .data_size = 0x7B0, .extra_signatures = {0x906EB}};
const synth::Update three_extra{.revision = 0xF4, .date = 0x04232023, .signature = 0x906EA, .flags = 0x22,
                                .data_size = 0x7B0, .extra_signatures = {0x906EB, 0x906EC, 0x906ED}};

struct Case {
    const char* name;
    synth::Update update;
    std::function<void(Bytes&)> damage;
    UpdateStatus status;
    std::size_t extended;  // entries listed
    std::uint64_t missing = 0;
};

// Shortens `b` to `size` bytes. erase, not resize: g++ 12 warns about
// resize's growing path (a memset it can't bound) even where it only shrinks.
void cut(Bytes& b, std::size_t size) { b.erase(b.begin() + static_cast<std::ptrdiff_t>(size), b.end()); }

TEST(UpdateCheck, EachCheckAndItsFailure) {
    const std::size_t table = 48 + 0x7B0;  // where one_extra's table starts
    const std::vector<Case> cases = {
        {"intact", plain, [](Bytes&) {}, UpdateStatus::ok, 0},
        {"old 2048-byte update", old_style, [](Bytes&) {}, UpdateStatus::ok, 0},
        {"old update whose total says 48: the loader takes 2048", old_style,
         [](Bytes& b) { synth::put_le32(b, 32, 48); synth::seal_update(b); }, UpdateStatus::ok, 0},
        {"one extended signature", one_extra, [](Bytes&) {}, UpdateStatus::ok, 1},
        {"three extended signatures", three_extra, [](Bytes&) {}, UpdateStatus::ok, 3},

        {"cut inside the header", plain, [](Bytes& b) { cut(b, 40); }, UpdateStatus::truncated, 0, 48 + 0x3D0 - 40},
        {"cut inside the data", plain, [](Bytes& b) { cut(b, 0x100); }, UpdateStatus::truncated, 0, 48 + 0x3D0 - 0x100},
        {"cut one byte short", plain, [](Bytes& b) { cut(b, b.size() - 1); }, UpdateStatus::truncated, 0, 1},
        {"old update cut", old_style, [](Bytes& b) { cut(b, 2000); }, UpdateStatus::truncated, 0, 48},
        {"cut inside the extended table", one_extra, [&](Bytes& b) { cut(b, table + 24); }, UpdateStatus::truncated,
         0, 8},
        {"truncated before anything else: bad loader too", plain,
         [](Bytes& b) { synth::put_le32(b, 20, 7); cut(b, 100); }, UpdateStatus::truncated, 0, 48 + 0x3D0 - 100},

        {"data size not whole words", plain,
         [](Bytes& b) { synth::put_le32(b, 28, 0x3CE); synth::put_le32(b, 32, 0x3CE + 48); synth::seal_update(b); },
         UpdateStatus::bad_size, 0},
        {"total size not whole words", one_extra,
         [](Bytes& b) { synth::put_le32(b, 32, static_cast<std::uint32_t>(b.size() - 2)); }, UpdateStatus::bad_size,
         0},
        {"total smaller than data and header", plain, [](Bytes& b) { synth::put_le32(b, 32, 0x3D0 + 44); },
         UpdateStatus::bad_size, 0},
        {"bad size before bad loader", plain,
         [](Bytes& b) { synth::put_le32(b, 20, 2); synth::put_le32(b, 32, 0x3D0 + 44); }, UpdateStatus::bad_size, 0},

        {"loader revision 2", plain, [](Bytes& b) { synth::put_le32(b, 20, 2); synth::seal_update(b); },
         UpdateStatus::bad_loader, 0},
        {"loader revision 0, checksum wrong too", plain, [](Bytes& b) { synth::put_le32(b, 20, 0); },
         UpdateStatus::bad_loader, 0},

        {"a data bit flipped", plain, [](Bytes& b) { b[300] ^= 0x10; }, UpdateStatus::bad_checksum, 0},
        {"a header field changed", plain, [](Bytes& b) { b[4] ^= 1; }, UpdateStatus::bad_checksum, 0},
        {"old update, last data byte", old_style, [](Bytes& b) { b[2047] ^= 0x80; }, UpdateStatus::bad_checksum, 0},
        {"checksum wrong, table listed all the same", one_extra, [](Bytes& b) { b[100] ^= 1; },
         UpdateStatus::bad_checksum, 1},

        {"table shorter than its header", plain,
         [](Bytes& b) { synth::put_le32(b, 32, 48 + 0x3D0 + 16); b.resize(48 + 0x3D0 + 16, 0); synth::seal_update(b); },
         UpdateStatus::bad_ext_table, 0},
        {"count one more than the entries", one_extra,
         [&](Bytes& b) { synth::put_le32(b, table, 2); synth::seal_update(b); }, UpdateStatus::bad_ext_table, 0},
        {"count 0 with an entry", one_extra, [&](Bytes& b) { synth::put_le32(b, table, 0); synth::seal_update(b); },
         UpdateStatus::bad_ext_table, 0},
        {"table's reserved bytes changed", three_extra, [&](Bytes& b) { b[table + 10] ^= 4; },
         UpdateStatus::bad_ext_table, 3},

        {"entry checksum wrong, table resealed", one_extra,
         [&](Bytes& b) { b[table + 20 + 8] ^= 1; synth::seal_update(b); }, UpdateStatus::bad_ext_sig, 1},
        {"last of three entries' signature changed", three_extra,
         [&](Bytes& b) { b[table + 20 + 24] ^= 2; synth::seal_update(b); }, UpdateStatus::bad_ext_sig, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes b = synth::make_update(c.update);
        c.damage(b);
        const tarnwick::UpdateCheck r = tarnwick::check_update(b, 0);
        EXPECT_EQ(tarnwick::status_word(r.status), tarnwick::status_word(c.status));
        EXPECT_EQ(r.extended ? r.extended->count : 0u, c.extended);
        EXPECT_EQ(r.missing, c.missing);
    }
}

TEST(UpdateCheck, ExtendedEntriesAreReportedOneByOne) {
    Bytes b = synth::make_update(three_extra);
    const std::size_t second = 48 + 0x7B0 + 20 + 12;
    b[second + 4] ^= 0x01;  // its flags
    synth::seal_update(b);
    const tarnwick::UpdateCheck r = tarnwick::check_update(b, 0);
    ASSERT_TRUE(r.extended);
    ASSERT_EQ(r.extended->count, 3u);
    EXPECT_EQ(r.status, UpdateStatus::bad_ext_sig);
    const auto h = *tarnwick::view_header(b, 0);
    const auto entry = [&](std::size_t i) { return tarnwick::extended_signature(b, *r.extended, i, h); };
    EXPECT_TRUE(entry(0).ok);
    EXPECT_FALSE(entry(1).ok);
    EXPECT_TRUE(entry(2).ok);
    EXPECT_EQ(entry(0).signature, 0x906EBu);
    EXPECT_EQ(entry(2).signature, 0x906EDu);
    EXPECT_EQ(entry(1).flags, 0x23u);
}

// 48 bytes of 0xFF fill that happen to pass the header rule are no update.
TEST(UpdateCheck, ChanceMatchInFill) {
    Bytes image(4096, 0xFF);
    synth::put_le32(image, 1000, 1);
    image[1009] = 0x20;
    synth::put_le32(image, 1028, 0x100);
    synth::put_le32(image, 1032, 0x130);
    const tarnwick::FoundUpdates found = tarnwick::find_updates(image);
    ASSERT_EQ(found.updates.size(), 1u);
    EXPECT_EQ(found.updates[0].offset, 1000u);
    EXPECT_EQ(found.updates[0].check.status, UpdateStatus::bad_loader);
}

// The same rows in the same order as the listing's walk, updates laid end to
// end and each found where it was put.
TEST(UpdateCheck, FindsEveryUpdateOfAContainer) {
    Bytes container(3, 0xFF);
    std::vector<std::size_t> offsets;
    for (const synth::Update& u : {plain, old_style, one_extra, three_extra}) {
        offsets.push_back(container.size());
        synth::append(container, synth::make_update(u));
    }
    const tarnwick::FoundUpdates found = tarnwick::find_updates(container);
    ASSERT_EQ(found.updates.size(), offsets.size());
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        EXPECT_EQ(found.updates[i].offset, offsets[i]);
        EXPECT_EQ(found.updates[i].check.status, UpdateStatus::ok);
    }
}

}  // namespace

namespace {

// Headers every 24 bytes whose updates all overlap, each 4 MiB long: the
// checks must not sum 4 MiB for each of them (hundreds of gigabytes), and
// must give each the status a fresh, direct check gives it.
TEST(UpdateCheck, OverlappingHeadersCostNoMoreThanAFewPasses) {
    constexpr std::uint32_t date = 0x00402000;  // century byte 0x20; read as the total size too
    Bytes unit(24);
    synth::put_le32(unit, 0, 1);
    synth::put_le32(unit, 4, date - 48);  // the next header's data size
    synth::put_le32(unit, 8, date);       // its total size
    synth::put_le32(unit, 12, 0x906A3);
    synth::put_le32(unit, 16, 0);
    synth::put_le32(unit, 20, 1);         // loader revision
    Bytes image;
    while (image.size() < (8u << 20)) {
        synth::append(image, unit);
    }
    image.push_back(0x5A);  // the odd alignments get their running sums too
    const tarnwick::FoundUpdates found = tarnwick::find_updates(image);
    ASSERT_GT(found.updates.size(), 300000u);
    std::size_t whole = 0;
    for (std::size_t i = 0; i < found.updates.size(); i += 997) {
        const tarnwick::FoundUpdate& u = found.updates[i];
        EXPECT_EQ(u.check.status, tarnwick::check_update(image, u.offset).status) << u.offset;
        whole += u.check.status != UpdateStatus::truncated ? 1 : 0;
    }
    EXPECT_GT(whole, 100u);
}

// Running sums and direct sums agree at every alignment and length.
TEST(UpdateCheck, WordSumsAgreeWithSummingEachRange) {
    Bytes image(5000);
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<std::uint8_t>(i * 131 + (i >> 5));
    }
    tarnwick::WordSums sums(image);
    // Past a few passes' worth of direct sums, the rest come from running sums.
    for (int round = 0; round < 5; ++round) {
        for (std::size_t offset = 0; offset < 64; ++offset) {
            for (std::size_t length : {std::size_t{0}, std::size_t{4}, std::size_t{48}, std::size_t{4096},
                                       (image.size() - offset) / 4 * 4}) {
                EXPECT_EQ(sums.sum(offset, length), tarnwick::sum_words(tarnwick::Image(image).subspan(offset, length)))
                    << offset << " " << length;
            }
        }
    }
}

}  // namespace

namespace {

// Runs of equal entries answer what reading every entry answers, at every
// alignment, once direct reads have used up their budget.
TEST(UpdateCheck, EntryRunsAgreeWithReadingEachEntry) {
    // Entries that add up to 7 in runs of varying length, with odd ones out.
    Bytes image(6000);
    for (std::size_t i = 0; i + 12 <= image.size(); i += 4) {
        synth::put_le32(image, i, (i / 4) % 3 == 2 ? 7u : 0u);
    }
    for (std::size_t i : {std::size_t{500}, std::size_t{1201}, std::size_t{3000}, std::size_t{3001}}) {
        image[i] ^= 0x40;
    }
    const auto direct = [&](std::size_t first, std::size_t count, std::uint32_t value) {
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t e = first + 12 * k;
            if (tarnwick::read_le32(image, e) + tarnwick::read_le32(image, e + 4) + tarnwick::read_le32(image, e + 8) !=
                value) {
                return false;
            }
        }
        return true;
    };
    tarnwick::EntryRuns runs(image);
    for (int round = 0; round < 40; ++round) {
        for (std::size_t first = 0; first < 48; ++first) {
            const std::size_t most = (image.size() - first) / 12;
            for (std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{40}, most / 2, most}) {
                for (std::uint32_t value : {7u, 0u}) {
                    EXPECT_EQ(runs.all_equal(first, count, value), direct(first, count, value))
                        << first << " " << count << " " << value;
                }
            }
        }
    }
}

// Crafted files whose headers share or overlap tables: each table is listed
// once, the others refer to it, and every status is what a check of that
// update alone gives.
TEST(UpdateCheck, TablesAreListedOnceWhateverShareThem) {
    using tarnwick::TableShown;
    struct Shape {
        const char* name;
        synth::Crafted shape;
        TableShown later;  // how the updates after the first show their table
        UpdateStatus status;
    };
    const Shape cases[] = {
        {"one table, checksums wrong", synth::Crafted::shared_table, TableShown::same_as, UpdateStatus::bad_checksum},
        {"one table, all intact", synth::Crafted::shared_table_intact, TableShown::same_as, UpdateStatus::ok},
        {"tables 4 bytes apart", synth::Crafted::staggered_tables, TableShown::overlaps, UpdateStatus::bad_checksum},
    };
    for (const Shape& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes image = synth::make_crafted(c.shape, 200, 3000);
        const tarnwick::FoundUpdates found = tarnwick::find_updates(image);
        ASSERT_EQ(found.updates.size(), 200u);
        EXPECT_EQ(found.updates[0].shown, TableShown::listed);
        for (std::size_t i = 1; i < found.updates.size(); ++i) {
            const tarnwick::FoundUpdate& u = found.updates[i];
            EXPECT_EQ(u.shown, c.later) << i;
            EXPECT_EQ(u.table_row, 0u) << i;
        }
        for (std::size_t i = 0; i < found.updates.size(); i += 13) {
            EXPECT_EQ(found.updates[i].check.status, c.status) << i;
            EXPECT_EQ(found.updates[i].check.status, tarnwick::check_update(image, found.updates[i].offset).status);
        }
    }
    // An entry changed: every update that shares the table fails on it.
    Bytes image = synth::make_crafted(synth::Crafted::shared_table_intact, 50, 300);
    image[image.size() - 12] ^= 1;
    for (const tarnwick::FoundUpdate& u : tarnwick::find_updates(image).updates) {
        EXPECT_NE(u.check.status, UpdateStatus::ok) << u.offset;
    }
}

}  // namespace
