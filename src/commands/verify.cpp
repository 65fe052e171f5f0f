#include <cstdio>
#include <ostream>

#include "commands/commands.h"
#include "commands/print.h"
#include "commands/update_table.h"
#include "amd/amd.h"
#include "intel/update_check.h"

namespace tarnwick {

namespace {

// The Intel table; returns how many are damaged.
std::size_t print_intel(Image image, const FoundUpdates& found, std::ostream& out) {
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
    return damaged;
}

// The AMD table, after the Intel one; returns how many are damaged.
std::size_t print_amd(const AmdPatches& amd, std::ostream& out) {
    print_amd_table_heading(out, " Size Hex ");
    std::size_t damaged = 0;
    std::size_t row = 0;
    for (const AmdPatch& p : amd.patches) {
        char size[24];
        std::snprintf(size, sizeof size, "%08llX", static_cast<unsigned long long>(p.size & 0xFFFFFFFF));
        print_amd_rows(out, ++row, p, size, amd_status_word(p.status));
        damaged += p.status != AmdStatus::ok ? 1 : 0;
    }
    print_update_table_rule(out);
    row = 0;
    for (const AmdPatch& p : amd.patches) {
        ++row;
        if (p.status == AmdStatus::truncated) {
            print(out,
                  "   AMD patch %02llu at offset 0x%08llX is truncated: %llu bytes missing past the end of the file.\n",
                  static_cast<unsigned long long>(row), static_cast<unsigned long long>(p.offset),
                  static_cast<unsigned long long>(p.missing));
        }
    }
    const auto total = static_cast<unsigned long long>(amd.patches.size());
    print(out, "   %llu AMD %s: %llu intact, %llu damaged\n", total, total == 1 ? "patch" : "patches", total - damaged,
          static_cast<unsigned long long>(damaged));
    return damaged;
}

}  // namespace

ExitStatus run_verify(Image image, std::ostream& out) {
    const FoundUpdates found = find_updates(image);
    const AmdPatches amd = find_amd_patches(image);
    if (found.updates.empty() && amd.patches.empty()) {
        return ExitStatus::not_found;
    }
    std::size_t damaged = 0;
    if (!found.updates.empty()) {
        damaged += print_intel(image, found, out);
    }
    if (!amd.patches.empty()) {
        damaged += print_amd(amd, out);
    }
    return damaged != 0 ? ExitStatus::damaged : ExitStatus::done;
}

}  // namespace tarnwick
