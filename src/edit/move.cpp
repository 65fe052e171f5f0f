// Room for a microcode file by moving the files after it toward its
// volume's free space, as a volume rebuild does. Files the firmware loads
// into memory (a compressed volume, DXE drivers, RAW files found by name)
// can move; files that run in place, or that something names by address,
// can't. FFS checksums don't depend on a file's place, so the moved files
// are copied unchanged.

#include <algorithm>
#include <cstdio>

#include "bootguard/boot_guard.h"
#include "edit/steps.h"
#include "flash/ffs.h"

namespace tarnwick::edit {

namespace {

constexpr std::size_t header_size = 48;      // of an update, where a FIT entry names no whole one
constexpr std::uint16_t acm_module_type = 2;  // the first field of an ACM's header

std::string type_hex(std::uint8_t type) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X", type);
    return text;
}

std::string file_words(const FfsFile& f) {
    return "the file at " + hex(f.offset) + " (" + guid_text(f.name) + ", type " + type_hex(f.type) + ")";
}

// What the FIT names that lies in [from, to), if anything does.
const Surroundings::Named* named_in(const Surroundings& s, std::size_t from, std::size_t to) {
    // Among the ranges that begin before `to`, one reaches past `from`.
    const auto after = std::lower_bound(s.fit_named.begin(), s.fit_named.end(), to,
                                        [](const Surroundings::Named& n, std::size_t at) { return n.begin < at; });
    const std::size_t count = static_cast<std::size_t>(after - s.fit_named.begin());
    if (count == 0 || s.named_reach[count - 1] <= from) {
        return nullptr;
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (s.fit_named[i].end > from) {
            return &s.fit_named[i];
        }
    }
    return nullptr;
}

// The volumes that lie directly in file `f`: in its body, outside its
// compressed and GUID-defined sections, and not inside another of them.
std::vector<const FirmwareVolume*> volumes_in(Image image, const FfsFile& f, const VolumeScan& scan) {
    std::vector<const FirmwareVolume*> found;
    const auto first = std::lower_bound(scan.volumes.begin(), scan.volumes.end(), f.body(),
                                        [](const FirmwareVolume& v, std::size_t at) { return v.offset < at; });
    // The volumes come by offset, and so do the sections: one walk of each.
    const std::vector<std::pair<std::size_t, std::size_t>> hidden = encapsulated_sections(image, f);
    auto section = hidden.begin();
    std::size_t inside_until = 0;  // the end of the last volume taken
    for (auto v = first; v != scan.volumes.end() && v->offset < f.end(); ++v) {
        while (section != hidden.end() && section->second <= v->offset) {
            ++section;
        }
        const bool encapsulated = section != hidden.end() && section->first <= v->offset;
        if (v->offset < inside_until || v->end() > f.end() || encapsulated) {
            continue;
        }
        found.push_back(&*v);
        inside_until = v->end();
    }
    return found;
}

// Why `f` (in `v`) can't move, if it can't; `alignment` takes the largest
// alignment of the volumes it holds.
std::optional<std::string> why_it_stays(Image image, const FfsFile& f, const Surroundings& s,
                                        std::size_t& alignment) {
    switch (f.type) {
        case 0x03: return std::string("the SEC core, which runs where it lies");
        case 0x04: return std::string("the PEI core, which runs where it lies");
        case 0x06: return std::string("a PEIM, which runs where it lies");
        case 0x08: return std::string("a combined PEIM and driver, which runs where it lies");
        default: break;
    }
    if (f.name == volume_top_file_guid) {
        return std::string("the volume top file");
    }
    if ((f.attributes & ffs_attribute_fixed) != 0) {
        return std::string("marked fixed (attribute 0x04)");
    }
    if (f.type == ffs_type_pad) {
        const auto body = image.begin() + static_cast<std::ptrdiff_t>(f.body());
        const auto data = std::find_if(body, image.begin() + static_cast<std::ptrdiff_t>(f.end()),
                                       [](std::uint8_t b) { return b != 0xFF; });
        if (data != image.begin() + static_cast<std::ptrdiff_t>(f.end())) {
            return "a pad whose body holds data at " + hex(static_cast<std::size_t>(data - image.begin()));
        }
    }
    if (std::binary_search(s.microcode_files.begin(), s.microcode_files.end(), f.offset)) {
        return std::string("a microcode file");
    }
    if (const Surroundings::Named* n = named_in(s, f.offset, f.end())) {
        return "named by the FIT: " + n->what;
    }
    for (const FirmwareVolume* inner : volumes_in(image, f, *s.scan)) {
        alignment = std::max(alignment, volume_alignment(*inner));
        for (const FfsFile& g : inner->files) {
            if (std::optional<std::string> why = why_it_stays(image, g, s, alignment)) {
                return "holding the volume at " + hex(inner->offset) + ", whose " + file_words(g) + " is " + *why;
            }
        }
    }
    return std::nullopt;
}

// The pad header that fills a gap: named and stated as the pad taken, else
// the volume's first pad, else the image's, else as a new one.
Bytes gap_pad_header(Image image, const FfsFile* taken, const FirmwareVolume& v, const VolumeScan& scan,
                     std::size_t size) {
    auto first_pad = [](const FirmwareVolume& w) -> const FfsFile* {
        const auto pad = std::find_if(w.files.begin(), w.files.end(), [](const FfsFile& f) { return f.type == ffs_type_pad; });
        return pad == w.files.end() ? nullptr : &*pad;
    };
    const FfsFile* model = taken != nullptr ? taken : first_pad(v);
    for (auto w = scan.volumes.begin(); model == nullptr && w != scan.volumes.end(); ++w) {
        model = first_pad(*w);
    }
    Bytes h(ffs_header_size, 0xFF);
    h[0x17] = 0xF8;  // header and data valid, stored inverted
    std::uint8_t attributes = 0;
    if (model != nullptr) {
        std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(model->offset), 16, h.begin());
        h[0x17] = model->state;
        attributes = model->attributes & ffs_attribute_checksum;
    }
    h[0x12] = ffs_type_pad;
    h[0x13] = attributes;
    const Bytes body(size - ffs_header_size, 0xFF);
    seal_header(h, 0, size, body);
    return h;
}

}  // namespace

