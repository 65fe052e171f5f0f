#include <ostream>

#include "commands/commands.h"
#include "commands/print.h"
#include "search/update_check.h"

namespace tarnwick {

namespace {
constexpr const char* rule_line =
    " +--------------------------------------------------------------------------------------+\n";
}

ExitStatus run_verify(Image image, std::ostream& out) {
    const FoundUpdates found = find_updates(image);
    if (found.updates.empty()) {
        return ExitStatus::not_found;
    }
    out << rule_line
        << " |No|  Offset  |   CPUID  | Platform |  Version |    Date    | Size Hex |    Status     |\n"
        << " +--+----------+----------+----------+----------+------------+----------+---------------+\n";
    std::size_t damaged = 0;
    long long row = 0;
    for (const FoundUpdate& u : found.updates) {
        ++row;
        const MicrocodeUpdateHeader& h = u.header;
        print(out, " |%02lld| %08llX | %08X |    %02X    | %08X | %02X-%02X-%02X%02X | %08X | %-13s |\n", row, static_cast<unsigned long long>(u.offset),
              h.processor_signature, h.processor_flags & 0xFFu, h.update_revision, h.day(), h.month(), h.century(),
              h.year(), h.effective_total_size(), status_word(u.check.status).data());
        for (const ExtendedSignature& e : u.check.extended) {
            print(out, " |  |          | %08X |    %02X    |          |            |          | %-13s |\n", e.signature,
                  e.flags & 0xFFu, e.ok ? "OK" : "BAD EXT SIG");
        }
        damaged += u.check.status != UpdateStatus::ok ? 1 : 0;
    }
    out << rule_line;
    row = 0;
    for (const FoundUpdate& u : found.updates) {
        ++row;
        if (u.check.status == UpdateStatus::truncated) {
            print(out, "   Update %02lld at offset 0x%08llX is truncated: %llu bytes missing past the end of the file.\n",
                  row, static_cast<unsigned long long>(u.offset), static_cast<unsigned long long>(u.check.missing));
        }
    }
    const auto total = static_cast<unsigned long long>(found.updates.size());
    print(out, "   %llu %s: %llu intact, %llu damaged\n", total, total == 1 ? "update" : "updates",
          total - damaged, static_cast<unsigned long long>(damaged));
    return damaged != 0 ? ExitStatus::damaged : ExitStatus::done;
}

}  // namespace tarnwick
