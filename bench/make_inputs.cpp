// Writes the benchmark's inputs, the same bytes on every run:
//   bios.bin   64 MiB BIOS-like image: 0xFF fill, long zero runs, random-looking
//              (compressed) regions, a dozen updates, a FIT near the top
//   worst.bin  64 MiB of back-to-back 01 00 00 00, a candidate every 4 bytes
//   scan.bin   a container of 300 updates
//   keys2000.bin  2,000 bare headers back to back, each its own key
//   dense.bin  64 MiB of bare headers back to back: 1.4 million keys
//   ZOR.dat    10,000 keys, half of scan.bin's among them

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "aptio.h"
#include "flash.h"
#include "synth.h"

namespace {

constexpr std::size_t mib = 1 << 20;

struct Random {
    std::uint64_t state = 0x9E3779B97F4A7C15;
    std::uint64_t next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
};

synth::Bytes bios_image() {
    Random rnd;
    synth::Bytes image(64 * mib, 0xFF);
    // Zero runs and random-looking regions, as flash layouts have.
    for (std::size_t at : {2 * mib, 20 * mib, 40 * mib}) {
        std::fill(image.begin() + static_cast<std::ptrdiff_t>(at),
                  image.begin() + static_cast<std::ptrdiff_t>(at + 4 * mib), 0x00);
    }
    for (std::size_t at : {8 * mib, 26 * mib, 46 * mib}) {
        for (std::size_t i = at; i < at + 8 * mib; i += 8) {
            synth::put_le64(image, i, rnd.next());
        }
    }
    std::vector<std::uint64_t> addresses;
    std::size_t at = 60 * mib;
    for (std::uint32_t i = 0; i < 12; ++i) {
        synth::Update u{.revision = 0x100 + i,
                        .date = 0x01152024,
                        .signature = 0x000A0650 + i,
                        .flags = 0x22,
                        .data_size = 0x8000 + 0x1000 * i,
                        .extra_signatures = {}};
        if (i % 2 == 1) {
            u.extra_signatures = {u.signature + 0x100, u.signature + 0x200};
        }
        const synth::Bytes update = synth::make_update(u);
        std::copy(update.begin(), update.end(), image.begin() + static_cast<std::ptrdiff_t>(at));
        addresses.push_back(0x100000000 - 64 * mib + at);
        at += (update.size() + 0xFFF) & ~std::size_t{0xFFF};
    }
    const synth::Bytes mpdt = synth::mpdt_record(true);
    std::copy(mpdt.begin(), mpdt.end(), image.begin() + static_cast<std::ptrdiff_t>(59 * mib));
    synth::put_fit(image, 64 * mib - 0x10000, addresses);
    return image;
}

// `top` at the end of `size` bytes, other firmware's bytes below it.
synth::Bytes below_other_firmware(std::size_t size, const synth::Bytes& top) {
    synth::Bytes image(size - top.size());
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<std::uint8_t>((i * 2654435761u) >> 13);
    }
    synth::append(image, top);
    return image;
}

}  // namespace

// A UEFI image of `size` bytes: other firmware below the 2 MiB of volumes
// (the FIT names addresses counted from the image's end, so they hold),
// with four updates in an AMI-style microcode file; as vendors ship them,
// with a start-up vector in the pad after it and 15 unused FIT entries.
synth::Bytes flash(std::size_t size, bool vendor) {
    synth::FlashOptions o;
    if (vendor) {
        o.pad_data = 0x30;
        o.fit_unused = 15;
    }
    o.updates = {{.revision = 0x10, .signature = 0x306C3, .flags = 0x32, .extra_signatures = {}},
                 {.revision = 0x20, .signature = 0x906EA, .flags = 0x22, .extra_signatures = {}},
                 {.revision = 0x05, .signature = 0x6F6, .flags = 0x01, .extra_signatures = {}},
                 {.revision = 0x30, .signature = 0xA0671, .flags = 0x02, .extra_signatures = {}}};
    const synth::Bytes top = synth::make_flash(o).image;
    return below_other_firmware(size, top);
}

// The same size with the top 2 MiB laid out as Aptio V laptops lay it: two
// microcode files of updates as large as the distributions' are (older
// revisions of processors they serve), each followed by files that must
// move for the distribution's to fit.
synth::Bytes aptio(std::size_t size) {
    synth::AptioOptions o;
    for (std::vector<synth::Update>* updates : {&o.main_updates, &o.fit_updates}) {
        for (synth::Update& u : *updates) {
            u.data_size = 0x19000 - 48;
        }
    }
    const synth::Bytes top = synth::make_aptio(o).image;
    return below_other_firmware(size, top);
}

