#include "edit/update_plan.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <utility>

#include "search/checksum.h"
#include "flash/ffs.h"
#include "flash/fit.h"
#include "intel/update_check.h"

namespace tarnwick {

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t mpdt_bytes = 16;
constexpr std::size_t max_ffs_size = 0xFFFFFF;  // larger needs a large file

std::size_t align_up(std::size_t offset, std::size_t to) { return (offset + to - 1) / to * to; }

std::string hex(std::uint64_t v) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(v));
    return text;
}

bool is_mpdt(Image image, std::size_t at) {
    return fits(image, at, mpdt_bytes) && image[at] == 'M' && image[at + 1] == 'P' && image[at + 2] == 'D' &&
           image[at + 3] == 'T';
}

// The updates of one microcode file (or container) as they lie.
struct Found {
    std::size_t offset;
    std::size_t size;
    MicrocodeUpdateHeader header;
};

struct Parsed {
    std::vector<Found> updates;
    std::optional<std::size_t> mpdt;  // its offset
    std::string damaged;              // why, when an update is damaged
    std::string refused;              // why, when something else is there
};

// Reads [from, end) as updates one after the other, 0xFF between them, and
// an MPDT record as the last 16 bytes where `mpdt_allowed`. The first update
// starts at `from`.
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
        const std::optional<MicrocodeUpdateHeader> h = view_header(image.subspan(0, end), at);
        if (!h || !is_qualifying_header(*h)) {
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

// A microcode file of the image: a RAW file in use whose body starts with
// an update header.
struct MicrocodeFile {
    const FirmwareVolume* volume;
    std::size_t index;  // in the volume's files
    Parsed parsed;
};

// The best source update for each (signature, platform flags byte): the
// highest revision, the first of equals.
class SourceIndex {
public:
    explicit SourceIndex(std::span<const SourceUpdate> sources) {
        for (std::size_t i = 0; i < sources.size(); ++i) {
            for (const ServedProcessor& p : sources[i].processors) {
                const auto key = std::make_pair(p.signature, static_cast<std::uint8_t>(p.flags));
                const auto [at, inserted] = best_.try_emplace(key, i);
                if (!inserted && sources[i].header.update_revision > sources[at->second].header.update_revision) {
                    at->second = i;
                }
            }
        }
    }

    // The newest source that serves `signature` on every platform of
    // `flags` (flags 0 only with flags 0), whatever its revision.
    std::optional<std::size_t> newest(std::span<const SourceUpdate> sources, std::uint32_t signature,
                                      std::uint32_t flags) const {
        const auto mine = static_cast<std::uint8_t>(flags);
        std::optional<std::size_t> found;
        auto consider = [&](std::uint8_t g) {
            const auto at = best_.find({signature, g});
            if (at != best_.end() &&
                (!found || sources[at->second].header.update_revision > sources[*found].header.update_revision ||
                 (sources[at->second].header.update_revision == sources[*found].header.update_revision &&
                  at->second < *found))) {
                found = at->second;
            }
        };
        if (mine == 0) {
            consider(0);
            return found;
        }
        // Every superset of the update's platform bits.
        const auto others = static_cast<std::uint8_t>(~mine);
        for (unsigned extra = others;; extra = (extra - 1) & others) {
            consider(static_cast<std::uint8_t>(mine | extra));
            if (extra == 0) {
                break;
            }
        }
        return found;
    }

private:
    std::map<std::pair<std::uint32_t, std::uint8_t>, std::size_t> best_;
};

void put_le24(Bytes& b, std::size_t at, std::size_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
    b[at + 2] = static_cast<std::uint8_t>(v >> 16);
}

// Sets the size, header checksum and file checksum of the file whose header
// starts at `at` in `b` and whose body follows it there.
void seal_file(Bytes& b, std::size_t at, std::size_t size) {
    put_le24(b, at + 0x14, size);
    const Image header(b.data() + at, ffs_header_size);
    b[at + 0x10] = ffs_header_checksum(header);
    const std::uint8_t attributes = b[at + 0x13];
    b[at + 0x11] = (attributes & ffs_attribute_checksum) != 0
                       ? ffs_body_checksum(Image(b.data() + at + ffs_header_size, size - ffs_header_size))
                       : ffs_fixed_checksum;
}

UpdatePlan refuse(std::string why) {
    UpdatePlan plan;
    plan.outcome = UpdatePlan::Outcome::refused;
    plan.reason = std::move(why);
    return plan;
}

UpdatePlan damaged(std::string why) {
    UpdatePlan plan;
    plan.outcome = UpdatePlan::Outcome::damaged;
    plan.reason = std::move(why);
    return plan;
}

// Chooses each update's replacement and lays the updates out from `start`:
// each after the last, at the next 16-byte boundary. Returns where they end.
std::size_t lay_out(Image image, std::span<const SourceUpdate> sources, const SourceIndex& index,
                    const std::vector<Found>& updates, std::size_t start, bool end_to_end, Bytes& to,
                    std::size_t to_base, std::vector<UpdateRow>& rows) {
    std::size_t at = start;
    for (std::size_t i = 0; i < updates.size(); ++i) {
        const Found& u = updates[i];
        if (i != 0 && !end_to_end) {
            at = align_up(at, 16);
        }
        UpdateRow row;
        row.old_offset = u.offset;
        row.new_offset = at;
        row.header = u.header;
        row.bytes = image.subspan(u.offset, u.size);
        const std::optional<std::size_t> newest =
            index.newest(sources, u.header.processor_signature, u.header.processor_flags);
        if (!newest) {
            row.freshness = Freshness::unknown;
        } else if (sources[*newest].header.update_revision > u.header.update_revision) {
            row.freshness = Freshness::updated;
            row.bytes = sources[*newest].bytes;
        } else {
            row.freshness = Freshness::latest;
        }
        if (to.size() < at - to_base + row.bytes.size()) {
            to.resize(at - to_base + row.bytes.size(), 0xFF);
        }
        std::copy(row.bytes.begin(), row.bytes.end(), to.begin() + static_cast<std::ptrdiff_t>(at - to_base));
        at += row.bytes.size();
        rows.push_back(row);
    }
    return at;
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

// Plans the rewrite of one microcode file: its patch and its change.
std::optional<std::string> plan_file(Image image, std::span<const SourceUpdate> sources, const SourceIndex& index,
                                     const MicrocodeFile& m, UpdatePlan& plan) {
    const FirmwareVolume& v = *m.volume;
    const FfsFile& f = v.files[m.index];
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
    const std::size_t body = f.body();
    Bytes region;  // from the file's header on
    region.assign(image.begin() + static_cast<std::ptrdiff_t>(f.offset),
                  image.begin() + static_cast<std::ptrdiff_t>(body));
    std::size_t content_end = lay_out(image, sources, index, m.parsed.updates, body, false, region, f.offset, plan.rows);
    std::optional<std::size_t> mpdt_at;
    if (m.parsed.mpdt) {
        mpdt_at = align_up(content_end, 16);
        content_end = *mpdt_at + mpdt_bytes;
    }
    MicrocodeFileChange change;
    change.offset = f.offset;
    change.volume_offset = v.offset;
    change.old_size = f.size;
    const std::size_t needed = content_end - f.offset;
    std::size_t region_end = f.end();
    if (needed <= f.size) {
        change.new_size = f.size;
        change.room = MicrocodeFileChange::Room::kept;
        if (mpdt_at) {
            mpdt_at = f.end() - mpdt_bytes;
        }
    } else {
        change.new_size = needed;
        if (needed > max_ffs_size) {
            return where + " would grow to " + hex(needed) + " bytes, past what a file that isn't large can hold";
        }
        const std::size_t next = v.offset + align_up(f.end() - v.offset, 8);
        const std::size_t new_end = f.offset + needed;
        const FfsFile* pad = m.index + 1 < v.files.size() && v.files[m.index + 1].offset == next ? &v.files[m.index + 1]
                                                                                                 : nullptr;
        if (pad != nullptr && pad->type == ffs_type_pad) {
            if ((pad->attributes & ffs_attribute_large) != 0 || !all_erased(image.subspan(pad->body(), pad->size - ffs_header_size))) {
                return "the pad file after " + where + " is large or holds data";
            }
            const std::size_t pad_start = v.offset + align_up(new_end - v.offset, 8);
            const std::size_t pad_end = pad->end();
            if (pad_start > pad_end || pad_end - pad_start < ffs_header_size) {
                const std::size_t left = pad_start > pad_end ? 0 : pad_end - pad_start;
                const std::size_t missing = ffs_header_size - left + (pad_start > pad_end ? pad_start - pad_end : 0);
                return "no room: " + where + " must grow by " + hex(needed - f.size) +
                       " bytes and the pad file after it has too few; " + hex(missing) + " bytes missing";
            }
            change.room = MicrocodeFileChange::Room::pad;
            change.pad_old_size = pad->size;
            change.pad_new_offset = pad_start;
            change.pad_new_size = pad_end - pad_start;
            region_end = pad_end;
            region.resize(pad_end - f.offset, 0xFF);
            // The pad's header as it was, at its new place, its body erased.
            std::fill(region.begin() + static_cast<std::ptrdiff_t>(new_end - f.offset), region.end(), 0xFF);
            std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(pad->offset), ffs_header_size,
                        region.begin() + static_cast<std::ptrdiff_t>(pad_start - f.offset));
            // Sealed below, once the file's own bytes are in.
        } else if (next >= v.offset + v.files_end && v.files_whole) {
            if (new_end > v.end()) {
                return "no room: " + where + " must grow by " + hex(needed - f.size) +
                       " bytes and its volume's free space has " + hex(v.end() - f.end()) + "; " +
                       hex(new_end - v.end()) + " bytes missing";
            }
            change.room = MicrocodeFileChange::Room::free_space;
            region_end = new_end;
        } else {
            return "no room: " + where + " must grow by " + hex(needed - f.size) +
                   " bytes, and no pad file or free space follows it";
        }
    }
    const std::size_t file_end = f.offset + change.new_size;
    if (region.size() < region_end - f.offset) {
        region.resize(region_end - f.offset, 0xFF);
    }
    // 0xFF from the last update to the file's end, then the MPDT record.
    std::fill(region.begin() + static_cast<std::ptrdiff_t>(content_end - f.offset - (mpdt_at ? mpdt_bytes : 0)),
              region.begin() + static_cast<std::ptrdiff_t>(file_end - f.offset), 0xFF);
    if (mpdt_at) {
        std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(*m.parsed.mpdt), mpdt_bytes,
                    region.begin() + static_cast<std::ptrdiff_t>(*mpdt_at - f.offset));
    }
    seal_file(region, 0, change.new_size);
    if (change.room == MicrocodeFileChange::Room::pad) {
        seal_file(region, change.pad_new_offset - f.offset, change.pad_new_size);
    }
    plan.files.push_back(change);
    plan.patches.push_back({f.offset, std::move(region)});
    return std::nullopt;
}

