// Laying a microcode file's new updates into the file, and into the room
// after it where the file must grow: the pad file that follows it, or its
// volume's free space.

#include <algorithm>

#include "edit/steps.h"

namespace tarnwick::edit {

namespace {

std::string missing_bytes(const std::string& where, std::size_t grow, const std::string& room, std::size_t missing) {
    return "no room: " + where + " must grow by " + hex(grow) + " bytes and " + room + "; " + hex(missing) +
           " bytes missing";
}

// The file's new bytes, from its header on: the header as it was, the
// updates where `at` says with 0xFF around them, the MPDT record last.
Bytes file_bytes(Image image, const FfsFile& f, std::span<const Slot> slots, std::span<const std::size_t> at,
                 std::size_t new_size, std::optional<std::size_t> mpdt_old) {
    Bytes region(new_size, 0xFF);
    std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(f.offset), ffs_header_size, region.begin());
    for (std::size_t i = 0; i < slots.size(); ++i) {
        std::copy(slots[i].bytes.begin(), slots[i].bytes.end(),
                  region.begin() + static_cast<std::ptrdiff_t>(at[i] - f.offset));
    }
    if (mpdt_old) {
        std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(*mpdt_old), mpdt_bytes, region.end() - mpdt_bytes);
    }
    return region;
}

// The file grows into the pad after it: the pad's end stays, and so does
// every byte of its body that the growth doesn't take, data included. The
// growth takes the bytes up to the end of the pad's new header, which must
// be erased. False where the pad is too small for that, or holds data there.
bool grow_into_pad(Image image, const FirmwareVolume& v, const FfsFile& f, const FfsFile& pad,
                   MicrocodeFileChange& change, Bytes& region) {
    const std::size_t new_end = f.offset + change.new_size;
    const std::size_t pad_start = v.offset + align_up(new_end - v.offset, 8);
    const std::size_t taken_end = pad_start + ffs_header_size;
    if (taken_end > pad.end() ||
        !all_erased(image.subspan(pad.body(), std::max(taken_end, pad.body()) - pad.body()))) {
        return false;
    }
    change.room = MicrocodeFileChange::Room::pad;
    change.pad_old_size = pad.size;
    change.pad_new_offset = pad_start;
    change.pad_new_size = pad.end() - pad_start;
    region.resize(taken_end - f.offset, 0xFF);
    const std::size_t header = pad_start - f.offset;
    std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(pad.offset), ffs_header_size,
                region.begin() + static_cast<std::ptrdiff_t>(header));
    seal_header(region, header, change.pad_new_size, image.subspan(taken_end, pad.end() - taken_end));
    return true;
}

// Where the file must grow: into the pad right after it, or into the free
// space that ends its volume where it is the last file; else the files
// after it move toward that free space.
std::optional<std::string> grow(Image image, const FirmwareVolume& v, std::size_t index, const Surroundings& around,
                                MicrocodeFileChange& change, Bytes& region) {
    const FfsFile& f = v.files[index];
    const std::string where = "the microcode file at " + hex(f.offset);
    if (change.new_size > max_ffs_size) {
        return where + " would grow to " + hex(change.new_size) + " bytes, past what a file that isn't large can hold";
    }
    const std::size_t next = v.offset + align_up(f.end() - v.offset, 8);
    const std::size_t new_end = f.offset + change.new_size;
    if (index + 1 < v.files.size() && v.files[index + 1].offset == next &&
        v.files[index + 1].type == ffs_type_pad) {
        const FfsFile& pad = v.files[index + 1];
        if ((pad.attributes & ffs_attribute_large) != 0) {
            return "the pad file after " + where + " is a large file (attribute 0x01), which this tool doesn't write";
        }
        // Too small, or data where the growth would go: the files after
        // it move, the pad among them (taken, where it is all 0xFF).
        if (grow_into_pad(image, v, f, pad, change, region)) {
            return std::nullopt;
        }
        return move_files_after(image, v, index, around, change, region);
    }
    if (next >= v.offset + v.files_end && v.files_whole) {
        if (new_end > v.end()) {
            return missing_bytes(where, change.new_size - f.size,
                                 "its volume's free space has " + hex(v.end() - f.end()), new_end - v.end());
        }
        change.room = MicrocodeFileChange::Room::free_space;
        return std::nullopt;
    }
    return move_files_after(image, v, index, around, change, region);
}

}  // namespace

void seal_header(Bytes& b, std::size_t at, std::size_t size, Image body) {
    put_le24(b, at + 0x14, size);
    b[at + 0x10] = ffs_header_checksum(Image(b.data() + at, ffs_header_size));
    b[at + 0x11] = (b[at + 0x13] & ffs_attribute_checksum) != 0 ? ffs_body_checksum(body) : ffs_fixed_checksum;
}

std::optional<std::string> plan_file(Image image, const MicrocodeFile& m, std::span<const Slot> slots,
                                     std::span<const Found> removed, const Surroundings& around, UpdatePlan& plan) {
    const FirmwareVolume& v = *m.volume;
    const FfsFile& f = m.file();
    const std::string where = "the microcode file at " + hex(f.offset);
    if (!v.erase_polarity_one()) {
        return "the volume of " + where + " has erase polarity 0, which this tool doesn't write";
    }
    if ((f.attributes & ffs_attribute_large) != 0) {
        return where + " is a large file (attribute 0x01), which this tool doesn't write";
    }
    if (!f.header_checksum_ok || !f.file_checksum_ok) {
        return where + " has a wrong checksum already";
    }
    if (slots.empty()) {
        return "that would leave " + where + " without an update";
    }
    std::vector<std::size_t> sizes;
    for (const Slot& s : slots) {
        sizes.push_back(s.bytes.size());
    }
    const std::vector<std::size_t> at = place(sizes, f.body(), update_spacing(m.parsed.updates), false);
    std::size_t needed = at.back() + sizes.back() - f.offset;
    if (m.parsed.mpdt) {
        needed = align_up(f.offset + needed, 16) + mpdt_bytes - f.offset;
    }

    MicrocodeFileChange change;
    change.offset = f.offset;
    change.volume_offset = v.offset;
    change.old_size = f.size;
    change.new_size = std::max(needed, f.size);
    change.mpdt_old = m.parsed.mpdt;
    if (m.parsed.mpdt) {
        change.mpdt_new = f.offset + change.new_size - mpdt_bytes;
    }
    Bytes region = file_bytes(image, f, slots, at, change.new_size, m.parsed.mpdt);
    if (needed > f.size) {
        if (std::optional<std::string> why = grow(image, v, m.index, around, change, region)) {
            return why;
        }
    }
    seal_header(region, 0, change.new_size, Image(region).subspan(ffs_header_size, change.new_size - ffs_header_size));

    change.rows_begin = plan.rows.size();
    for (std::size_t i = 0; i < slots.size(); ++i) {
        plan.rows.push_back({slots[i].old_offset, at[i], slots[i].header, slots[i].status, slots[i].bytes});
    }
    for (const Found& u : removed) {
        plan.rows.push_back({u.offset, u.offset, u.header, RowStatus::removed, image.subspan(u.offset, u.size)});
    }
    change.rows_end = plan.rows.size();
    plan.files.push_back(change);
    plan.patches.push_back({f.offset, std::move(region)});
    return std::nullopt;
}

}  // namespace tarnwick::edit
