#include "commands/update_table.h"

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

}  // namespace tarnwick
