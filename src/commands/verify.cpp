#include <cstdio>
#include <ostream>

#include "commands/commands.h"
#include "commands/print.h"
#include "commands/update_table.h"
#include "format/update_check.h"

namespace tarnwick {

ExitStatus run_verify(Image image, std::ostream& out) {
    const FoundUpdates found = find_updates(image);
    if (found.updates.empty()) {
        return ExitStatus::not_found;
    }
    print_update_table_heading(out, " Size Hex ");
    std::size_t damaged = 0;
    std::size_t row = 0;
    for (const FoundUpdate& u : found.updates) {
        ++row;
        char size[16];
        std::snprintf(size, sizeof size, "%08X", u.header.effective_total_size());
        print_update_row(out, row, u, size, status_word(u.check.status));
        switch (u.shown) {
            case TableShown::none:
                break;
            case TableShown::listed:
                for (std::size_t i = 0; i < u.check.extended->count; ++i) {
                    const ExtendedSignature e = extended_signature(image, *u.check.extended, i, u.header);
                    print(out, " |  |          | %08X |    %02X    |          |            |          | %-13s |\n",
                          e.signature, e.flags & 0xFFu, e.ok ? "OK" : "BAD EXT SIG");
                }
                break;
            case TableShown::same_as:
            case TableShown::overlaps: {
                char text[80];
                std::snprintf(text, sizeof text,
                              u.shown == TableShown::same_as ? "extended table as update %02llu"
                                                             : "extended table overlaps update %02llu's",
                              static_cast<unsigned long long>(u.table_row + 1));
                print(out, " |  |          | %-72s|\n", text);
                break;
            }
        }
        damaged += u.check.status != UpdateStatus::ok ? 1 : 0;
    }
    print_update_table_rule(out);
    row = 0;
    for (const FoundUpdate& u : found.updates) {
        ++row;
        if (u.check.status == UpdateStatus::truncated) {
            print(out, "   Update %02llu at offset 0x%08llX is truncated: %llu bytes missing past the end of the file.\n",
                  static_cast<unsigned long long>(row), static_cast<unsigned long long>(u.offset),
                  static_cast<unsigned long long>(u.check.missing));
        }
    }
    const auto total = static_cast<unsigned long long>(found.updates.size());
    print(out, "   %llu %s: %llu intact, %llu damaged\n", total, total == 1 ? "update" : "updates",
          total - damaged, static_cast<unsigned long long>(damaged));
    return damaged != 0 ? ExitStatus::damaged : ExitStatus::done;
}

}  // namespace tarnwick
