#include <array>
#include <ostream>
#include <string>

#include "commands/commands.h"
#include "commands/print.h"
#include "search/loader_layout.h"
#include "search/update_check.h"

namespace tarnwick {

namespace {
constexpr const char* rule_line =
    " +--------------------------------------------------------------------------------------+\n";

const char* currency_word(Currency c) {
    switch (c) {
        case Currency::latest: return "LATEST";
        case Currency::outdated: return "OUTDATED";
        case Currency::unknown: return "UNKNOWN";
        case Currency::superseded: return "SUPERSEDED";
        case Currency::damaged: return "damaged";
    }
    return "?";
}
}  // namespace

ExitStatus run_latest(const FoundUpdates& found, std::span<const LayoutUpdate> reference, std::ostream& out) {
    if (found.updates.empty()) {
        return ExitStatus::not_found;
    }
    const std::vector<CurrencyRow> rows = compare_currency(found.updates, reference);
    out << rule_line
        << " |No|  Offset  |   CPUID  | Platform |  Version |    Date    |  Newest  |    Status     |\n"
        << " +--+----------+----------+----------+----------+------------+----------+---------------+\n";
    std::array<unsigned long long, 5> counts{};
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const FoundUpdate& u = found.updates[i];
        const MicrocodeUpdateHeader& h = u.header;
        char newest[16] = "        ";
        if (rows[i].newest) {
            std::snprintf(newest, sizeof newest, "%08X", *rows[i].newest);
        }
        const std::string status = rows[i].currency == Currency::damaged ? std::string(status_word(u.check.status))
                                                                         : currency_word(rows[i].currency);
        print(out, " |%02llu| %08llX | %08X |    %02X    | %08X | %02X-%02X-%02X%02X | %s | %-13s |\n",
              static_cast<unsigned long long>(i + 1), static_cast<unsigned long long>(u.offset), h.processor_signature,
              h.processor_flags & 0xFFu, h.update_revision, h.day(), h.month(), h.century(), h.year(), newest,
              status.c_str());
        ++counts[static_cast<std::size_t>(rows[i].currency)];
    }
    out << rule_line;
    print(out, "   %llu LATEST, %llu OUTDATED, %llu UNKNOWN, %llu SUPERSEDED, %llu damaged\n",
          counts[static_cast<std::size_t>(Currency::latest)], counts[static_cast<std::size_t>(Currency::outdated)],
          counts[static_cast<std::size_t>(Currency::unknown)], counts[static_cast<std::size_t>(Currency::superseded)],
          counts[static_cast<std::size_t>(Currency::damaged)]);
    if (counts[static_cast<std::size_t>(Currency::damaged)] != 0) {
        return ExitStatus::damaged;
    }
    return counts[static_cast<std::size_t>(Currency::outdated)] != 0 ? ExitStatus::outdated : ExitStatus::done;
}

}  // namespace tarnwick