// Files whose body covers [from, to) and is summed: their checksums follow
// the change. The files being rewritten are sealed already.
void note_body_checksums(const std::vector<FirmwareVolume>& volumes, std::size_t from, std::size_t to,
                         const UpdatePlan& plan, std::vector<const FfsFile*>& out) {
    for (const FirmwareVolume& v : volumes) {
        for (const FfsFile& f : v.files) {
            if ((f.attributes & ffs_attribute_checksum) == 0 || f.body() > from || f.end() < to) {
                continue;
            }
            const bool rewritten = std::any_of(plan.patches.begin(), plan.patches.end(),
                                               [&](const Patch& p) { return p.offset <= f.offset &&
                                                                            f.offset < p.offset + p.bytes.size(); });
            if (!rewritten && std::find(out.begin(), out.end(), &f) == out.end()) {
                out.push_back(&f);
            }
        }
    }
}

// Re-points the FIT's microcode entries; adds its patch.
std::optional<std::string> plan_fit(Image image, const std::map<std::size_t, std::size_t>& moved, UpdatePlan& plan) {
    const FitCheck fit = check_fit(image);
    if (fit.pointer.outcome != FitPointer::Outcome::found) {
        return std::nullopt;
    }
    plan.has_fit = true;
    for (const FitEntry& e : fit.entries) {
        if (e.type == 0x0B || e.type == 0x0C) {
            return "the FIT holds Boot Guard manifests (type " + hex(e.type) +
                   "): the FIT and what it names are measured at boot, and a changed one stops the board from booting";
        }
    }
    for (const FitMicrocode& m : fit.microcode) {
        if (!m.offset || moved.find(*m.offset) == moved.end()) {
            return "FIT entry " + std::to_string(m.index) + " names " + hex(m.address) +
                   ", which is not the start of an intact update in a microcode file; tarnwick -fitcheck shows why";
        }
    }
    if (!fit.errors.empty()) {
        return "the FIT has errors (" + fit.errors.front() + "); tarnwick -fitcheck shows them";
    }
    const std::size_t bytes = fit.entries.size() * fit_entry_size;
    Bytes table(image.begin() + static_cast<std::ptrdiff_t>(fit.pointer.offset),
                image.begin() + static_cast<std::ptrdiff_t>(fit.pointer.offset + bytes));
    for (const FitMicrocode& m : fit.microcode) {
        const std::size_t to = moved.at(*m.offset);
        const std::uint64_t address = m.address - *m.offset + to;
        for (int k = 0; k < 8; ++k) {
            table[m.index * fit_entry_size + static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(address >> (8 * k));
        }
        plan.fit_repointed += to != *m.offset ? 1 : 0;
    }
    plan.fit_microcode_entries = fit.microcode.size();
    if (fit.checksum_valid) {
        table[15] = 0;
        table[15] = static_cast<std::uint8_t>(0x100 - sum_bytes(table));
    }
    plan.patches.push_back({fit.pointer.offset, std::move(table)});
    return std::nullopt;
}

// A file that is nothing but updates end to end, perhaps 0xFF after them.
std::optional<UpdatePlan> plan_container(Image image, std::span<const SourceUpdate> sources,
                                         const SourceIndex& index) {
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
            return damaged("the update at " + hex(at) + " of the container is damaged: " +
                           std::string(status_word(c.status)));
        }
        updates.push_back({at, static_cast<std::size_t>(c.total_size), *h});
        at += static_cast<std::size_t>(c.total_size);
    }
    if (updates.empty()) {
        return std::nullopt;
    }
    UpdatePlan plan;
    plan.container = true;
    Bytes all;
    plan.new_size = lay_out(image, sources, index, updates, 0, true, all, 0, plan.rows);
    plan.patches.push_back({0, std::move(all)});
    return plan;
}

