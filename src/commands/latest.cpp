#include <array>
#include <cstdio>
#include <ostream>
#include <string_view>

#include "commands/commands.h"
#include "commands/print.h"
#include "commands/update_table.h"
#include "intel/loader_layout.h"
#include "intel/update_check.h"

namespace tarnwick {

namespace {
std::string_view currency_word(Currency c) {
    switch (c) {
        case Currency::latest: return "LATEST";
        case Currency::outdated: return "OUTDATED";
        case Currency::unknown: return "UNKNOWN";
        case Currency::superseded: return "SUPERSEDED";
        case Currency::damaged: return "damaged";
    }
    return "?";
}


using Counts = std::array<unsigned long long, 5>;

void print_counts(const Counts& counts, std::ostream& out) {
    print(out, "   %llu LATEST, %llu OUTDATED, %llu UNKNOWN, %llu SUPERSEDED, %llu damaged\n",
          counts[static_cast<std::size_t>(Currency::latest)], counts[static_cast<std::size_t>(Currency::outdated)],
          counts[static_cast<std::size_t>(Currency::unknown)], counts[static_cast<std::size_t>(Currency::superseded)],
          counts[static_cast<std::size_t>(Currency::damaged)]);
}

Counts print_intel(Image image, const FoundUpdates& found, std::span<const LayoutUpdate> reference,
                   std::ostream& out) {
    const std::vector<CurrencyRow> rows = compare_currency(image, found.updates, reference);
    print_update_table_heading(out, "  Newest  ");
    Counts counts{};
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const FoundUpdate& u = found.updates[i];
        char newest[16] = "        ";
        if (rows[i].newest) {
            std::snprintf(newest, sizeof newest, "%08X", *rows[i].newest);
        }
        print_update_row(out, i + 1, u, newest,
                         rows[i].currency == Currency::damaged ? status_word(u.check.status)
                                                               : currency_word(rows[i].currency));
        ++counts[static_cast<std::size_t>(rows[i].currency)];
    }
    print_update_table_rule(out);
    print_counts(counts, out);
    return counts;
}

Counts print_amd(const AmdPatches& amd, std::span<const AmdKnown> reference, std::ostream& out) {
    const std::vector<CurrencyRow> rows = compare_amd_currency(amd.patches, reference);
    print_amd_table_heading(out, "  Newest  ");
    Counts counts{};
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const AmdPatch& p = amd.patches[i];
        char newest[16] = "        ";
        if (rows[i].newest) {
            std::snprintf(newest, sizeof newest, "%08X", *rows[i].newest);
        }
        print_amd_rows(out, i + 1, p, newest,
                       rows[i].currency == Currency::damaged ? amd_status_word(p.status)
                                                             : currency_word(rows[i].currency));
        ++counts[static_cast<std::size_t>(rows[i].currency)];
    }
    print_update_table_rule(out);
    print_counts(counts, out);
    return counts;
}

}  // namespace

ExitStatus run_latest(Image image, const FoundUpdates& found, std::span<const LayoutUpdate> reference,
                      const AmdPatches& amd, std::span<const AmdKnown> amd_reference, std::ostream& out) {
    if (found.updates.empty() && amd.patches.empty()) {
        return ExitStatus::not_found;
    }
    Counts counts{};
    if (!found.updates.empty()) {
        counts = print_intel(image, found, reference, out);
    }
    if (!amd.patches.empty()) {
        const Counts more = print_amd(amd, amd_reference, out);
        for (std::size_t i = 0; i < counts.size(); ++i) {
            counts[i] += more[i];
        }
    }
    if (counts[static_cast<std::size_t>(Currency::damaged)] != 0) {
        return ExitStatus::damaged;
    }
    return counts[static_cast<std::size_t>(Currency::outdated)] != 0 ? ExitStatus::outdated : ExitStatus::done;
}

}  // namespace tarnwick
