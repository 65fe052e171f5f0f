#include "commands/print.h"

#include <cassert>
#include <cstdarg>
#include <cstdio>
#include <ostream>

namespace tarnwick {

void print(std::ostream& out, const char* format, ...) {
    // Every line the tool formats is far shorter: its fields are fixed-width
    // numbers and fixed words.
    char line[256];
    std::va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    assert(n >= 0 && static_cast<std::size_t>(n) < sizeof line);
    if (n < 0) {
        return;
    }
    const std::size_t len = static_cast<std::size_t>(n) < sizeof line ? static_cast<std::size_t>(n) : sizeof line - 1;
    out.write(line, static_cast<std::streamsize>(len));
}

}  // namespace tarnwick
