#include "intel/loader_layout.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <utility>

namespace tarnwick {

std::string loader_file_name(std::uint32_t signature) {
    unsigned family = (signature >> 8) & 0xF;
    if (family == 0xF) {
        family += (signature >> 20) & 0xFF;
    }
    unsigned model = (signature >> 4) & 0xF;
    if (family >= 6) {
        model += ((signature >> 16) & 0xF) << 4;
    }
    const unsigned stepping = signature & 0xF;
    char name[16];
    std::snprintf(name, sizeof name, "%02x-%02x-%02x", family, model, stepping);
    return name;
}

namespace {

LayoutUpdate primary_only(const FoundUpdate& update) {
    return {update.header.update_revision, {{update.header.processor_signature, update.header.processor_flags}}};
}

void add_table(Image image, const FoundUpdate& update, LayoutUpdate& to) {
    const ExtendedTable& table = *update.check.extended;
    to.processors.reserve(1 + table.count);
    for (std::size_t i = 0; i < table.count; ++i) {
        const ExtendedSignature e = extended_signature(image, table, i, update.header);
        to.processors.push_back({e.signature, e.flags});
    }
}

}  // namespace

LayoutUpdate layout_update(Image image, const FoundUpdate& update) {
    LayoutUpdate u = primary_only(update);
    if (update.check.extended) {
        add_table(image, update, u);
    }
    return u;
}

namespace {

// The row that lists the table `u` (at `row`) shows, for the updates that
// share one; nothing for the others.
std::optional<std::size_t> table_group(const FoundUpdate& u, std::size_t row) {
    switch (u.shown) {
        case TableShown::listed: return row;
        case TableShown::same_as: return u.table_row;
        case TableShown::none:
        case TableShown::overlaps: break;
    }
    return std::nullopt;
}

}  // namespace

std::vector<LayoutUpdate> layout_updates(Image image, std::span<const FoundUpdate> updates) {
    // The best intact member of each group, by the row that lists its table.
    std::map<std::size_t, std::size_t> best;
    for (std::size_t row = 0; row < updates.size(); ++row) {
        const FoundUpdate& u = updates[row];
        const std::optional<std::size_t> group = table_group(u, row);
        if (u.check.status != UpdateStatus::ok || !group) {
            continue;
        }
        const auto [at, inserted] = best.try_emplace(*group, row);
        if (!inserted && u.header.update_revision > updates[at->second].header.update_revision) {
            at->second = row;
        }
    }
    std::vector<LayoutUpdate> layout;
    for (std::size_t row = 0; row < updates.size(); ++row) {
        const FoundUpdate& u = updates[row];
        if (u.check.status != UpdateStatus::ok) {
            continue;
        }
        layout.push_back(primary_only(u));
        if (const std::optional<std::size_t> group = table_group(u, row); group && best.at(*group) == row) {
            add_table(image, u, layout.back());
        }
    }
    return layout;
}

namespace {

using Slot = std::pair<std::uint32_t, unsigned>;  // signature, platform key

}  // namespace

std::vector<LayoutFile> loader_layout(std::span<const LayoutUpdate> updates) {
    // The newest update for every processor and platform.
    std::map<Slot, std::size_t> newest;
    for (std::size_t i = 0; i < updates.size(); ++i) {
        for (const ServedProcessor& p : updates[i].processors) {
            for_each_platform(p.flags, [&](unsigned key) {
                const auto [at, inserted] = newest.try_emplace({p.signature, key}, i);
                if (!inserted && updates[i].revision > updates[at->second].revision) {
                    at->second = i;
                }
            });
        }
    }
    // Each winner goes into its processor's file, once, in list order.
    std::map<std::string, std::set<std::size_t>> files;
    for (const auto& [slot, winner] : newest) {
        files[loader_file_name(slot.first)].insert(winner);
    }
    std::vector<LayoutFile> layout;
    layout.reserve(files.size());
    for (auto& [name, members] : files) {
        layout.push_back({name, std::vector<std::size_t>(members.begin(), members.end())});
    }
    return layout;
}

namespace {

// The highest revision for every processor and platform.
std::map<Slot, std::uint32_t> newest_revisions(std::span<const LayoutUpdate> updates) {
    std::map<Slot, std::uint32_t> newest;
    for (const LayoutUpdate& l : updates) {
        for (const ServedProcessor& p : l.processors) {
            for_each_platform(p.flags, [&](unsigned key) {
                const auto [at, inserted] = newest.try_emplace({p.signature, key}, l.revision);
                at->second = std::max(at->second, l.revision);
            });
        }
    }
    return newest;
}

}  // namespace

std::optional<UpdateLengths> update_extent(const MicrocodeUpdateHeader& h) {
    const UpdateLengths lengths = update_lengths(h);
    if (!lengths_sound(lengths) || h.loader_revision != 1) {
        return std::nullopt;
    }
    return lengths;
}

std::optional<std::vector<ServedProcessor>> served_processors(const MicrocodeUpdateHeader& h, Image table) {
    std::vector<ServedProcessor> served{{h.processor_signature, h.processor_flags}};
    if (table.empty()) {
        return served;
    }
    if (table.size() < 20 || table.size() != 20 + std::uint64_t{12} * read_le32(table, 0)) {
        return std::nullopt;
    }
    for (std::size_t e = 20; e < table.size(); e += 12) {
        served.push_back({read_le32(table, e), read_le32(table, e + 4)});
    }
    return served;
}

namespace {

// Calls visit(key) for each platform key on which the intact update `u` is
// compared: those for which the file (whose newest revisions are
// `file_newest`) holds nothing newer for its processor.
template <class Visit>
void for_each_compared_key(const std::map<Slot, std::uint32_t>& file_newest, const FoundUpdate& u, Visit&& visit) {
    for_each_platform(u.header.processor_flags, [&](unsigned key) {
        if (file_newest.at({u.header.processor_signature, key}) <= u.header.update_revision) {
            visit(key);
        }
    });
}

// The processors and platforms compare_currency asks the reference about.
std::set<Slot> compared_slots(Image image, std::span<const FoundUpdate> file) {
    const std::map<Slot, std::uint32_t> file_newest = newest_revisions(layout_updates(image, file));
    std::set<Slot> slots;
    for (const FoundUpdate& u : file) {
        if (u.check.status == UpdateStatus::ok) {
            for_each_compared_key(file_newest, u, [&](unsigned key) { slots.insert({u.header.processor_signature, key}); });
        }
    }
    return slots;
}

}  // namespace

std::vector<std::size_t> currency_sources(Image image, std::span<const FoundUpdate> file,
                                          std::span<const LayoutUpdate> reference) {
    const std::set<Slot> slots = compared_slots(image, file);
    std::map<Slot, std::size_t> best;
    for (std::size_t i = 0; i < reference.size(); ++i) {
        for (const ServedProcessor& p : reference[i].processors) {
            for_each_platform(p.flags, [&](unsigned key) {
                const Slot slot{p.signature, key};
                if (slots.count(slot) == 0) {
                    return;
                }
                const auto [at, inserted] = best.try_emplace(slot, i);
                if (!inserted && reference[i].revision > reference[at->second].revision) {
                    at->second = i;
                }
            });
        }
    }
    std::set<std::size_t> used;
    for (const auto& [slot, i] : best) {
        used.insert(i);
    }
    return {used.begin(), used.end()};
}

std::vector<CurrencyRow> compare_currency(Image image, std::span<const FoundUpdate> file,
                                         std::span<const LayoutUpdate> reference) {
    const std::map<Slot, std::uint32_t> file_newest = newest_revisions(layout_updates(image, file));
    const std::map<Slot, std::uint32_t> known_newest = newest_revisions(reference);

    std::vector<CurrencyRow> rows;
    rows.reserve(file.size());
    for (const FoundUpdate& u : file) {
        if (u.check.status != UpdateStatus::ok) {
            rows.push_back({Currency::damaged, std::nullopt});
            continue;
        }
        const std::uint32_t cpuid = u.header.processor_signature;
        const std::uint32_t revision = u.header.update_revision;
        bool serves = false;
        std::optional<std::uint32_t> newest;
        for_each_compared_key(file_newest, u, [&](unsigned key) {
            serves = true;
            if (const auto known = known_newest.find({cpuid, key}); known != known_newest.end()) {
                newest = std::max(newest.value_or(0), known->second);
            }
        });
        if (!serves) {
            rows.push_back({Currency::superseded, std::nullopt});
        } else if (!newest) {
            rows.push_back({Currency::unknown, std::nullopt});
        } else {
            rows.push_back({revision >= *newest ? Currency::latest : Currency::outdated, newest});
        }
    }
    return rows;
}

}  // namespace tarnwick
