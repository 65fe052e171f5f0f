// Where an image keeps its updates: microcode files of firmware volumes, or
// a container that is nothing else, and how the updates lie in them.

#include <algorithm>
#include <cstdio>

#include "edit/steps.h"

namespace tarnwick::edit {

std::string hex(std::uint64_t v) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(v));
    return text;
}

namespace {

bool is_mpdt(Image image, std::size_t at) {
    return fits(image, at, mpdt_bytes) && image[at] == 'M' && image[at + 1] == 'P' && image[at + 2] == 'D' &&
           image[at + 3] == 'T';
}

}  // namespace

Parsed parse_updates(Image image, std::size_t from, std::size_t end, bool mpdt_allowed, UpdateChecker& checker,
                     const std::string& where) {
    Parsed p;
    std::size_t at = from;
    while (at < end) {
        if (!p.updates.empty() && image[at] == 0xFF) {
            ++at;
            continue;
        }
        if (mpdt_allowed && !p.updates.empty() && end - at == mpdt_bytes && is_mpdt(image, at)) {
            p.mpdt = at;
            break;
        }
        // Updates start on 16-byte boundaries, as the processor loads them:
        // of the flash, or counted from the first where that is off them.
        const bool aligned = p.updates.empty() || at % 16 == 0 || (at - from) % 16 == 0;
        const std::optional<MicrocodeUpdateHeader> h = view_header(image.subspan(0, end), at);
        if (!aligned || !h || !is_qualifying_header(*h)) {
            p.refused = "data that is no update at " + hex(at) + " after the updates " + where;
            return p;
        }
        const UpdateCheck c = checker.check(at);
        if (c.status != UpdateStatus::ok) {
            p.damaged = "the update at " + hex(at) + " " + where + " is damaged: " + std::string(status_word(c.status));
            return p;
        }
        if (c.total_size > end - at) {
            p.damaged = "the update at " + hex(at) + " " + where + " runs past the end";
            return p;
        }
        p.updates.push_back({at, static_cast<std::size_t>(c.total_size), *h});
        at += static_cast<std::size_t>(c.total_size);
    }
    return p;
}

std::optional<MicrocodeFile> as_microcode_file(Image image, const FirmwareVolume& v, std::size_t index,
                                               UpdateChecker& checker) {
    const FfsFile& f = v.files[index];
    if (f.type != ffs_type_raw || !f.in_use(v.erase_polarity_one()) || f.size < ffs_header_size) {
        return std::nullopt;
    }
    // A large file's header is longer; its body is judged from there.
    const bool large = v.ffs3 && (f.attributes & ffs_attribute_large) != 0;
    const std::size_t body = f.offset + (large ? 32 : ffs_header_size);
    if (body > f.end() || !is_qualifying_header(image.subspan(0, f.end()), body)) {
        return std::nullopt;
    }
    MicrocodeFile m{&v, index, {}};
    m.parsed = parse_updates(image, body, f.end(), true, checker, "in the microcode file at " + hex(f.offset));
    return m;
}

std::optional<std::vector<Found>> container_updates(Image image, std::string& damaged) {
    UpdateChecker checker(image);
    std::vector<Found> updates;
    // Where the 0xFF after the updates begins.
    std::size_t tail = image.size();
    while (tail > 0 && image[tail - 1] == 0xFF) {
        --tail;
    }
    std::size_t at = 0;
    while (at < tail) {
        const std::optional<MicrocodeUpdateHeader> h = view_header(image, at);
        if (!h || !is_qualifying_header(*h)) {
            return std::nullopt;
        }
        const UpdateCheck c = checker.check(at);
        if (c.status == UpdateStatus::truncated || c.status == UpdateStatus::bad_size) {
            return std::nullopt;
        }
        if (c.status != UpdateStatus::ok) {
            damaged = "the update at " + hex(at) + " of the container is damaged: " + std::string(status_word(c.status));
            return updates;
        }
        updates.push_back({at, static_cast<std::size_t>(c.total_size), *h});
        at += static_cast<std::size_t>(c.total_size);
    }
    if (updates.empty()) {
        return std::nullopt;
    }
    return updates;
}

std::size_t update_spacing(std::span<const Found> updates) {
    bool packed = true;
    std::size_t common = 0;  // the greatest power of two dividing every distance, up to 4 KiB
    constexpr std::size_t widest = 0x1000;
    for (std::size_t i = 1; i < updates.size(); ++i) {
        packed = packed && updates[i].offset == align_up(updates[i - 1].offset + updates[i - 1].size, 16);
        const std::size_t distance = updates[i].offset - updates.front().offset;
        if (distance % 16 != 0) {
            return 0;  // a first update off the 16-byte grid: pack the rest on it
        }
        std::size_t p = widest;
        while (p > 16 && distance % p != 0) {
            p /= 2;
        }
        common = common == 0 ? p : std::min(common, p);
    }
    return packed ? 0 : common;
}

std::vector<std::size_t> place(std::span<const std::size_t> sizes, std::size_t start, std::size_t spacing,
                               bool end_to_end) {
    std::vector<std::size_t> at;
    std::size_t next = start;
    for (const std::size_t size : sizes) {
        if (!at.empty() && !end_to_end) {
            next = spacing == 0 ? align_up(next, 16) : start + align_up(next - start, spacing);
        }
        at.push_back(next);
        next += size;
    }
    return at;
}

}  // namespace tarnwick::edit
