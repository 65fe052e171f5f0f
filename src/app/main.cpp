#include <iostream>

#include "app/entry.h"

int main(int argc, char** argv) {
    // One buffered stream for all output; nothing else writes to stdout.
    std::ios::sync_with_stdio(false);
    const tarnwick::ExitStatus status = tarnwick::run_tarnwick(argc, argv, std::cout);
    std::cout.flush();
    return static_cast<int>(status);
}
