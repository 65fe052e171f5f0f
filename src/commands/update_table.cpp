#include "commands/update_table.h"

#include <cstdio>
#include <ostream>

#include "commands/print.h"

namespace tarnwick {

void print_update_table_rule(std::ostream& out) {
    out << " +--------------------------------------------------------------------------------------+\n";
}

void print_update_table_heading(std::ostream& out, std::string_view own_column) {
    print_update_table_rule(out);
    out << " |No|  Offset  |   CPUID  | Platform |  Version |    Date    |" << own_column << "|    Status     |\n"
        << " +--+----------+----------+----------+----------+------------+----------+---------------+\n";
}

void print_update_row(std::ostream& out, std::size_t row, const FoundUpdate& u, std::string_view own_cell,
                      std::string_view status) {
    const MicrocodeUpdateHeader& h = u.header;
    print(out, " |%02llu| %08llX | %08X |    %02X    | %08X | %02X-%02X-%02X%02X | %.*s | %-13.*s |\n",
          static_cast<unsigned long long>(row), static_cast<unsigned long long>(u.offset), h.processor_signature,
          h.processor_flags & 0xFFu, h.update_revision, h.day(), h.month(), h.century(), h.year(),
          static_cast<int>(own_cell.size()), own_cell.data(), static_cast<int>(status.size()), status.data());
}

void print_amd_table_heading(std::ostream& out, std::string_view own_column) {
    print_update_table_rule(out);
    out << " |No|  Offset  |   CPUID  |  Equiv   | Patch ID |    Date    |" << own_column << "|    Status     |\n"
        << " +--+----------+----------+----------+----------+------------+----------+---------------+\n";
}

void print_amd_rows(std::ostream& out, std::size_t row, const AmdPatch& p, std::string_view own_cell,
                    std::string_view status) {
    const AmdPatchHeader& h = p.header;
    char cpuid[16] = "        ";
    if (!p.cpuids.empty()) {
        std::snprintf(cpuid, sizeof cpuid, "%08X", p.cpuids.front());
    }
    print(out, " |%02llu| %08llX | %s |   %04X   | %08X | %02X-%02X-20%02X | %.*s | %-13.*s |\n",
          static_cast<unsigned long long>(row), static_cast<unsigned long long>(p.offset), cpuid, h.equiv_id,
          h.patch_id, h.day(), h.month(), h.year(), static_cast<int>(own_cell.size()), own_cell.data(),
          static_cast<int>(status.size()), status.data());
    for (std::size_t i = 1; i < p.cpuids.size(); ++i) {
        print(out, " |  |          | %08X |          |          |            |          |               |\n",
              p.cpuids[i]);
    }
    if (p.cpuids_as) {
        char text[80];
        std::snprintf(text, sizeof text, "CPUIDs as AMD patch %02llu", static_cast<unsigned long long>(*p.cpuids_as + 1));
        print(out, " |  |          | %-72s|\n", text);
    }
}

}  // namespace tarnwick
