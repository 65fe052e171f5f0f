// The FIT as the processor finds it: through its pointer, checked entry by
// entry. Each case starts from a valid table and changes one thing.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "flash/fit.h"
#include "synth.h"

namespace {

using synth::Bytes;
using tarnwick::FitMicrocode;
using tarnwick::FitPointer;
using Slot = FitMicrocode::Slot;

constexpr std::size_t image_size = 0x10000;
constexpr std::size_t fit_at = 0x8000;

struct Entry {
    std::uint64_t address;
    std::uint8_t type;
};

// A 64 KiB image with two updates, a FIT of the given entries after its
// header entry, and the pointer to it.
struct Image {
    Bytes bytes = Bytes(image_size, 0xFF);
    std::vector<Entry> entries;

    Image() {
        const Bytes a = synth::make_update({});
        const Bytes b = synth::make_update({.revision = 0xF4, .date = 0x04232023, .signature = 0x906EA,
                                            .flags = 0x22, .data_size = 0x7B0, .extra_signatures = {0x906EB}});
        std::copy(a.begin(), a.end(), bytes.begin() + 0x1000);
        std::copy(b.begin(), b.end(), bytes.begin() + 0x2000);
        entries = {{at(0x1000), 1}, {at(0x2000), 1}, {at(0x4000), 2}, {at(0x5000), 7}, {0, 0x7F}};
    }
    std::uint64_t at(std::size_t offset) const { return synth::address_of(bytes, offset); }
    std::size_t entry(std::size_t i) const { return fit_at + 16 * i; }

    void write() {
        put_header(fit_at, static_cast<std::uint32_t>(entries.size() + 1));
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const std::size_t e = entry(i + 1);
            synth::put_le64(bytes, e, entries[i].address);
            synth::put_le64(bytes, e + 8, 0);
            bytes[e + 12] = 0x00;
            bytes[e + 13] = 0x01;
            bytes[e + 14] = entries[i].type;
        }
        synth::put_fit_pointer(bytes, at(fit_at));
    }
    void put_header(std::size_t off, std::uint32_t count) {
        const char sig[] = "_FIT_   ";
        std::copy(sig, sig + 8, bytes.begin() + static_cast<std::ptrdiff_t>(off));
        synth::put_le32(bytes, off + 8, count);
        bytes[off + 12] = 0x00;
        bytes[off + 13] = 0x01;
        bytes[off + 14] = 0x00;
        bytes[off + 15] = 0x00;
    }
    // Sets the checksum-valid bit and makes the table's bytes sum to 0.
    void keep_checksum() {
        bytes[fit_at + 14] |= 0x80;
        bytes[fit_at + 15] = 0;
        unsigned sum = 0;
        for (std::size_t i = 0; i < 16 * (entries.size() + 1); ++i) {
            sum += bytes[fit_at + i];
        }
        bytes[fit_at + 15] = static_cast<std::uint8_t>(0x100 - (sum & 0xFF));
    }
};

struct Case {
    const char* name;
    std::function<void(Image&)> before;  // on the entries, before the table is written
    std::function<void(Image&)> after;   // on the bytes
    std::size_t errors;
    std::size_t warnings;
    std::vector<Slot> slots;
    std::string first_problem = "";  // a part of the first error, else of the first warning
};

