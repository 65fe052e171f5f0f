#pragma once

// Made-up microcode updates, containers and BIOS-like images for tests, the
// examples, the fuzzer's seeds and the benchmark. Laid out as Intel's
// formats are; every byte of content is invented.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace synth {

using Bytes = std::vector<std::uint8_t>;

void put_le32(Bytes& b, std::size_t off, std::uint32_t v);
void put_le64(Bytes& b, std::size_t off, std::uint64_t v);
void append(Bytes& to, const Bytes& from);

struct Update {
    std::uint32_t revision = 0x1B;
    std::uint32_t date = 0x07132016;
    std::uint32_t signature = 0x000306C3;
    std::uint32_t flags = 0x32;
    std::uint32_t data_size = 0x3D0;  // 0 makes an old-style 2048-byte update
    // Signatures for an extended signature table; none means no table.
    std::vector<std::uint32_t> extra_signatures;
};

// A whole update whose 32-bit words sum to zero (and so does its extended
// table). Its data holds no 00 byte, so it adds no candidates of its own.
Bytes make_update(const Update& u);

// Sets the checksums of the update at `at` (in the header, and in its
// extended table if the sizes leave room for one) so that both sum to zero
// again after a test has changed a field. Entry checksums are left alone.
void seal_update(Bytes& b, std::size_t at = 0);

// A bare 48-byte header with the given fields and a zero checksum.
Bytes make_header(std::uint32_t revision, std::uint32_t date, std::uint32_t signature,
                  std::uint32_t flags, std::uint32_t data_size, std::uint32_t total_size);

// The 48-digit key by which the scan names an update.
std::string key_of(const Bytes& update, std::size_t offset = 0);

// A FIT at `offset` in `image`: a header entry, one microcode entry per
// address, and a closing entry of type 0x7F.
void put_fit(Bytes& image, std::size_t offset, const std::vector<std::uint64_t>& addresses);

// The FIT pointer: the 64-bit physical address at 0x40 bytes before the
// image's end, for an image whose last byte sits at 0xFFFFFFFF.
void put_fit_pointer(Bytes& image, std::uint64_t address);
// The physical address of offset `offset` in such an image.
std::uint64_t address_of(const Bytes& image, std::size_t offset);

Bytes mpdt_record(bool boot);

// Crafted files whose headers overlap, for the tests that bound output,
// memory and time by the input's size. Each extended signature entry names
// a processor of its own.
enum class Crafted {
    // `headers` nested headers whose sizes all end on one table of
    // `entries` entries; no checksum is right.
    shared_table,
    // The same with every checksum right: every update is intact. One
    // header alone is an intact update that serves `entries` processors.
    shared_table_intact,
    // Headers whose tables start 4 bytes apart, each with its own count.
    staggered_tables,
    // An AMD container whose table gives one equivalence id `entries`
    // processors, and `headers` patches of that id.
    amd_shared_table,
};
Bytes make_crafted(Crafted shape, std::size_t headers, std::size_t entries);

// Writes `bytes` to `path` as they are; false when that fails.
bool write_file(const std::string& path, const Bytes& bytes);
bool write_file(const std::string& path, const std::string& bytes);

// The output folder of a generator's command line `NAME DIR`, or nothing
// after printing its usage.
const char* output_dir(int argc, char** argv);

}  // namespace synth

namespace synth {

// A made-up AMD patch: its 64-byte header and `size` bytes in all. Where
// `checksum` is true (formats 0x8000 and 0x8003) the header holds the sum
// of the body's words.
struct AmdPatch {
    std::uint32_t date = 0x04302008;  // BCD 0xMMDDYYYY
    std::uint32_t patch_id = 0x01000083;
    std::uint16_t format = 0x8000;
    std::uint8_t len = 0x20;
    std::uint8_t init = 0;
    std::uint16_t equiv_id = 0x1022;
    std::size_t size = 0x3C0;
    bool checksum = true;
    std::uint32_t checksum_field = 0;  // written as is where `checksum` is false
};
Bytes make_amd_patch(const AmdPatch& p);

// One loader container: "DMA\0", an equivalence table of {cpuid, equiv id}
// and its closing zero entry, then one section per patch.
Bytes make_amd_container(const std::vector<std::pair<std::uint32_t, std::uint16_t>>& table,
                         const std::vector<Bytes>& patches);

}  // namespace synth