Surroundings surroundings(Image image, const VolumeScan& scan, const FitCheck& fit,
                          const std::vector<MicrocodeFile>& files) {
    Surroundings s;
    s.scan = &scan;
    for (const MicrocodeFile& m : files) {
        s.microcode_files.push_back(m.file().offset);
    }
    std::sort(s.microcode_files.begin(), s.microcode_files.end());
    if (fit.pointer.outcome == FitPointer::Outcome::found) {
        s.fit_named.push_back({fit.pointer.offset, fit.pointer.offset + fit.entries.size() * fit_entry_size,
                               "the table itself"});
        auto name = [&](std::size_t i, std::size_t at, std::uint64_t size) {
            const std::uint8_t type = fit.entries[i].type;
            const std::string_view words = fit_type_name(type);
            size = std::clamp<std::uint64_t>(size, 1, image.size() - at);
            s.fit_named.push_back({at, at + static_cast<std::size_t>(size),
                                   "FIT entry " + std::to_string(i) + " (type " + type_hex(type) +
                                       (words.empty() ? "" : ", " + std::string(words)) + ") at " + hex(at)});
        };
        auto microcode = fit.microcode.begin();  // in the entries' order
        for (std::size_t i = 1; i < fit.entries.size(); ++i) {
            const FitEntry& e = fit.entries[i];
            const std::optional<std::size_t> at = offset_of_address(e.address, image.size());
            if (e.type == fit_type_microcode) {
                // Its update whole, or 48 bytes where none is there.
                const FitMicrocode& m = *microcode++;
                if (at) {
                    name(i, *at, m.slot == FitMicrocode::Slot::update ? m.header.effective_total_size() : header_size);
                }
                continue;
            }
            if (e.type == 0x7F || !at) {
                continue;
            }
            // Sizes count 16-byte units, but the Boot Guard manifests',
            // which count bytes; an ACM says its own in its header.
            std::uint64_t size = std::uint64_t{e.size} * 16;
            if (names_a_manifest(e.type)) {
                size = e.size;
            } else if (e.type == 0x02 && fits(image, *at, 0x1C) && read_le16(image, *at) == acm_module_type) {
                size = std::uint64_t{read_le32(image, *at + 0x18)} * 4;
            }
            name(i, *at, size);
        }
    }
    std::stable_sort(s.fit_named.begin(), s.fit_named.end(),
                     [](const Surroundings::Named& a, const Surroundings::Named& b) { return a.begin < b.begin; });
    std::size_t reach = 0;
    for (const Surroundings::Named& n : s.fit_named) {
        reach = std::max(reach, n.end);
        s.named_reach.push_back(reach);
    }
    return s;
}

