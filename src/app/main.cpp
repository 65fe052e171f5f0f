#include <iostream>
#include <new>

#include "app/entry.h"

int main(int argc, char** argv) {
    // One buffered stream for all output; nothing else writes to stdout.
    std::ios::sync_with_stdio(false);
    tarnwick::ExitStatus status = tarnwick::ExitStatus::done;
    try {
        status = tarnwick::run_tarnwick(argc, argv, std::cout);
    } catch (const std::bad_alloc&) {
        // The lists of -verify, -json and the like grow with the headers an
        // image holds; memory that runs out ends the run as for the image.
        std::cout << "Can't allocate memory for file contents.\n";
        status = tarnwick::ExitStatus::no_memory;
    }
    // A full disk, a closed standard output or a reader that has gone must
    // not pass for a clean run: a script would read the missing lines as
    // "nothing found".
    if (!std::cout.flush()) {
        status = tarnwick::ExitStatus::output_failed;
    }
    return static_cast<int>(status);
}