bool is_cbfs(Image image) {
    static constexpr std::uint8_t larchive[] = {'L', 'A', 'R', 'C', 'H', 'I', 'V', 'E'};
    return find_pattern(image, 0, larchive).has_value();
}

}  // namespace

void add_source_updates(Image container, std::vector<SourceUpdate>& to) {
    for (const FoundUpdate& u : find_intact_updates(container)) {
        to.push_back({container.subspan(u.offset, static_cast<std::size_t>(u.check.total_size)), u.header,
                      layout_update(container, u).processors});
    }
}

std::size_t UpdatePlan::updated() const {
    return static_cast<std::size_t>(
        std::count_if(rows.begin(), rows.end(), [](const UpdateRow& r) { return r.freshness == Freshness::updated; }));
}

UpdatePlan plan_update(Image image, std::span<const SourceUpdate> sources) {
    const SourceIndex index(sources);
    const FoundUpdates found = find_updates(image);
    if (found.updates.empty()) {
        return UpdatePlan{};
    }

    const VolumeScan scan = find_volumes(image);
    if (!scan.complete) {
        return refuse("the firmware volumes overlap far more than any real image's");
    }
    UpdateChecker checker(image);
    std::vector<MicrocodeFile> files;
    for (const FirmwareVolume& v : scan.volumes) {
        for (std::size_t i = 0; i < v.files.size(); ++i) {
            if (std::optional<MicrocodeFile> m = as_microcode_file(image, v, i, checker)) {
                if (!m->parsed.damaged.empty()) {
                    return damaged(m->parsed.damaged);
                }
                files.push_back(std::move(*m));
            }
        }
    }

    // Real images hold one microcode file, or two with a backup; a crafted
    // one with thousands would make every later step grow with their square.
    constexpr std::size_t most_files = 64;
    if (files.size() > most_files) {
        return refuse(std::to_string(files.size()) + " microcode files, far more than any real image holds");
    }
    UpdatePlan plan;
    if (files.empty()) {
        if (std::optional<UpdatePlan> container = plan_container(image, sources, index)) {
            plan = std::move(*container);
            if (plan.outcome == UpdatePlan::Outcome::damaged) {
                return plan;
            }
        } else if (is_cbfs(image)) {
            return refuse("the updates lie in a coreboot CBFS image, not in a firmware file: replace its "
                          "cpu_microcode_blob.bin with cbfstool");
        } else {
            return refuse("no UEFI microcode file or container holds the updates (a legacy BIOS image?): "
                          "this tool changes only those");
        }
    } else {
        for (const MicrocodeFile& m : files) {
            if (!m.parsed.refused.empty()) {
                return refuse(m.parsed.refused);
            }
        }
        plan.new_size = image.size();
        for (const MicrocodeFile& m : files) {
            if (std::optional<std::string> why = plan_file(image, sources, index, m, plan)) {
                return refuse(*why);
            }
        }
    }
    if (plan.updated() == 0) {
        UpdatePlan none;
        none.outcome = UpdatePlan::Outcome::nothing_newer;
        none.rows = std::move(plan.rows);
        return none;
    }
    if (!plan.container) {
        std::map<std::size_t, std::size_t> moved;
        for (const UpdateRow& r : plan.rows) {
            moved[r.old_offset] = r.new_offset;
        }
        if (std::optional<std::string> why = plan_fit(image, moved, plan)) {
            return refuse(*why);
        }
        // No two patches may touch one byte.
        std::vector<std::pair<std::size_t, std::size_t>> spans;
        for (const Patch& p : plan.patches) {
            spans.emplace_back(p.offset, p.offset + p.bytes.size());
            if (p.offset + p.bytes.size() > image.size()) {
                return refuse("internal check failed: a change runs past the image's end");
            }
        }
        std::sort(spans.begin(), spans.end());
        for (std::size_t i = 1; i < spans.size(); ++i) {
            if (spans[i].first < spans[i - 1].second) {
                return refuse("internal check failed: the FIT lies inside a microcode or pad file");
            }
        }
        // A summed body that holds changed bytes gets its checksum from the
        // old one: take out the old bytes' sum, add the new.
        std::vector<const FfsFile*> summed;
        for (const Patch& p : plan.patches) {
            note_body_checksums(scan.volumes, p.offset, p.offset + p.bytes.size(), plan, summed);
        }
        std::vector<Patch> checksums;
        for (const FfsFile* f : summed) {
            unsigned sum = image[f->offset + 0x11];
            for (const Patch& p : plan.patches) {
                if (p.offset >= f->body() && p.offset + p.bytes.size() <= f->end()) {
                    for (std::size_t i = 0; i < p.bytes.size(); ++i) {
                        sum += image[p.offset + i] + 0x100u - p.bytes[i];
                    }
                }
            }
            checksums.push_back({f->offset + 0x11, {static_cast<std::uint8_t>(sum)}});
            plan.body_checksums.push_back(f->offset);
        }
        for (Patch& p : checksums) {
            plan.patches.push_back(std::move(p));
        }
        std::sort(plan.patches.begin(), plan.patches.end(),
                  [](const Patch& a, const Patch& b) { return a.offset < b.offset; });
        for (const FirmwareVolume& v : scan.volumes) {
            for (const FfsFile& f : v.files) {
                plan.files_before.emplace_back(f.offset, f.header_checksum_ok && f.file_checksum_ok);
            }
        }
    }
    plan.outcome = UpdatePlan::Outcome::planned;
    return plan;
}

