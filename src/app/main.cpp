#include <iostream>

#include "app/entry.h"

int main(int argc, char** argv) {
    // One buffered stream for all output; nothing else writes to stdout.
    std::ios::sync_with_stdio(false);
    tarnwick::ExitStatus status = tarnwick::run_tarnwick(argc, argv, std::cout);
    // A full disk, a closed standard output or a reader that has gone must
    // not pass for a clean run: a script would read the missing lines as
    // "nothing found".
    if (!std::cout.flush()) {
        status = tarnwick::ExitStatus::output_failed;
    }
    return static_cast<int>(status);
}
