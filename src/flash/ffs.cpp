#include "flash/ffs.h"

#include <algorithm>

#include "search/checksum.h"
#include "search/find_pattern.h"

namespace tarnwick {

namespace {

constexpr std::size_t volume_header_min = 0x38;  // through Revision; the block map follows
constexpr std::size_t large_header_size = 32;

std::size_t align8(std::size_t offset) { return (offset + 7) & ~std::size_t{7}; }

bool all_bytes(Image bytes, std::uint8_t value) {
    return std::all_of(bytes.begin(), bytes.end(), [value](std::uint8_t b) { return b == value; });
}

// Walks the files of `v` (its header already read), from `first` on.
void walk_files(Image image, FirmwareVolume& v, std::size_t first) {
    const Image volume = image.subspan(v.offset, v.length);
    const std::uint8_t erased = v.erase_polarity_one() ? 0xFF : 0x00;
    std::size_t pos = first;
    v.files_end = v.length;
    v.files_whole = false;
    while (true) {
        if (pos == v.length) {
            v.files_whole = true;
            break;
        }
        if (!fits(volume, pos, ffs_header_size)) {
            // Fewer bytes than a header: only free space may be left.
            v.files_end = pos;
            v.files_whole = all_bytes(volume.subspan(pos), erased);
            break;
        }
        if (all_bytes(volume.subspan(pos, ffs_header_size), erased)) {
            v.files_end = pos;
            v.files_whole = all_bytes(volume.subspan(pos), erased);
            break;
        }
        FfsFile f;
        f.offset = v.offset + pos;
        std::copy_n(volume.begin() + static_cast<std::ptrdiff_t>(pos), 16, f.name.begin());
        f.type = volume[pos + 0x12];
        f.attributes = volume[pos + 0x13];
        f.state = volume[pos + 0x17];
        std::size_t header = ffs_header_size;
        std::uint64_t size = read_le32(volume, pos + 0x14) & 0xFFFFFF;
        if (v.ffs3 && (f.attributes & ffs_attribute_large) != 0) {
            if (!fits(volume, pos, large_header_size)) {
                v.files_end = pos;
                break;
            }
            header = large_header_size;
            size = read_le64(volume, pos + ffs_header_size);
        }
        if (size < header || size > volume.size() - pos) {
            v.files_end = pos;
            break;
        }
        f.size = static_cast<std::size_t>(size);
        const Image h = volume.subspan(pos, header);
        f.header_checksum_ok = ffs_header_checksum(h) == h[0x10];
        const Image body = volume.subspan(pos + header, f.size - header);
        f.file_checksum_ok = (f.attributes & ffs_attribute_checksum) != 0 ? ffs_body_checksum(body) == h[0x11]
                                                                          : h[0x11] == ffs_fixed_checksum;
        v.files.push_back(f);
        const std::size_t next = align8(pos + f.size);
        if (next >= v.length) {
            v.files_whole = next == v.length;
            v.files_end = v.length;
            break;
        }
        // The alignment gap is erased bytes.
        if (!all_bytes(volume.subspan(pos + f.size, next - pos - f.size), erased)) {
            v.files_end = next;
            break;
        }
        pos = next;
    }
}

}  // namespace

std::uint8_t ffs_header_checksum(Image header) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < header.size(); ++i) {
        if (i != 0x10 && i != 0x11 && i != 0x17) {
            sum += header[i];
        }
    }
    return static_cast<std::uint8_t>(0x100 - (sum & 0xFF));
}

std::uint8_t ffs_body_checksum(Image body) { return static_cast<std::uint8_t>(0x100 - sum_bytes(body)); }

bool all_erased(Image bytes) { return all_bytes(bytes, 0xFF); }

std::size_t data_alignment(const FfsFile& file, const FirmwareVolume& volume) {
    static constexpr std::size_t scale[8] = {1, 16, 128, 512, 1024, 4 * 1024, 32 * 1024, 64 * 1024};
    const unsigned code = (file.attributes & ffs_attribute_alignment) >> 3;
    if (volume.revision >= 2 && (file.attributes & ffs_attribute_alignment_2) != 0) {
        return std::size_t{128 * 1024} << code;  // 128 KiB to 16 MiB
    }
    return scale[code];
}

