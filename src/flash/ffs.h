#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <span>
#include <utility>
#include <vector>

#include "search/bytes.h"

namespace tarnwick {

// UEFI firmware volumes and the files of their firmware file system, as
// UEFI firmware lays them out: all fields little-endian.

using Guid = std::array<std::uint8_t, 16>;

// The file systems whose files this tool reads: FFS2 and FFS3.
inline constexpr Guid ffs2_guid{0x78, 0xE5, 0x8C, 0x8C, 0x3D, 0x8A, 0x1C, 0x4F,
                                0x99, 0x35, 0x89, 0x61, 0x85, 0xC3, 0x2D, 0xD3};
inline constexpr Guid ffs3_guid{0x7A, 0xC0, 0x73, 0x54, 0xCB, 0x3D, 0xCA, 0x4D,
                                0xBD, 0x6F, 0x1E, 0x96, 0x89, 0xE7, 0x34, 0x9A};

// "_FVH" at +0x28 of a volume header.
inline constexpr std::array<std::uint8_t, 4> volume_signature{0x5F, 0x46, 0x56, 0x48};
inline constexpr std::size_t volume_signature_offset = 0x28;

inline constexpr std::size_t ffs_header_size = 24;
inline constexpr std::uint8_t ffs_type_raw = 0x01;
inline constexpr std::uint8_t ffs_type_pad = 0xF0;
// Attributes: FFS3's large file (FFS2's old tail), the second alignment
// scale, a file that must stay where it is, the data alignment, and a
// checksummed body.
inline constexpr std::uint8_t ffs_attribute_large = 0x01;
inline constexpr std::uint8_t ffs_attribute_alignment_2 = 0x02;
inline constexpr std::uint8_t ffs_attribute_fixed = 0x04;
inline constexpr std::uint8_t ffs_attribute_alignment = 0x38;
inline constexpr std::uint8_t ffs_attribute_checksum = 0x40;
// The file that ends the volume at the top of the flash, with the reset vector.
inline constexpr std::array<std::uint8_t, 16> volume_top_file_guid{0x2E, 0x06, 0xA0, 0x1B, 0x79, 0xC7, 0x82, 0x45,
                                                                   0x85, 0x66, 0x33, 0x6A, 0xE8, 0xF7, 0x8F, 0x09};
// The file checksum of a file whose body is not checksummed.
inline constexpr std::uint8_t ffs_fixed_checksum = 0xAA;
// Volume attribute: erased flash reads as 1s (0xFF).
inline constexpr std::uint32_t volume_erase_polarity = 0x800;

// One file of a volume, from its header.
struct FfsFile {
    std::size_t offset = 0;  // of the header, in the image
    std::size_t size = 0;    // header and body, from the 24-bit size field
    Guid name{};
    std::uint8_t type = 0;
    std::uint8_t attributes = 0;
    std::uint8_t state = 0;  // as stored: with erase polarity 1, its bits inverted
    bool header_checksum_ok = false;
    bool file_checksum_ok = false;  // the body's sum, or 0xAA where it isn't summed

    std::size_t body() const { return offset + ffs_header_size; }
    // Not deleted, header and data marked valid: a file in use.
    bool in_use(bool erase_polarity_one) const {
        const std::uint8_t s = erase_polarity_one ? static_cast<std::uint8_t>(~state) : state;
        return (s & 0x04) != 0 && (s & 0x30) == 0;
    }
    std::size_t end() const { return offset + size; }
};

struct FirmwareVolume {
    std::size_t offset = 0;  // of the volume header, in the image
    std::size_t length = 0;
    bool ffs3 = false;
    std::uint32_t attributes = 0;
    std::uint8_t revision = 0;  // of the header
    std::vector<FfsFile> files;
    // Where the files end: the first byte of free space (0xFF to the
    // volume's end), or the volume's end. Files are read only as far as
    // they are whole and well formed; `files_whole` is false when the walk
    // stopped at something else.
    std::size_t files_end = 0;
    bool files_whole = false;

    std::size_t end() const { return offset + length; }
    bool erase_polarity_one() const { return (attributes & volume_erase_polarity) != 0; }
};

// Every FFS2 or FFS3 volume in the image: "_FVH" at +0x28, a header that
// lies in the image with a valid checksum, and a length that fits. Volumes
// inside other volumes' files are found too. Ascending by offset.
struct VolumeScan {
    std::vector<FirmwareVolume> volumes;
    // False when the volumes, nested or overlapping, add up to more than a
    // few times the image, which no real image does: the walk stops there
    // rather than grow with their number times their length.
    bool complete = true;
};
VolumeScan find_volumes(Image image);

// The header checksum byte that makes the 24 header bytes at `header` sum to
// zero, with the file checksum and State bytes counted as 0.
std::uint8_t ffs_header_checksum(Image header);

// The file checksum byte that makes `body` sum to zero with it.
std::uint8_t ffs_body_checksum(Image body);

// Whether `bytes` are all 0xFF.
bool all_erased(Image bytes);

// The alignment a file's data asks for, counted from its volume's start:
// attribute bits 3-5, on the second scale (128 KiB to 16 MiB) where a
// revision 2 volume's file sets FFS_ATTRIB_DATA_ALIGNMENT_2.
std::size_t data_alignment(const FfsFile& file, const FirmwareVolume& volume);

// The alignment a revision 2 volume asks for in its attributes (bits
// 16-20, a power of two); 1 for older volumes.
std::size_t volume_alignment(const FirmwareVolume& volume);

// The header of the FFS section at `at` of `bytes` (a file's bytes, up to
// its end): the section's size, its header included; the header's size (8
// where the size takes the extended form); its type. Nothing where the
// header or the section doesn't fit.
struct SectionHeader {
    std::size_t size, header;
    std::uint8_t type;
};
std::optional<SectionHeader> section_header(Image bytes, std::size_t at);

// The compressed and GUID-defined sections of `file`, [begin, end) in the
// image and in order: their content isn't there as it stands. Only files of
// the types that hold sections have any; a RAW or pad file's body is its
// data.
std::vector<std::pair<std::size_t, std::size_t>> encapsulated_sections(Image image, const FfsFile& file);

// "1BA0062E-C779-4582-8566-336AE8F78F09", as GUIDs are written.
std::string guid_text(const Guid& g);

}  // namespace tarnwick
