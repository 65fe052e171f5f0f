#pragma once

// Made-up UEFI flash images: firmware volumes with a microcode file, pad
// files, a FIT and a volume-top file, laid out as UEFI firmware and
// vendors' images lay them. Every byte of content is invented.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "manifests.h"
#include "synth.h"

namespace synth {

using Guid = std::array<std::uint8_t, 16>;

// "17088572-377F-44EF-8F4E-B09FFF46A070" as stored: the first three fields
// little-endian.
Guid guid(const std::string& text);

// An FFS file: header (state "data valid" under erase polarity 1), body and
// both checksums; attribute 0x40 makes the body checksummed.
Bytes ffs_file(const Guid& name, std::uint8_t type, std::uint8_t attributes, const Bytes& body);
// One FIT entry to lay into a table.
struct FitEntrySpec {
    std::uint64_t address;
    std::uint8_t type;      // 0x7F: an unused entry, 16 bytes of 0xFF
    std::uint32_t size = 0;
};
// A FIT: its header entry, then `entries`; the header's checksum-valid bit
// and checksum where `checksum`.
Bytes fit_table(const std::vector<FitEntrySpec>& entries, bool checksum);

// A pad file of `size` bytes in all, its body erased.
Bytes pad_file(std::size_t size);

// Files laid one after the other, each at the next 8-byte boundary, into a
// volume that starts at `base` in the image.
class VolumeBuilder {
public:
    VolumeBuilder(std::size_t base, std::size_t length, bool ffs3 = false)
        : base_(base), length_(length), ffs3_(ffs3) {}
    // Where the next file's header will go, in the image.
    std::size_t next() const { return base_ + (used_ + 7) / 8 * 8; }
    std::size_t add(Bytes file);
    // A pad first where needed, so that the next file's data lands on a
    // multiple of `to`, counted from the volume's start.
    void align_data(std::size_t to);
    std::size_t used() const { return used_; }
    std::size_t end() const { return base_ + length_; }
    std::size_t base() const { return base_; }
    Bytes build() const;
    // With another length and volume attributes (bits 16-20: the alignment it asks for).
    Bytes build(std::size_t length, std::uint32_t attributes) const;

private:
    std::size_t base_;
    std::size_t length_;
    bool ffs3_;
    std::size_t used_ = 0x48;  // the volume header
    std::vector<Bytes> files_;
};

// Sets a volume header's checksum: its 16-bit words, as far as the header
// length at 0x30 says and the bytes go, sum to zero.
void seal_volume_header(Bytes& v);

// A volume of `length` bytes holding `files` one after the other (each at
// the next 8-byte boundary), then free space (0xFF).
Bytes volume(std::size_t length, const std::vector<Bytes>& files, bool ffs3 = false);
// The same with other volume attributes (bits 16-20: the alignment it asks for).
Bytes volume(std::size_t length, const std::vector<Bytes>& files, bool ffs3, std::uint32_t attributes);

// What a Boot Guard range covers, placed once the layout is known.
enum class Cover {
    startup_block,        // the volume-top file
    microcode_file,       // the main volume's microcode file
    fit,                  // the table alone
    pad_start,            // the first 0x100 bytes of the pad after the microcode file
    copy_microcode_file,  // the second volume's microcode file
};
struct Covered {
    Cover over;
    bool hashed = true;
};

// The FIT's Boot Guard entries and what they name.
struct GuardOptions {
    enum class Manifests {
        none,         // no entries
        other_bytes,  // entries that name bytes of another file
        zeros,        // entries that name a file of zeros, as unprovisioned images have
        erased,       // the same, of 0xFF
        real,         // a key manifest and a boot policy manifest
    } manifests = Manifests::none;
    std::uint8_t km_version = 0x10;
    std::uint8_t bpm_version = 0x10;
    std::vector<Covered> segments = {{Cover::startup_block}};
    bool two_sets = false;         // the segments split over two IBB sets
    bool unknown_element = false;  // an element the reader must skip
    std::vector<Cover> vendor;     // AMI's protected-range file, with these ranges
    std::uint32_t bpm_cut = 0;     // taken off the BPM's size in the FIT
};

struct FlashOptions {
    std::vector<Update> updates = {Update{}};  // in the microcode file, in order
    enum class Mpdt { none, direct, slack } mpdt = Mpdt::direct;  // the file's last 16 bytes
    std::size_t pad = 0x8000;   // size of the pad file after the microcode file; 0 for none
    bool edk2 = false;          // the microcode file in a volume of its own, with free space after it
    bool copy = false;          // a second volume with the same microcode file and pad
    std::vector<Update> copy_updates;  // with `copy`: other updates in the second volume's file
    bool checksummed = false;   // the microcode file's body is checksummed (attribute 0x40)
    bool large = false;         // FFS3 volume, and the microcode file marked large
    bool fit = true;
    bool fit_checksum = true;   // the FIT header's checksum-valid bit
    GuardOptions guard;         // FIT entries of types 0x0B and 0x0C
    bool fit_to_data = false;   // a FIT microcode entry names a byte inside an update
    bool legacy = false;        // no volumes: the updates and the FIT lie in plain flash
    // What vendors' images hold beyond the tidy layout:
    std::size_t spacing = 0;    // each update this far from the one before, counted from the first
                                // (HP: 0x800); 0 packs each at the next 16-byte boundary
    std::size_t pad_data = 0;   // 16 bytes of data this far before the pad's end (a start-up vector)
    bool pad_checksummed = false;  // the pad's body is checksummed (attribute 0x40)
    std::size_t fit_unused = 2; // unused entries (type 0x7F) in the FIT
    bool unused_at_end = false; // after the other entries, as community releases have them,
                                // instead of right after the microcode entries
    std::size_t fit_slots = 0;  // 16-byte slots of 0xFF after the table in its file
    std::size_t fit_slack = 0;  // and this many more bytes of 0xFF: less than a slot
    bool fit_slot_data = false; // a byte of data in the first slot
    bool fit_in_pad = false;    // the table in a pad file, as EDK2 places it before the volume-top file
    bool fit_outside = false;   // the table in no file, in the 0xFF below the volumes
    bool fit_microcode = true;  // microcode entries in the FIT
    bool fit_pointer = true;    // false: a region cut from the flash without its boot block
    bool odd_sizes = false;     // files whose sizes aren't multiples of 8
};

struct Flash {
    Bytes image;
    std::vector<std::size_t> microcode_files;  // header offsets, the FIT's copy first
    std::size_t fit = 0;                       // the FIT's offset
    std::vector<std::size_t> files;            // every file's header offset, for comparisons
    std::size_t pad_data = 0;                  // where the pad's data lies, if it has any
    std::size_t key_manifest = 0, boot_policy = 0;  // what the Boot Guard entries name
    std::size_t protected_ranges = 0;          // AMI's file, where there is one
};

// A 2 MiB image: an AMI-style main volume (microcode file, pad, a
// checksummed file with other content, the FIT in a file of its own, a pad
// up to the volume-top file with the FIT pointer), or the EDK2 and other
// layouts the options name.
Flash make_flash(const FlashOptions& options);

}  // namespace synth