std::size_t volume_alignment(const FirmwareVolume& volume) {
    if (volume.revision < 2) {
        return 1;
    }
    return std::size_t{1} << ((volume.attributes >> 16) & 0x1F);
}

std::optional<SectionHeader> section_header(Image bytes, std::size_t at) {
    if (!fits(bytes, at, 4)) {
        return std::nullopt;
    }
    SectionHeader h{read_le32(bytes, at) & 0xFFFFFF, 4, bytes[at + 3]};
    if (h.size == 0xFFFFFF) {  // the size follows the header
        if (!fits(bytes, at, 8)) {
            return std::nullopt;
        }
        h.size = read_le32(bytes, at + 4);
        h.header = 8;
    }
    if (h.size < h.header || h.size > bytes.size() - at) {
        return std::nullopt;
    }
    return h;
}

std::vector<std::pair<std::size_t, std::size_t>> encapsulated_sections(Image image, const FfsFile& file) {
    constexpr std::uint8_t compression = 0x01, guid_defined = 0x02;
    std::vector<std::pair<std::size_t, std::size_t>> found;
    if (file.type == ffs_type_raw || file.type == ffs_type_pad || file.end() > image.size()) {
        return found;
    }
    const Image body = image.subspan(0, file.end());
    std::size_t pos = file.body();
    while (const std::optional<SectionHeader> s = section_header(body, pos)) {
        if (s->type == compression || s->type == guid_defined) {
            found.emplace_back(pos, pos + s->size);
        }
        pos += (s->size + 3) & ~std::size_t{3};
    }
    return found;
}

std::string guid_text(const Guid& g) {
    static constexpr int order[16] = {3, 2, 1, 0, -1, 5, 4, -1, 7, 6, -1, 8, 9, -1, 10, 11};
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    for (const int i : order) {
        if (i < 0) {
            text += '-';
            continue;
        }
        text += digits[g[static_cast<std::size_t>(i)] >> 4];
        text += digits[g[static_cast<std::size_t>(i)] & 0xF];
    }
    for (std::size_t i = 12; i < 16; ++i) {
        text += digits[g[i] >> 4];
        text += digits[g[i] & 0xF];
    }
    return text;
}

VolumeScan find_volumes(Image image) {
    VolumeScan scan;
    std::uint64_t walked = 0;
    for_each_match(image, volume_signature, [&](std::size_t at) {
        if (at < volume_signature_offset || !scan.complete) {
            return;
        }
        const std::size_t start = at - volume_signature_offset;
        if (!fits(image, start, volume_header_min)) {
            return;
        }
        const Image h = image.subspan(start);
        Guid fs{};
        std::copy_n(h.begin() + 0x10, 16, fs.begin());
        if (fs != ffs2_guid && fs != ffs3_guid) {
            return;
        }
        const std::uint64_t length = read_le64(h, 0x20);
        const std::size_t header_length = read_le16(h, 0x30);
        if (length > h.size() || header_length < volume_header_min || header_length > length ||
            header_length % 2 != 0) {
            return;
        }
        unsigned sum = 0;
        for (std::size_t i = 0; i < header_length; i += 2) {
            sum += read_le16(h, i);
        }
        if ((sum & 0xFFFF) != 0) {
            return;
        }
        FirmwareVolume v;
        v.offset = start;
        v.length = static_cast<std::size_t>(length);
        v.ffs3 = fs == ffs3_guid;
        v.attributes = read_le32(h, 0x2C);
        v.revision = h[0x37];
        std::size_t first = header_length;
        // An extended header, where there is one, comes before the files.
        if (const std::size_t ext = read_le16(h, 0x34); ext != 0) {
            if (ext < header_length || !fits(h.subspan(0, v.length), ext, 20)) {
                return;
            }
            const std::uint64_t ext_size = read_le32(h, ext + 16);
            if (ext_size > v.length - ext) {
                return;
            }
            first = ext + static_cast<std::size_t>(ext_size);
        }
        first = align8(first);
        if (first > v.length) {
            return;
        }
        walked += v.length;
        if (walked > 4 * std::uint64_t{image.size()} + (1u << 20)) {
            scan.complete = false;
            return;
        }
        walk_files(image, v, first);
        scan.volumes.push_back(std::move(v));
    });
    return scan;
}

}  // namespace tarnwick
