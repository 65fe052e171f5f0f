// Writes the fuzzer's seed corpus: the shapes the commands care about, whole
// and cut short at every length.

#include <string>

#include "flash.h"
#include "manifests.h"
#include "synth.h"

namespace {

int written = 0;

void seed(const std::string& dir, const synth::Bytes& bytes) {
    synth::write_file(dir + "/seed-" + std::to_string(written++), bytes);
}

synth::Bytes cut(const synth::Bytes& b, std::size_t n) { return synth::Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n)); }

}  // namespace

int main(int argc, char** argv) {
    const char* out = synth::output_dir(argc, argv);
    if (out == nullptr) {
        return 2;
    }
    const std::string dir = out;

    const synth::Bytes plain = synth::make_update({.data_size = 0x40, .extra_signatures = {}});
    const synth::Bytes extended =
        synth::make_update({.data_size = 0x40, .extra_signatures = {0x306C4, 0x306C5, 0x306C6}});
    const synth::Bytes old_style = synth::make_update({.data_size = 0, .extra_signatures = {}});
    seed(dir, plain);
    seed(dir, extended);
    seed(dir, old_style);
    synth::Bytes container = plain;
    synth::append(container, extended);
    synth::append(container, plain);
    seed(dir, container);

    // Headers cut at every length up to a whole one.
    const synth::Bytes header = synth::make_header(0x1B, 0x07132016, 0x306C3, 0x32, 0x5BD0, 0x5C00);
    for (std::size_t n = 0; n <= header.size(); ++n) {
        seed(dir, cut(header, n));
    }

    // A firmware volume whose microcode file holds two updates, a pad after
    // it, and a newer update after the volume to replace one of them.
    {
        synth::Bytes body = plain;
        synth::append(body, synth::make_update({.revision = 0x05, .signature = 0x6F6, .data_size = 0x40,
                                                .extra_signatures = {}}));
        synth::append(body, synth::mpdt_record(true));
        synth::Bytes image = synth::volume(
            0x400, {synth::ffs_file(synth::guid("17088572-377F-44EF-8F4E-B09FFF46A070"), 0x01, 0x00, body),
                    synth::pad_file(0x100)});
        synth::append(image, synth::make_update({.revision = 0x30, .data_size = 0x60, .extra_signatures = {}}));
        seed(dir, image);
    }

    // AMD: a container of one family 10h patch, and a bare Zen patch in fill.
    seed(dir, synth::make_amd_container({{0x00100F22, 0x1022}, {0x00100F23, 0x1022}},
                                        {synth::make_amd_patch({})}));
    {
        synth::Bytes flash(0x40, 0xFF);
        synth::append(flash, synth::make_amd_patch({.date = 0x12192023, .patch_id = 0x0800126F, .format = 0x8004,
                                                    .len = 0, .init = 0, .equiv_id = 0x8012, .size = 0xC80,
                                                    .checksum = false, .checksum_field = 0}));
        seed(dir, flash);
    }

    // FIT tables, whole and running into the end of the image.
    synth::Bytes fit(0x100, 0xFF);
    synth::put_fit(fit, 0x40, {0xFFF70400, 0xFFF80000, 0xFFF90000});
    seed(dir, fit);
    for (std::size_t n = 0x40 + 8; n < 0x40 + 5 * 16; n += 5) {
        seed(dir, cut(fit, n));
    }

    // A FIT found through its pointer, with a decoy before it, pointing at
    // an update, an empty slot and a place outside the image.
    synth::Bytes pointed(0x400, 0xFF);
    std::copy(plain.begin(), plain.end(), pointed.begin() + 0x40);
    synth::put_fit(pointed, 0x10, {0xFFF00000});
    synth::put_fit(pointed, 0x300, {synth::address_of(pointed, 0x40), synth::address_of(pointed, 0x200), 0x1000});
    synth::put_fit_pointer(pointed, synth::address_of(pointed, 0x300));
    seed(dir, pointed);
    synth::Bytes damaged = container;
    damaged[0x60] ^= 1;
    seed(dir, damaged);

    for (bool boot : {true, false}) {
        synth::Bytes b = plain;
        synth::append(b, synth::mpdt_record(boot));
        seed(dir, b);
    }
    synth::Bytes both = synth::mpdt_record(false);
    synth::append(both, synth::mpdt_record(true));
    seed(dir, both);

    // Boot Guard: each manifest layout alone, and a 4 KiB image whose FIT
    // names a key manifest and a boot policy manifest.
    for (const int version : {0x10, 0x22, 0x25}) {
        const synth::BootPolicy policy{.version = static_cast<std::uint8_t>(version),
                                       .sets = {{{0xFFFFF000, 0x1000, true}, {0xFFFFE000, 0x100, false}}},
                                       .unknown_element = version == 0x25};
        const synth::Bytes km = synth::key_manifest(version == 0x10 ? 0x10 : 0x21);
        const synth::Bytes bpm = synth::boot_policy(policy);
        seed(dir, km);
        seed(dir, bpm);
        synth::Bytes image(0x1000, 0xFF);
        std::copy(km.begin(), km.end(), image.begin() + 0x40);
        std::copy(bpm.begin(), bpm.end(), image.begin() + 0x300);
        synth::Bytes table(3 * 16, 0);
        const char signature[] = "_FIT_   ";
        std::copy(signature, signature + 8, table.begin());
        table[8] = 3;
        table[13] = 1;
        const std::size_t sizes[] = {km.size(), bpm.size()};
        const std::size_t places[] = {0x40, 0x300};
        for (std::size_t i = 0; i < 2; ++i) {
            const std::size_t e = 16 * (i + 1);
            synth::put_le64(table, e, synth::address_of(image, places[i]));
            table[e + 8] = static_cast<std::uint8_t>(sizes[i]);
            table[e + 9] = static_cast<std::uint8_t>(sizes[i] >> 8);
            table[e + 13] = 1;
            table[e + 14] = static_cast<std::uint8_t>(0x0B + i);
        }
        std::copy(table.begin(), table.end(), image.begin() + 0xE00);
        synth::put_fit_pointer(image, synth::address_of(image, 0xE00));
        seed(dir, image);
    }

    // Release notes, and an update they name, in one file.
    {
        const std::string notes =
            "## [microcode-2022027](x)\n### Purpose\n- INTEL-SA-INTEL-SA-00528 INTEL-SA-NA INTEL-SA-00532\n"
            "### Updated Platforms0\n| HSX | Cx | 06-3f-02/6f | 00000046 | N/A | Xeon\n"
            "### Removed Platforms\n| HSX | Cx | 06-3f-02/6f | 00000046 | 00000049 | Xeon\n"
            "## [microcode-20190312](y)\n### New Platforms\n| HSX | Cx | 06-3f-02/00 |  | 0000003e | Xeon\n";
        synth::Bytes b(notes.begin(), notes.end());
        synth::append(b, synth::make_update({.revision = 0x3D, .signature = 0x306F2, .flags = 0x6F, .data_size = 0x40,
                                             .extra_signatures = {0x306F3}}));
        seed(dir, b);
    }

    synth::Bytes ones;
    for (int i = 0; i < 64; ++i) {
        synth::append(ones, {1, 0, 0, 0});
    }
    seed(dir, ones);
    seed(dir, cut(ones, 63));
    return 0;
}