std::vector<Image> new_image_pieces(Image image, const UpdatePlan& plan) {
    if (plan.container) {
        return {Image(plan.patches.front().bytes)};
    }
    std::vector<Image> pieces;
    std::size_t from = 0;
    for (const Patch& p : plan.patches) {  // ascending and apart
        if (p.offset > from) {
            pieces.push_back(image.subspan(from, p.offset - from));
        }
        pieces.push_back(p.bytes);
        from = p.offset + p.bytes.size();
    }
    if (from < image.size()) {
        pieces.push_back(image.subspan(from));
    }
    return pieces;
}

std::vector<std::uint8_t> apply_update(Image image, const UpdatePlan& plan) {
    Bytes out;
    for (const Image piece : new_image_pieces(image, plan)) {
        out.insert(out.end(), piece.begin(), piece.end());
    }
    return out;
}

std::optional<std::string> check_updated(Image old_image, Image new_image, const UpdatePlan& plan) {
    UpdateChecker checker(new_image);
    for (const UpdateRow& r : plan.rows) {
        if (!fits(new_image, r.new_offset, r.bytes.size()) ||
            !std::equal(r.bytes.begin(), r.bytes.end(), new_image.begin() + static_cast<std::ptrdiff_t>(r.new_offset))) {
            return "the update for " + hex(r.header.processor_signature) + " is not at " + hex(r.new_offset);
        }
        if (checker.check(r.new_offset).status != UpdateStatus::ok) {
            return "the update at " + hex(r.new_offset) + " does not pass the checks";
        }
    }
    if (plan.container) {
        return new_image.size() == plan.new_size ? std::nullopt
                                                 : std::optional<std::string>("the container's size is wrong");
    }
    if (new_image.size() != old_image.size()) {
        return std::string("the image's size changed");
    }
    // Nothing changed but the patches and the checksums they ask for: the
    // bytes between them are compared a run at a time.
    std::vector<std::pair<std::size_t, std::size_t>> changed;
    for (const Patch& p : plan.patches) {
        changed.emplace_back(p.offset, p.offset + p.bytes.size());
    }
    std::sort(changed.begin(), changed.end());
    changed.emplace_back(new_image.size(), new_image.size());
    std::size_t from = 0;
    for (const auto& [start, end] : changed) {
        if (start > from &&
            !std::equal(old_image.begin() + static_cast<std::ptrdiff_t>(from),
                        old_image.begin() + static_cast<std::ptrdiff_t>(start),
                        new_image.begin() + static_cast<std::ptrdiff_t>(from))) {
            const auto at = std::mismatch(old_image.begin() + static_cast<std::ptrdiff_t>(from),
                                          old_image.begin() + static_cast<std::ptrdiff_t>(start),
                                          new_image.begin() + static_cast<std::ptrdiff_t>(from));
            return "a byte outside the microcode files, their pads and the FIT changed, at " +
                   hex(static_cast<std::size_t>(at.first - old_image.begin()));
        }
        from = std::max(from, end);
    }
    // Every file readable with valid checksums, unless it was broken already.
    const VolumeScan new_scan = find_volumes(new_image);
    const std::map<std::size_t, bool> was_ok(plan.files_before.begin(), plan.files_before.end());
    std::map<std::size_t, const FfsFile*> now;
    for (const FirmwareVolume& v : new_scan.volumes) {
        for (const FfsFile& f : v.files) {
            now[f.offset] = &f;
            const auto before = was_ok.find(f.offset);
            if (!(f.header_checksum_ok && f.file_checksum_ok) && (before == was_ok.end() || before->second)) {
                return "the file at " + hex(f.offset) + " has a wrong checksum";
            }
        }
    }
    std::size_t rows_seen = 0;
    for (const MicrocodeFileChange& c : plan.files) {
        const auto f = now.find(c.offset);
        if (f == now.end() || f->second->size != c.new_size) {
            return "the microcode file at " + hex(c.offset) + " is not there with its new size";
        }
        if (c.room == MicrocodeFileChange::Room::pad) {
            const auto pad = now.find(c.pad_new_offset);
            if (pad == now.end() || pad->second->type != ffs_type_pad || pad->second->size != c.pad_new_size) {
                return "the pad file after " + hex(c.offset) + " is not at " + hex(c.pad_new_offset);
            }
        }
        // Read as a microcode file again, it holds the updates where planned.
        UpdateChecker again(new_image);
        const Parsed parsed = parse_updates(new_image, f->second->body(), f->second->end(), true, again, "");
        if (!parsed.damaged.empty() || !parsed.refused.empty()) {
            return "the microcode file at " + hex(c.offset) + " reads back wrong: " + parsed.damaged + parsed.refused;
        }
        for (const Found& u : parsed.updates) {
            if (rows_seen >= plan.rows.size() || plan.rows[rows_seen].new_offset != u.offset) {
                return "the microcode file at " + hex(c.offset) + " holds an update at " + hex(u.offset) +
                       " that was not planned";
            }
            ++rows_seen;
        }
    }
    if (rows_seen != plan.rows.size()) {
        return std::string("the microcode files hold fewer updates than planned");
    }
    if (plan.has_fit) {
        const FitCheck fit = check_fit(new_image);
        if (fit.pointer.outcome != FitPointer::Outcome::found || !fit.errors.empty()) {
            return "the FIT does not pass -fitcheck" + (fit.errors.empty() ? std::string() : ": " + fit.errors.front());
        }
        if (fit.microcode.size() != plan.fit_microcode_entries) {
            return std::string("the FIT has another number of microcode entries");
        }
        std::vector<std::size_t> starts;
        for (const UpdateRow& r : plan.rows) {
            starts.push_back(r.new_offset);
        }
        std::sort(starts.begin(), starts.end());
        for (const FitMicrocode& m : fit.microcode) {
            const bool named = m.offset && std::binary_search(starts.begin(), starts.end(), *m.offset);
            if (!named || m.status != UpdateStatus::ok) {
                return "FIT entry " + std::to_string(m.index) + " does not name an intact update of the new image";
            }
        }
    }
    return std::nullopt;
}

}  // namespace tarnwick