TEST(FitCheck, ValidTableAndEachFault) {
    const auto none = [](Image&) {};
    const std::vector<Slot> two = {Slot::update, Slot::update};
    const std::vector<Case> cases = {
        {"valid", none, none, 0, 0, two},
        {"valid, checksum kept", none, [](Image& i) { i.keep_checksum(); }, 0, 0, two},
        {"decoy signature before the table", none, [](Image& i) { i.put_header(0x600, 3); }, 0, 1, two,
         "offset 0x00000600"},
        {"decoy after the table", none, [](Image& i) { i.put_header(0xC000, 3); }, 0, 1, two, "offset 0x0000C000"},
        {"unused entries anywhere", [](Image& i) { i.entries.insert(i.entries.begin() + 1, {0, 0x7F}); }, none, 0, 0,
         two},
        {"empty slot", [](Image& i) { i.entries.insert(i.entries.begin() + 2, {i.at(0x3000), 1}); }, none, 0, 1,
         {Slot::update, Slot::update, Slot::empty}, "empty slot"},

        {"count 0", none, [](Image& i) { synth::put_le32(i.bytes, fit_at + 8, 0); }, 1, 0, {}, "counts 0 entries"},
        {"count runs past the file", none, [](Image& i) { synth::put_le32(i.bytes, fit_at + 8, 0x1000); }, 1, 0, two,
         "runs 32768 bytes past the end"},
        {"version 2.00", none, [](Image& i) { i.bytes[fit_at + 13] = 0x02; }, 1, 0, two, "version is 0x0200"},
        {"header of type 2", none, [](Image& i) { i.bytes[fit_at + 14] = 0x02; }, 1, 0, two, "type is 0x02"},
        {"checksum wrong", none, [](Image& i) { i.keep_checksum(); i.bytes[fit_at + 15] ^= 1; }, 1, 0, two,
         "checksum is wrong"},
        {"types out of order", [](Image& i) { std::swap(i.entries[1], i.entries[2]); }, none, 1, 0, two,
         "entry 3 (type 0x01) follows entry 2 of type 0x02"},
        {"microcode outside the file", [](Image& i) { i.entries[0].address = 0x1000; }, none, 1, 0,
         {Slot::outside, Slot::update}, "address 0x00001000 maps outside"},
        {"microcode with a high half", [](Image& i) { i.entries[0].address |= std::uint64_t{1} << 32; }, none, 1, 0,
         {Slot::outside, Slot::update}, "maps outside"},
        {"microcode 47 bytes before the end", [](Image& i) { i.entries[0].address = i.at(image_size - 47); }, none, 1,
         0, {Slot::outside, Slot::update}, "maps outside"},
        {"microcode at no update", [](Image& i) { i.entries[0].address = i.at(0x5000); },
         [](Image& i) { std::fill(i.bytes.begin() + 0x5000, i.bytes.begin() + 0x5100, 0); }, 1, 0,
         {Slot::not_an_update, Slot::update}, "offset 0x00005000 holds no microcode update"},
        {"microcode at a damaged update", none, [](Image& i) { i.bytes[0x2100] ^= 1; }, 1, 0, two,
         "offset 0x00002000 is damaged (BAD CHECKSUM)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Image image;
        c.before(image);
        image.write();
        c.after(image);
        const tarnwick::FitCheck r = tarnwick::check_fit(image.bytes);
        ASSERT_EQ(r.pointer.outcome, FitPointer::Outcome::found);
        EXPECT_EQ(r.pointer.offset, fit_at);
        EXPECT_EQ(r.errors.size(), c.errors) << (r.errors.empty() ? "" : r.errors[0]);
        EXPECT_EQ(r.warnings.size(), c.warnings) << (r.warnings.empty() ? "" : r.warnings[0]);
        std::vector<Slot> slots;
        for (const FitMicrocode& m : r.microcode) {
            slots.push_back(m.slot);
        }
        EXPECT_EQ(slots, c.slots);
        if (!c.first_problem.empty()) {
            const std::string& first = r.errors.empty() ? r.warnings.at(0) : r.errors[0];
            EXPECT_NE(first.find(c.first_problem), std::string::npos) << first;
        }
    }
}

TEST(FitCheck, UpdatesBehindTheEntries) {
    Image image;
    image.write();
    const tarnwick::FitCheck r = tarnwick::check_fit(image.bytes);
    ASSERT_EQ(r.microcode.size(), 2u);
    EXPECT_EQ(r.microcode[1].offset, 0x2000u);
    EXPECT_EQ(r.microcode[1].header.processor_signature, 0x906EAu);
    EXPECT_EQ(r.microcode[1].status, tarnwick::UpdateStatus::ok);
    ASSERT_EQ(r.entries.size(), 6u);
    EXPECT_EQ(r.entries[3].type, 2);
    EXPECT_EQ(r.count, 6u);
    EXPECT_EQ(r.version, 0x0100);
}

TEST(FitCheck, NoFitAtThePointer) {
    struct NoFit {
        const char* name;
        std::function<void(Bytes&)> make;
        FitPointer::Outcome outcome;
        std::vector<std::size_t> others;
    };
    const std::vector<NoFit> cases = {
        {"63 bytes", [](Bytes& b) { b.assign(63, 0xFF); }, FitPointer::Outcome::too_small, {}},
        {"64 bytes of fill", [](Bytes& b) { b.assign(64, 0xFF); }, FitPointer::Outcome::outside, {}},
        {"pointer below the image", [](Bytes& b) { synth::put_fit_pointer(b, 0xFFFEFFFF); },
         FitPointer::Outcome::outside, {fit_at}},
        {"pointer at 4 GiB", [](Bytes& b) { synth::put_fit_pointer(b, 0x100000000); }, FitPointer::Outcome::outside,
         {fit_at}},
        {"pointer at other bytes", [](Bytes& b) { synth::put_fit_pointer(b, synth::address_of(b, fit_at + 16)); },
         FitPointer::Outcome::not_a_fit, {fit_at}},
    };
    for (const NoFit& c : cases) {
        SCOPED_TRACE(c.name);
        Image image;
        image.write();
        c.make(image.bytes);
        const tarnwick::FitCheck r = tarnwick::check_fit(image.bytes);
        EXPECT_EQ(r.pointer.outcome, c.outcome);
        EXPECT_EQ(r.other_signatures, c.others);
        EXPECT_EQ(r.warnings.size(), c.others.size());
        EXPECT_TRUE(r.errors.empty());
        EXPECT_TRUE(r.entries.empty());
    }
}

// -fit reads the table that the pointer names, else the first signature.
TEST(FitListing, TableItReads) {
    Image image;
    image.write();
    EXPECT_EQ(tarnwick::fit_listing_offset(image.bytes), fit_at);
    image.put_header(0x600, 2);
    EXPECT_EQ(tarnwick::fit_listing_offset(image.bytes), fit_at) << "a decoy before the pointed table";
    synth::put_fit_pointer(image.bytes, 0);
    EXPECT_EQ(tarnwick::fit_listing_offset(image.bytes), 0x600u) << "no valid pointer: the first signature";
    EXPECT_EQ(tarnwick::fit_listing_offset(Bytes(100, 0xFF)), std::nullopt);
    // Files past 4 GiB have no address that maps into them.
    EXPECT_EQ(tarnwick::offset_of_address(0xFFFFFFFF, (std::size_t{1} << 32) + 1), std::nullopt);
    EXPECT_EQ(tarnwick::offset_of_address(0, std::size_t{1} << 32), 0u);
}

}  // namespace
