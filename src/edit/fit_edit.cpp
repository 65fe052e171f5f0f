// The FIT after the updates moved: entries re-pointed, dropped with their
// updates, added for new ones, the table's count and size kept.

#include <algorithm>

#include "edit/steps.h"
#include "flash/fit.h"
#include "search/checksum.h"

namespace tarnwick::edit {

namespace {

constexpr std::uint8_t unused_type = 0x7F;

std::uint8_t type_of(const Bytes& table, std::size_t entry) {
    return table[entry * fit_entry_size + fit_type_offset] & 0x7F;
}

void put_address(Bytes& entry, std::uint64_t address) {
    for (std::size_t k = 0; k < 8; ++k) {
        entry[k] = static_cast<std::uint8_t>(address >> (8 * k));
    }
}

Bytes entry_bytes(const Bytes& table, std::size_t entry) {
    const auto at = table.begin() + static_cast<std::ptrdiff_t>(entry * fit_entry_size);
    return Bytes(at, at + fit_entry_size);
}

// A type-1 entry for `address` like the table's last microcode entry, or
// as the FIT document gives one where it has none.
Bytes new_microcode_entry(const Bytes& table, const std::vector<FitMicrocode>& microcode, std::uint64_t address) {
    Bytes e(fit_entry_size, 0);
    if (!microcode.empty()) {
        e = entry_bytes(table, microcode.back().index);
    } else {
        e[12] = 0x00;
        e[13] = 0x01;  // version 0x0100
        e[fit_type_offset] = fit_type_microcode;
    }
    put_address(e, address);
    return e;
}

// Microcode entries, each 16 bytes, and the offsets they name.
struct NewRun {
    std::vector<Bytes> entries;
    std::vector<std::size_t> targets;
};

// Why the FIT can't be edited safely, if it can't.
std::optional<std::string> refusal(const FitCheck& fit, const Moves& moves) {
    for (const FitMicrocode& m : fit.microcode) {
        if (!m.offset || moves.find(*m.offset) == moves.end()) {
            return "FIT entry " + std::to_string(m.index) + " names " + hex(m.address) +
                   ", which is not the start of an intact update in a microcode file; tarnwick -fitcheck shows why";
        }
    }
    if (!fit.errors.empty()) {
        return "the FIT has errors (" + fit.errors.front() + "); tarnwick -fitcheck shows them";
    }
    return std::nullopt;
}

// The microcode entries as they end up: those kept, re-pointed, then one
// for each added update. Counts what it did in `plan`.
NewRun new_run(const FitCheck& fit, const Bytes& table, const Moves& moves, std::span<const std::size_t> added,
               std::size_t image_size, UpdatePlan& plan) {
    NewRun run;
    for (const FitMicrocode& m : fit.microcode) {
        const std::optional<std::size_t> to = moves.at(*m.offset);
        if (!to) {
            ++plan.fit_dropped;
            continue;
        }
        Bytes e = entry_bytes(table, m.index);
        put_address(e, m.address - *m.offset + *to);
        run.entries.push_back(std::move(e));
        run.targets.push_back(*to);
        plan.fit_repointed += *to != *m.offset ? 1 : 0;
    }
    for (const std::size_t to : added) {
        // The image's own mapping: its last byte at 4 GiB - 1.
        const std::uint64_t address = !fit.microcode.empty()
                                          ? fit.microcode.back().address - *fit.microcode.back().offset + to
                                          : four_gib - image_size + to;
        run.entries.push_back(new_microcode_entry(table, fit.microcode, address));
        run.targets.push_back(to);
        ++plan.fit_added;
    }
    return run;
}

// The innermost FFS file that holds the whole table, if any.
const FfsFile* file_holding(const FitCheck& fit, const VolumeScan& scan) {
    const std::size_t begin = fit.pointer.offset;
    const std::size_t end = begin + fit.entries.size() * fit_entry_size;
    const FfsFile* holder = nullptr;
    for (const FirmwareVolume& v : scan.volumes) {
        for (const FfsFile& f : v.files) {
            if (f.body() <= begin && end <= f.end() && (holder == nullptr || f.offset > holder->offset)) {
                holder = &f;
            }
        }
    }
    return holder;
}

// The 16-byte slots of 0xFF right after the table, inside the file that
// holds it: room for the table to grow.
std::size_t free_slots(Image image, const FitCheck& fit, const FfsFile& holder) {
    std::size_t at = fit.pointer.offset + fit.entries.size() * fit_entry_size;
    std::size_t slots = 0;
    while (at <= holder.end() && fit_entry_size <= holder.end() - at && all_erased(image.subspan(at, fit_entry_size))) {
        ++slots;
        at += fit_entry_size;
    }
    return slots;
}

// Lays a run that grew or shrank into `table` from the first microcode
// entry's place: the entries after it move down into the first unused
// ones, or up, leaving unused entries (16 x 0xFF, as vendors leave them) at
// the run's end. Where too few entries are unused, the table grows into
// the slots of 0xFF after it in its file, its count with it.
std::optional<std::string> lay_run(Image image, const FitCheck& fit, const VolumeScan& scan, std::vector<Bytes> run,
                                   Bytes& table) {
    const std::size_t first = fit.microcode.empty() ? 1 : fit.microcode.front().index;
    const std::size_t old_end = fit.microcode.empty() ? 1 : fit.microcode.back().index + 1;
    if (old_end - first != fit.microcode.size()) {
        return "the FIT's microcode entries are not one run (entries " + std::to_string(first) + " to " +
               std::to_string(old_end - 1) + " hold others): this tool doesn't reorder the table";
    }
    const std::size_t needed = run.size() > fit.microcode.size() ? run.size() - fit.microcode.size() : 0;
    std::size_t to_take = needed;
    std::vector<Bytes> after;
    for (std::size_t i = old_end; i < fit.entries.size(); ++i) {
        if (to_take != 0 && type_of(table, i) == unused_type) {
            --to_take;
            continue;
        }
        after.push_back(entry_bytes(table, i));
    }
    if (to_take != 0) {
        auto counted = [](std::size_t n, const char* one, const char* more) {
            return std::to_string(n) + " " + (n == 1 ? one : more);
        };
        const std::string full = "the FIT is full: " + counted(needed, "new microcode entry", "new microcode entries") +
                                 ", " + counted(needed - to_take, "unused entry", "unused entries") + " in the table, ";
        const FfsFile* holder = file_holding(fit, scan);
        if (holder == nullptr) {
            return full + "and no FFS file holds the table, so no slot after it is free";
        }
        const std::size_t slots = free_slots(image, fit, *holder);
        if (slots < to_take) {
            return full + counted(slots, "free 16-byte slot", "free 16-byte slots") +
                   " of 0xFF after it in its FFS file at " + hex(holder->offset);
        }
        table.resize(table.size() + to_take * fit_entry_size, 0xFF);
        put_le24(table, 8, fit.entries.size() + to_take);  // the count, the header included
    }
    run.resize(std::max(run.size(), fit.microcode.size()), Bytes(fit_entry_size, 0xFF));
    run.insert(run.end(), after.begin(), after.end());
    for (std::size_t i = 0; i < run.size(); ++i) {
        std::copy(run[i].begin(), run[i].end(), table.begin() + static_cast<std::ptrdiff_t>((first + i) * fit_entry_size));
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::size_t> unnamed_fit(Image image, const FitCheck& fit) {
    if (fit.pointer.outcome == FitPointer::Outcome::found) {
        return std::nullopt;
    }
    for (const std::size_t at : fit.other_signatures) {
        if (at % 16 == 0 && fits(image, at, fit_entry_size) && (image[at + fit_type_offset] & 0x7F) == 0) {
            return at;
        }
    }
    return std::nullopt;
}

std::optional<std::string> plan_fit(Image image, const FitCheck& fit, const VolumeScan& scan, const Moves& moves,
                                    std::span<const std::size_t> added, UpdatePlan& plan) {
    if (fit.pointer.outcome != FitPointer::Outcome::found) {
        return std::nullopt;
    }
    plan.has_fit = true;
    if (std::optional<std::string> why = refusal(fit, moves)) {
        return why;
    }
    Bytes table(image.begin() + static_cast<std::ptrdiff_t>(fit.pointer.offset),
                image.begin() + static_cast<std::ptrdiff_t>(fit.pointer.offset + fit.entries.size() * fit_entry_size));
    NewRun run = new_run(fit, table, moves, added, image.size(), plan);
    plan.fit_targets = run.targets;
    if (plan.fit_dropped + plan.fit_added == 0) {
        // Only re-pointed: each entry keeps its place, wherever it stands.
        for (std::size_t i = 0; i < run.entries.size(); ++i) {
            std::copy(run.entries[i].begin(), run.entries[i].end(),
                      table.begin() + static_cast<std::ptrdiff_t>(fit.microcode[i].index * fit_entry_size));
        }
    } else if (std::optional<std::string> why = lay_run(image, fit, scan, std::move(run.entries), table)) {
        return why;
    }
    if (fit.checksum_valid) {
        table[15] = 0;
        table[15] = static_cast<std::uint8_t>(0x100 - sum_bytes(table));
    }
    plan.patches.push_back({fit.pointer.offset, std::move(table)});
    return std::nullopt;
}

}  // namespace tarnwick::edit
