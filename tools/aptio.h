#pragma once

// A made-up flash image laid out as AMI's Aptio V firmware of 2017-2020
// laptops lays it: two microcode files with different updates, the first
// followed by files that load into memory, the FIT in a RAW file with
// 0xFF slots after the table, hollow Boot Guard entries. Every byte of
// content is invented.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "flash.h"

namespace synth {

struct AptioOptions {
    // The main volume's microcode file, and the FIT volume's.
    std::vector<Update> main_updates = {
        {.revision = 0x84, .signature = 0x806E9, .flags = 0xC0, .extra_signatures = {}},
        {.revision = 0x84, .signature = 0x806EA, .flags = 0xC0, .extra_signatures = {}},
        {.revision = 0x84, .signature = 0x906E9, .flags = 0x2A, .extra_signatures = {}},
        {.revision = 0x84, .signature = 0x906EA, .flags = 0x22, .extra_signatures = {}},
        {.revision = 0x84, .signature = 0x906EB, .flags = 0x02, .extra_signatures = {}},
    };
    std::vector<Update> fit_updates = {
        {.revision = 0xB4, .signature = 0x806EC, .flags = 0x94, .extra_signatures = {}},
        {.revision = 0xB4, .signature = 0x906EC, .flags = 0x22, .extra_signatures = {}},
        {.revision = 0xB4, .signature = 0x906ED, .flags = 0x22, .extra_signatures = {}},
        {.revision = 0xB4, .signature = 0xA0652, .flags = 0x20, .extra_signatures = {}},
        {.revision = 0xB4, .signature = 0xA0653, .flags = 0x22, .extra_signatures = {}},
        {.revision = 0xB4, .signature = 0xA0660, .flags = 0x80, .extra_signatures = {}},
    };
    std::size_t main_free = 0x60000;  // free space that ends the main volume
    std::size_t fit_free = 0x14000;   // and the FIT's volume
    std::size_t fit_pad = 0xD28;      // the pad after the second microcode file; 0 for none
    bool pad_first = false;           // a pad of 0xFF right after the first microcode file
    std::size_t fit_slots = 9;        // 16-byte slots of 0xFF after the table in its file
    std::size_t fit_unused = 0;       // unused entries in the table
    bool fit_checksummed = false;     // the FIT's file sums its body (attribute 0x40)
    // What must not move, after the files that can, in the first file's run.
    enum class Blocker {
        none,
        sec_core,
        pei_core,
        peim,
        combined,         // a combined PEIM and driver
        volume_top,       // a file named as the volume top file
        fixed,            // FFS_ATTRIB_FIXED
        pad_data,         // a pad whose body holds data
        microcode,        // a third microcode file
        fit_named,        // a file the FIT's start-up module entry names
        nested_peim,      // a volume image file holding an uncompressed volume with a PEIM
        compressed_peim,  // the same volume inside a GUID-defined section: not read, so it moves
        unwalkable,       // data after the last file where free space should be
    } blocker = Blocker::none;
    bool aligned_driver = true;       // a DXE driver whose data is 4 KiB-aligned
    bool aligned_128k = false;        // a file aligned to 128 KiB on the second scale
    std::size_t nested_alignment = 0; // a file holding an uncompressed volume that asks for this; 0 for none
};

struct Aptio {
    Bytes image;
    std::size_t main_volume = 0, fit_volume = 0;
    std::size_t main_microcode = 0, fit_microcode = 0;  // file header offsets
    std::size_t fit = 0;                                // the table
    std::size_t fit_file = 0;
    std::vector<std::size_t> run;  // the files after the first microcode file, in order
};

// A 2 MiB image: the main volume (a DXE driver, the first microcode file,
// the compressed DXE volume image, an aligned DXE driver, RAW files, free
// space), the FIT's volume (the FIT's file, the second microcode file, a
// pad, a RAW file, free space) and the boot block (the ACM, a PEIM, the
// SEC core, the volume top file with the FIT pointer).
Aptio make_aptio(const AptioOptions& options);

// An FFS section: its 4-byte header and `body`.
Bytes section(std::uint8_t type, const Bytes& body);

}  // namespace synth
