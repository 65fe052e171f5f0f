#include "search/microcode_header.h"

namespace tarnwick {

std::optional<MicrocodeUpdateHeader> view_header(Image image, std::size_t pos) {
    if (!fits(image, pos, judged_header_bytes)) {
        return std::nullopt;
    }
    const Image h = image.subspan(pos, judged_header_bytes);
    return MicrocodeUpdateHeader{
        read_le32(h, 0),  read_le32(h, 4),  read_le32(h, 8),  read_le32(h, 12), read_le32(h, 16),
        read_le32(h, 20), read_le32(h, 24), read_le32(h, 28), read_le32(h, 32),
    };
}

bool is_qualifying_header(const MicrocodeUpdateHeader& header) {
    if (header.header_version != 1) {
        return false;
    }
    if (header.century() != 0x19 && header.century() != 0x20) {
        return false;
    }
    // Sizes in 64 bits: a total smaller than the header itself must not wrap
    // round into a match.
    const std::uint64_t data = header.data_size;
    const std::uint64_t total = header.total_size;
    if (data == 0 && total == 0) {
        return true;
    }
    constexpr std::uint64_t header_bytes = 48;
    if (total < data + header_bytes) {
        return false;
    }
    const std::uint64_t extra = total - data - header_bytes;
    if (extra == 0) {
        return true;
    }
    // What follows the data may be an extended signature table: a 20-byte
    // table header and one or more 12-byte signature entries.
    constexpr std::uint64_t table_header = 20;
    constexpr std::uint64_t table_entry = 12;
    return data != 0 && extra >= table_header + table_entry && (extra - table_header) % table_entry == 0;
}

bool is_qualifying_header(Image image, std::size_t candidate) {
    const std::optional<MicrocodeUpdateHeader> header = view_header(image, candidate);
    return header && is_qualifying_header(*header);
}

}  // namespace tarnwick
