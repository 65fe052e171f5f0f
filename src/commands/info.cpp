#include <ostream>

#include "commands/commands.h"
#include "commands/print.h"
#include "search/find_pattern.h"
#include "intel/microcode_header.h"

namespace tarnwick {

namespace {
constexpr const char* rule_line = " +-----------------------------------------------------------+\n";
}

ExitStatus run_info(Image image, std::ostream& out) {
    long long row = 0;
    const bool any_candidate = for_each_qualifying_header(image, [&](const MicrocodeUpdateHeader& h) {
        if (row == 0) {
            out << rule_line << " |No|   CPUID  | Platform |  Version |    Date    | Size Hex |\n"
                << " +--+----------+----------+----------+------------+----------+\n";
        }
        ++row;
        print(out, " |%02lld| %08X |    %02X    | %08X | %02X-%02X-%02X%02X | %08X |\n", row,
              h.processor_signature, h.processor_flags & 0xFFu, h.update_revision, h.day(), h.month(),
              h.century(), h.year(), h.effective_total_size());
    });
    if (!any_candidate) {
        return ExitStatus::not_found;
    }
    out << rule_line;
    switch (find_mpdt_record(image)) {
        case MpdtRecord::boot:
            out << "   MPDT Boot - YES\n";
            break;
        case MpdtRecord::noboot:
            out << "   MPDT Boot - NO\n";
            break;
        case MpdtRecord::none:
            out << "   MPDT None\n";
            break;
    }
    return ExitStatus::done;
}

}  // namespace tarnwick