std::optional<std::string> move_files_after(Image image, const FirmwareVolume& v, std::size_t index,
                                            const Surroundings& around, MicrocodeFileChange& change, Bytes& region) {
    const FfsFile& f = v.files[index];
    const std::string no_room = "no room for the file at " + hex(f.offset) + ": ";
    if (!v.files_whole) {
        return no_room + "the files of the volume at " + hex(v.offset) + " can't be walked to its end";
    }
    const std::size_t end = v.offset + align_up(f.offset + change.new_size - v.offset, 8);  // E
    std::size_t i = index + 1;
    const FfsFile* taken = nullptr;
    if (i < v.files.size() && v.files[i].type == ffs_type_pad && (v.files[i].attributes & ffs_attribute_large) == 0 &&
        all_erased(image.subspan(v.files[i].body(), v.files[i].end() - v.files[i].body()))) {
        taken = &v.files[i++];
    }
    const std::size_t free_start = v.offset + v.files_end;
    const std::size_t first = i < v.files.size() ? v.files[i].offset : free_start;  // F
    std::size_t alignment = 8;
    for (std::size_t j = i; j < v.files.size(); ++j) {
        const FfsFile& g = v.files[j];
        if (std::optional<std::string> why = why_it_stays(image, g, around, alignment)) {
            return no_room + file_words(g) + " would have to move and is " + *why;
        }
        alignment = std::max(alignment, data_alignment(g, v));
        change.moved.push_back({g.offset, g.size, data_alignment(g, v)});
    }
    // The least shift, a multiple of every alignment, that clears the grown
    // file and leaves a gap that is empty or holds a pad's header.
    std::size_t shift = end > first ? align_up(end - first, alignment) : 0;
    while (first + shift - end != 0 && first + shift - end < ffs_header_size) {
        shift += alignment;
    }
    const std::size_t free = v.end() - free_start;
    if (shift > free || !all_erased(image.subspan(free_start, shift))) {
        return "no room: " + hex(change.new_size - f.size) + " more bytes for the file at " + hex(f.offset) +
               "; moving the " + std::to_string(change.moved.size()) + " files after it by " + hex(shift) + " needs " +
               hex(shift) + " free bytes, the volume at " + hex(v.offset) + " has " + hex(free);
    }
    const std::size_t gap = first + shift - end;
    if (gap > max_ffs_size) {
        return no_room + "the gap after it would need a pad of " + hex(gap) +
               " bytes, more than a file that isn't large can hold";
    }
    region.resize(free_start + shift - f.offset, 0xFF);
    std::copy(image.begin() + static_cast<std::ptrdiff_t>(first), image.begin() + static_cast<std::ptrdiff_t>(free_start),
              region.begin() + static_cast<std::ptrdiff_t>(first + shift - f.offset));
    if (gap != 0) {
        const Bytes header = gap_pad_header(image, taken, v, *around.scan, gap);
        std::copy(header.begin(), header.end(), region.begin() + static_cast<std::ptrdiff_t>(end - f.offset));
        change.gap_pad = end;
        change.gap_pad_size = gap;
    }
    change.room = MicrocodeFileChange::Room::moved;
    change.taken_pad = taken != nullptr ? taken->size : 0;
    change.moved_first = first;
    change.shift = shift;
    change.free_start = free_start;
    change.free_before = free;
    return std::nullopt;
}

}  // namespace tarnwick::edit
