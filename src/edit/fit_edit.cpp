// The FIT after the updates moved: entries re-pointed, dropped with their
// updates, added for new ones, the table's count and size kept.

#include <algorithm>

#include "edit/steps.h"
#include "flash/fit.h"
#include "search/checksum.h"
#include "search/find_pattern.h"

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

// The microcode entries as they end up: those kept, re-pointed, then one
// for each added update, each 16 bytes.
struct NewRun {
    std::vector<Bytes> entries;
    std::vector<std::size_t> targets;
};

// The table's checksum set again where its checksum bit asks for one; the
// table goes into the plan.
std::optional<std::string> seal_table(const FitCheck& fit, Bytes table, UpdatePlan& plan) {
    if (fit.checksum_valid) {
        table[15] = 0;
        table[15] = static_cast<std::uint8_t>(0x100 - sum_bytes(table));
    }
    plan.patches.push_back({fit.pointer.offset, std::move(table)});
    return std::nullopt;
}

}  // namespace

std::optional<std::size_t> unnamed_fit(Image image) {
    std::optional<std::size_t> found;
    for_each_match(image, fit_signature, [&](std::size_t at) {
        if (!found && at % 16 == 0 && fits(image, at, fit_entry_size) && (image[at + fit_type_offset] & 0x7F) == 0) {
            found = at;
        }
    });
    return found;
}

std::optional<std::string> plan_fit(Image image, const Moves& moves, std::span<const std::size_t> added,
                                    UpdatePlan& plan) {
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
        if (!m.offset || moves.find(*m.offset) == moves.end()) {
            return "FIT entry " + std::to_string(m.index) + " names " + hex(m.address) +
                   ", which is not the start of an intact update in a microcode file; tarnwick -fitcheck shows why";
        }
    }
    if (!fit.errors.empty()) {
        return "the FIT has errors (" + fit.errors.front() + "); tarnwick -fitcheck shows them";
    }
    Bytes table(image.begin() + static_cast<std::ptrdiff_t>(fit.pointer.offset),
                image.begin() + static_cast<std::ptrdiff_t>(fit.pointer.offset + fit.entries.size() * fit_entry_size));

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
                                          : four_gib - image.size() + to;
        run.entries.push_back(new_microcode_entry(table, fit.microcode, address));
        run.targets.push_back(to);
        ++plan.fit_added;
    }

    plan.fit_targets = run.targets;
    if (plan.fit_dropped + plan.fit_added == 0) {
        // Only re-pointed: each entry keeps its place, wherever it stands.
        for (std::size_t i = 0; i < run.entries.size(); ++i) {
            std::copy(run.entries[i].begin(), run.entries[i].end(),
                      table.begin() + static_cast<std::ptrdiff_t>(fit.microcode[i].index * fit_entry_size));
        }
        return seal_table(fit, std::move(table), plan);
    }
    // Where the run of microcode entries starts, and where it ends now.
    const std::size_t first = fit.microcode.empty() ? 1 : fit.microcode.front().index;
    const std::size_t old_end = fit.microcode.empty() ? 1 : fit.microcode.back().index + 1;
    if (old_end - first != fit.microcode.size()) {
        return "the FIT's microcode entries are not one run (entries " + std::to_string(first) + " to " +
               std::to_string(old_end - 1) + " hold others): this tool doesn't reorder the table";
    }
    // The entries after the run, with as many unused ones taken out as the
    // run grows by: they move down into the first unused entries.
    std::vector<Bytes> after;
    std::size_t to_take = run.entries.size() > fit.microcode.size() ? run.entries.size() - fit.microcode.size() : 0;
    const std::size_t needed = to_take;
    for (std::size_t i = old_end; i < fit.entries.size(); ++i) {
        if (to_take != 0 && type_of(table, i) == unused_type) {
            --to_take;
            continue;
        }
        after.push_back(entry_bytes(table, i));
    }
    if (to_take != 0) {
        return "the FIT is full: the " + std::to_string(added.size()) + " new microcode entries need " +
               std::to_string(needed) + " unused entries and it has " + std::to_string(needed - to_take);
    }
    // Entries freed at the run's end: unused, as vendors leave them.
    std::vector<Bytes> rebuilt = std::move(run.entries);
    rebuilt.resize(std::max(rebuilt.size(), fit.microcode.size()), Bytes(fit_entry_size, 0xFF));
    rebuilt.insert(rebuilt.end(), after.begin(), after.end());
    for (std::size_t i = 0; i < rebuilt.size(); ++i) {
        std::copy(rebuilt[i].begin(), rebuilt[i].end(),
                  table.begin() + static_cast<std::ptrdiff_t>((first + i) * fit_entry_size));
    }
    return seal_table(fit, std::move(table), plan);
}

}  // namespace tarnwick::edit
