// Writes the example files shipped in examples/: a container of three
// made-up updates, a small BIOS-like image holding them with a FIT, and a
// database that knows two of the three.

#include <string>

#include "synth.h"

int main(int argc, char** argv) {
    const char* out = synth::output_dir(argc, argv);
    if (out == nullptr) {
        return 2;
    }
    const std::string dir = out;

    const synth::Bytes a = synth::make_update({});
    const synth::Bytes b = synth::make_update({.revision = 0xF4,
                                               .date = 0x04232023,
                                               .signature = 0x000906EA,
                                               .flags = 0x22,
                                               .data_size = 0x7B0,
                                               .extra_signatures = {0x000906EB, 0x000906EC}});
    const synth::Bytes c = synth::make_update(
        {.revision = 0x0D, .date = 0x09012008, .signature = 0x000006F6, .flags = 0x01, .data_size = 0, .extra_signatures = {}});

    synth::Bytes container;
    for (const synth::Bytes* u : {&a, &b, &c}) {
        synth::append(container, *u);
    }

    // Flash is mapped to end at 4 GiB, so image offset o sits at base + o.
    constexpr std::size_t size = 0x8000;
    constexpr std::uint64_t base = 0x100000000 - size;
    constexpr std::size_t updates_at = 0x1000;
    synth::Bytes bios(size, 0xFF);
    std::copy(container.begin(), container.end(), bios.begin() + updates_at);
    const synth::Bytes mpdt = synth::mpdt_record(true);
    std::copy(mpdt.begin(), mpdt.end(), bios.begin() + 0x6000);
    synth::put_fit(bios, 0x7E00,
                   {base + updates_at, base + updates_at + a.size(), base + updates_at + a.size() + b.size()});
    // The processor finds the FIT through the pointer at 4 GiB - 0x40.
    synth::put_fit_pointer(bios, base + 0x7E00);

    const std::string database = "# Known microcode updates, one key per line\n" + synth::key_of(a) +
                                 "\n" + synth::key_of(c) + "\n";

    const bool ok = synth::write_file(dir + "/container.bin", container) && synth::write_file(dir + "/bios.bin", bios) &&
                    synth::write_file(dir + "/ZOR.dat", synth::Bytes(database.begin(), database.end()));
    return ok ? 0 : 1;
}
