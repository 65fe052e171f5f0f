// The planner: finds where the image keeps its updates, chooses, lays out,
// edits the FIT and mends the checksums that cover what changed, each a
// step of its own.

#include "edit/plan.h"

#include <algorithm>
#include <utility>

#include "edit/steps.h"
#include "flash/fit.h"
#include "intel/update_check.h"
#include "search/find_pattern.h"

namespace tarnwick {

namespace {

using edit::Bytes;
using edit::Found;
using edit::hex;
using edit::MicrocodeFile;

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

bool is_cbfs(Image image) {
    static constexpr std::uint8_t larchive[] = {'L', 'A', 'R', 'C', 'H', 'I', 'V', 'E'};
    return find_pattern(image, 0, larchive).has_value();
}

// Where the image keeps its updates: its microcode files, or without any,
// the updates of a file that is nothing but updates (and why it is damaged,
// where it is); a plan that says why where it can't go on.
struct Stores {
    VolumeScan scan;
    std::vector<MicrocodeFile> files;
    std::optional<std::vector<Found>> container;
    std::string container_damaged;
    std::optional<UpdatePlan> stop;
};

// Whether `inner` lies whole in the body of one of `outer`'s files.
bool in_a_file_of(const FirmwareVolume& inner, const FirmwareVolume& outer) {
    const auto after = std::upper_bound(outer.files.begin(), outer.files.end(), inner.offset,
                                        [](std::size_t at, const FfsFile& f) { return at < f.offset; });
    return after != outer.files.begin() && std::prev(after)->body() <= inner.offset &&
           inner.end() <= std::prev(after)->end();
}

// A volume that another overlaps, neither lying whole in a file of the
// other: a change to one would change what the other's files read as.
std::optional<std::string> tangled(const VolumeScan& scan, const FirmwareVolume& v) {
    for (const FirmwareVolume& w : scan.volumes) {
        if (&w == &v || w.end() <= v.offset || v.end() <= w.offset) {
            continue;
        }
        if ((w.offset <= v.offset && v.end() <= w.end() && in_a_file_of(v, w)) ||
            (v.offset <= w.offset && w.end() <= v.end() && in_a_file_of(w, v))) {
            continue;
        }
        return "the firmware volumes at " + hex(std::min(v.offset, w.offset)) + " and " +
               hex(std::max(v.offset, w.offset)) + " overlap, neither lying in a file of the other";
    }
    return std::nullopt;
}

Stores find_stores(Image image) {
    Stores s;
    s.scan = find_volumes(image);
    if (!s.scan.complete) {
        s.stop = refuse("the firmware volumes overlap far more than any real image's");
        return s;
    }
    UpdateChecker checker(image);
    for (const FirmwareVolume& v : s.scan.volumes) {
        for (std::size_t i = 0; i < v.files.size(); ++i) {
            if (std::optional<MicrocodeFile> m = edit::as_microcode_file(image, v, i, checker)) {
                if (!m->parsed.damaged.empty()) {
                    s.stop = damaged(m->parsed.damaged);
                    return s;
                }
                s.files.push_back(std::move(*m));
            }
        }
    }
    // Real images hold one microcode file, or two with a backup; a crafted
    // one with thousands would make every later step grow with their square.
    constexpr std::size_t most_files = 64;
    if (s.files.size() > most_files) {
        s.stop = refuse(std::to_string(s.files.size()) + " microcode files, far more than any real image holds");
        return s;
    }
    for (const MicrocodeFile& m : s.files) {
        if (!m.parsed.refused.empty()) {
            s.stop = refuse(m.parsed.refused);
            return s;
        }
    }
    const FirmwareVolume* checked = nullptr;  // the files come volume by volume
    for (const MicrocodeFile& m : s.files) {
        if (m.volume == checked) {
            continue;
        }
        checked = m.volume;
        if (std::optional<std::string> why = tangled(s.scan, *m.volume)) {
            s.stop = refuse(*why);
            return s;
        }
    }
    if (s.files.empty()) {
        s.container = edit::container_updates(image, s.container_damaged);
    }
    return s;
}

// The updates of each microcode file, as the choice takes them.
std::vector<std::vector<Found>> stored_updates(const Stores& stores) {
    std::vector<std::vector<Found>> found;
    for (const MicrocodeFile& m : stores.files) {
        found.push_back(m.parsed.updates);
    }
    return found;
}

UpdatePlan nothing_to_do(edit::Chosen& chosen, UpdatePlan& planned) {
    UpdatePlan none;
    none.outcome = UpdatePlan::Outcome::nothing_newer;
    none.change = planned.change;
    none.rows = std::move(planned.rows);
    none.left_out = std::move(chosen.left_out);
    return none;
}

// A file that is nothing but updates: rewritten whole, end to end.
UpdatePlan plan_container(Image image, const Stores& stores, Change change, std::span<const SourceUpdate> sources,
                          std::span<const std::uint32_t> signatures) {
    const std::optional<std::vector<Found>>& updates = stores.container;
    if (!stores.container_damaged.empty()) {
        return damaged(stores.container_damaged);
    }
    if (!updates) {
        if (is_cbfs(image)) {
            return refuse("the updates lie in a coreboot CBFS image, not in a firmware file: replace its "
                          "cpu_microcode_blob.bin with cbfstool");
        }
        return refuse("no UEFI microcode file or container holds the updates (a legacy BIOS image?): "
                      "this tool changes only those");
    }
    edit::Chosen chosen = edit::choose(image, change, {*updates}, sources, signatures);
    UpdatePlan plan;
    plan.change = change;
    plan.container = true;
    const std::vector<edit::Slot>& slots = chosen.files.front();
    std::vector<std::size_t> sizes;
    for (const edit::Slot& s : slots) {
        sizes.push_back(s.bytes.size());
    }
    const std::vector<std::size_t> at = edit::place(sizes, 0, 0, true);
    Bytes all;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        all.insert(all.end(), slots[i].bytes.begin(), slots[i].bytes.end());
        plan.rows.push_back({slots[i].old_offset, at[i], slots[i].header, slots[i].status, slots[i].bytes});
    }
    for (const Found& u : chosen.removed.front()) {
        plan.rows.push_back({u.offset, u.offset, u.header, RowStatus::removed, image.subspan(u.offset, u.size)});
    }
    if (!chosen.changes) {
        return nothing_to_do(chosen, plan);
    }
    if (slots.empty()) {
        return refuse("that would leave the container without an update");
    }
    plan.left_out = std::move(chosen.left_out);
    plan.new_size = all.size();
    plan.patches.push_back({0, std::move(all)});
    plan.outcome = UpdatePlan::Outcome::planned;
    return plan;
}

// The file in whose updates the FIT's microcode entries point, where they
// point into one; else the first.
std::size_t fit_copy(const FitCheck& fit, const std::vector<MicrocodeFile>& files) {
    if (fit.pointer.outcome == FitPointer::Outcome::found) {
        for (const FitMicrocode& m : fit.microcode) {
            for (std::size_t i = 0; m.offset && i < files.size(); ++i) {
                if (*m.offset >= files[i].file().body() && *m.offset < files[i].file().end()) {
                    return i;
                }
            }
        }
    }
    return 0;
}

// Files outside the rewritten ones whose summed body holds changed bytes
// (the file that holds the FIT, say): each checksum follows from the old
// one, taking out the old bytes' sum and adding the new.
void mend_body_checksums(Image image, const VolumeScan& scan, UpdatePlan& plan) {
    std::vector<const FfsFile*> summed;
    for (const FirmwareVolume& v : scan.volumes) {
        for (const FfsFile& f : v.files) {
            if ((f.attributes & ffs_attribute_checksum) == 0) {
                continue;
            }
            bool covers = false, rewritten = false;
            for (const Patch& p : plan.patches) {
                covers = covers || (f.body() <= p.offset && p.offset + p.bytes.size() <= f.end());
                rewritten = rewritten || (p.offset <= f.offset && f.offset < p.offset + p.bytes.size());
            }
            if (covers && !rewritten) {
                summed.push_back(&f);
            }
        }
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
}

// No patch may run past the image or touch another's bytes.
std::optional<std::string> patches_apart(Image image, UpdatePlan& plan) {
    std::sort(plan.patches.begin(), plan.patches.end(),
              [](const Patch& a, const Patch& b) { return a.offset < b.offset; });
    for (std::size_t i = 0; i < plan.patches.size(); ++i) {
        const Patch& p = plan.patches[i];
        if (p.bytes.size() > image.size() || p.offset > image.size() - p.bytes.size()) {
            return std::string("internal check failed: a change runs past the image's end");
        }
        if (i != 0 && p.offset < plan.patches[i - 1].offset + plan.patches[i - 1].bytes.size()) {
            return std::string("internal check failed: the FIT lies inside a microcode or pad file");
        }
    }
    return std::nullopt;
}

UpdatePlan plan_change(Image image, Change change, Stores stores, std::span<const SourceUpdate> sources,
                       std::span<const std::uint32_t> signatures) {
    // A microcode file starts with an update; only without one (or where the
    // volumes weren't all read) is the image searched for any at all.
    if ((stores.files.empty() || !stores.scan.complete) && find_updates(image).updates.empty()) {
        return UpdatePlan{};
    }
    if (stores.stop) {
        return std::move(*stores.stop);
    }
    if (stores.files.empty()) {
        return plan_container(image, stores, change, sources, signatures);
    }
    const FitCheck fit = check_fit(image);
    if (const std::optional<std::size_t> unnamed = edit::unnamed_fit(image, fit)) {
        return refuse("the file holds a FIT at " + hex(*unnamed) +
                      " that its last 64 bytes don't point to, so it is not the top of the flash and the FIT's "
                      "addresses can't be mapped: give the whole flash image, or the BIOS region with its boot block");
    }
    // A manifest that doesn't read leaves what Boot Guard verifies unknown.
    const BootGuard guard = read_boot_guard(image, fit, stores.scan);
    if (guard.state == ManifestState::malformed) {
        return refuse("the FIT's Boot Guard manifests don't read (" + guard.why +
                      "), so what Boot Guard verifies is unknown; tarnwick -fitcheck shows them");
    }
    edit::Chosen chosen = edit::choose(image, change, stored_updates(stores), sources, signatures);
    UpdatePlan plan;
    plan.change = change;
    plan.new_size = image.size();
    const edit::Surroundings around = edit::surroundings(image, stores.scan, fit, stores.files);
    for (std::size_t i = 0; i < stores.files.size(); ++i) {
        if (std::optional<std::string> why =
                edit::plan_file(image, stores.files[i], chosen.files[i], chosen.removed[i], around, plan)) {
            return refuse(*why);
        }
    }
    if (!chosen.changes) {
        return nothing_to_do(chosen, plan);
    }
    plan.left_out = std::move(chosen.left_out);

    edit::Moves moves;
    std::vector<std::size_t> added;
    const std::size_t copy = fit_copy(fit, stores.files);
    for (std::size_t f = 0; f < plan.files.size(); ++f) {
        for (std::size_t r = plan.files[f].rows_begin; r < plan.files[f].rows_end; ++r) {
            const UpdateRow& row = plan.rows[r];
            if (row.status == RowStatus::added) {
                if (f == copy) {
                    added.push_back(row.new_offset);
                }
            } else {
                moves[row.old_offset] = row.present() ? std::optional<std::size_t>(row.new_offset) : std::nullopt;
            }
        }
    }
    if (std::optional<std::string> why = edit::plan_fit(image, fit, stores.scan, moves, added, plan)) {
        return refuse(*why);
    }
    mend_body_checksums(image, stores.scan, plan);
    if (std::optional<std::string> why = patches_apart(image, plan)) {
        return refuse(*why);
    }
    if (guard.named()) {
        plan.guard = guard.state == ManifestState::present ? UpdatePlan::Guard::verified : UpdatePlan::Guard::hollow;
        plan.protected_ranges = protected_ranges(guard, image.size());
        if (std::optional<std::string> why = edit::protected_change(image, plan, stores.scan, fit)) {
            return refuse(*why);
        }
    }
    for (const FirmwareVolume& v : stores.scan.volumes) {
        for (const FfsFile& f : v.files) {
            plan.files_before.emplace_back(f.offset, f.header_checksum_ok && f.file_checksum_ok);
        }
    }
    plan.outcome = UpdatePlan::Outcome::planned;
    return plan;
}

}  // namespace

void add_source_updates(Image container, std::vector<SourceUpdate>& to) {
    for (const FoundUpdate& u : find_intact_updates(container)) {
        to.push_back({container.subspan(u.offset, static_cast<std::size_t>(u.check.total_size)), u.header,
                      layout_update(container, u).processors});
    }
}

std::size_t UpdatePlan::count(RowStatus status) const {
    return static_cast<std::size_t>(
        std::count_if(rows.begin(), rows.end(), [status](const UpdateRow& r) { return r.status == status; }));
}

UpdatePlan plan_update(Image image, std::span<const SourceUpdate> sources) {
    return plan_change(image, Change::update, find_stores(image), sources, {});
}

UpdatePlan plan_update(Image image, SourceReader& sources) {
    Stores stores = find_stores(image);
    // Where the image is refused or damaged, whatever the sources hold, none is read.
    if (!stores.stop) {
        std::vector<std::vector<Found>> found = stored_updates(stores);
        if (stores.container) {
            found.push_back(*stores.container);
        }
        while (!sources.confirm(edit::consulted_sources(found, sources.updates()))) {
        }
    }
    return plan_change(image, Change::update, std::move(stores), sources.updates(), {});
}

UpdatePlan plan_add(Image image, std::span<const SourceUpdate> sources) {
    return plan_change(image, Change::add, find_stores(image), sources, {});
}

UpdatePlan plan_remove(Image image, std::span<const std::uint32_t> signatures) {
    return plan_change(image, Change::remove, find_stores(image), {}, signatures);
}

}  // namespace tarnwick