// Newer and larger updates for two of them.
synth::Bytes update_source() {
    synth::Bytes s = synth::make_update({.revision = 0x1B, .signature = 0x306C3, .flags = 0x32, .data_size = 0x1000,
                                         .extra_signatures = {}});
    synth::append(s, synth::make_update({.revision = 0x31, .signature = 0xA0671, .flags = 0x02, .data_size = 0x2000,
                                         .extra_signatures = {}}));
    return s;
}

// An update for a processor that flash() has none for.
synth::Bytes add_source() {
    return synth::make_update({.revision = 0x0A, .signature = 0x806EC, .flags = 0x94, .data_size = 0x7D0,
                               .extra_signatures = {}});
}

// Release notes of nothing but table rows for processors the BIOS-like
// image holds, `size` bytes: the work must grow with them, not with their
// square.
std::string crafted_notes(std::size_t size) {
    std::string notes = "## [microcode-20990101](x)\n### Purpose\n- Security updates for [INTEL-SA-00001]\n"
                        "### Updated Platforms\n";
    const std::string row = "| XXX | A0 | 06-3c-03/32 | 00000001 | 00000002 | Core\n";
    while (notes.size() < size) {
        notes += row;
    }
    return notes;
}

int main(int argc, char** argv) {
    const char* out = synth::output_dir(argc, argv);
    if (out == nullptr) {
        return 2;
    }
    const std::string dir = out;

    synth::Bytes worst(64 * mib);
    for (std::size_t i = 0; i < worst.size(); i += 4) {
        worst[i] = 1;
    }

    Random rnd;
    synth::Bytes scan;
    std::string database = "# benchmark database\n";
    for (std::uint32_t i = 0; i < 300; ++i) {
        const synth::Bytes u = synth::make_update({.revision = i,
                                                   .date = 0x06012020,
                                                   .signature = 0x00050650 + i,
                                                   .flags = 0x97,
                                                   .data_size = 0x400,
                                                   .extra_signatures = {}});
        synth::append(scan, u);
        if (i % 2 == 0) {
            database += synth::key_of(u) + "\n";
        }
    }
    while (database.size() < 10000 * 49) {
        char key[49];
        std::snprintf(key, sizeof key, "%016llX%016llX%016llX",
                      static_cast<unsigned long long>(rnd.next()), static_cast<unsigned long long>(rnd.next()),
                      static_cast<unsigned long long>(rnd.next()));
        database += std::string(key) + "\n";
    }

    // Headers whose data size is 0 and total size 48: each a qualifying
    // header of its own, 48 bytes apart.
    auto bare_headers = [](std::size_t count) {
        synth::Bytes b;
        b.reserve(count * 48);
        for (std::size_t i = 0; i < count; ++i) {
            synth::append(b, synth::make_header(static_cast<std::uint32_t>(i), 0x01152024, 0x906EA, 0x22, 0, 48));
        }
        return b;
    };

    std::filesystem::create_directories(dir + "/update-src");
    const bool ok = synth::write_file(dir + "/bios.bin", bios_image()) && synth::write_file(dir + "/worst.bin", worst) &&
                    synth::write_file(dir + "/scan.bin", scan) &&
                    synth::write_file(dir + "/keys2000.bin", bare_headers(2000)) &&
                    synth::write_file(dir + "/dense.bin", bare_headers(64 * mib / 48)) &&
                    synth::write_file(dir + "/ZOR.dat", database) &&
                    // About 1 MiB and 4 MiB of headers that share one table
                    // of entries: the output must grow with the file, not
                    // with headers times entries.
                    synth::write_file(dir + "/crafted1.bin", synth::make_crafted(synth::Crafted::shared_table, 3000, 75000)) &&
                    synth::write_file(dir + "/crafted4.bin", synth::make_crafted(synth::Crafted::shared_table, 12000, 300000)) &&
                    synth::write_file(dir + "/flash64.bin", flash(64 * mib, false)) &&
                    synth::write_file(dir + "/flash16.bin", flash(16 * mib, true)) &&
                    synth::write_file(dir + "/aptio16.bin", aptio(16 * mib)) &&
                    synth::write_file(dir + "/notes16.md", crafted_notes(16 * mib)) &&
                    synth::write_file(dir + "/notes64.md", crafted_notes(64 * mib)) &&
                    synth::write_file(dir + "/add-src.bin", add_source()) &&
                    synth::write_file(dir + "/update-src/newer.bin", update_source());
    return ok ? 0 : 1;
}
