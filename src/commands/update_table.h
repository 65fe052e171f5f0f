#pragma once

#include <cstddef>
#include <iosfwd>
#include <string_view>

#include "amd/amd.h"
#include "intel/update_check.h"

namespace tarnwick {

// The tables of -verify and -latest: No, the header's offset, then -info's
// CPUID, Platform, Version and Date, one column of the command's own, and a
// status word.

// The rule above the heading and below the last row.
void print_update_table_rule(std::ostream& out);

// The rule, the heading with `own_column` (10 characters) as its seventh
// column, and the separator.
void print_update_table_heading(std::ostream& out, std::string_view own_column);

// Update `u`'s row, numbered `row`, with `own_cell` (8 characters) in the
// command's own column.
void print_update_row(std::ostream& out, std::size_t row, const FoundUpdate& u, std::string_view own_cell,
                      std::string_view status);

// The AMD tables of -verify and -latest: No, the header's offset, CPUID,
// Equiv, Patch ID, Date, the command's own column and a status word; each
// further CPUID of the patch on a row of its own.
void print_amd_table_heading(std::ostream& out, std::string_view own_column);
void print_amd_rows(std::ostream& out, std::size_t row, const AmdPatch& p, std::string_view own_cell,
                    std::string_view status);

}  // namespace tarnwick
