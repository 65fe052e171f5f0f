#pragma once

namespace tarnwick {

// The process exit codes. Scripts depend on these numbers.
enum class ExitStatus : int {
    done = 0,
    not_found = 1,     // nothing to work on, or a wrong checksum
    cannot_open = 2,   // the input file or the database can't be opened
    short_read = 3,    // the input file was not read in full
    bad_usage = 4,
    no_memory = 5,     // the input can't be measured or held in memory
    output_failed = 6, // standard output, or a file to be written, could not be written
    damaged = 7,       // damaged or invalid data: an update or a FIT
    outdated = 8,      // an update older than the newest one known
    refused = 9,       // a change that can't be made safely; nothing was written
};

}  // namespace tarnwick
