#include "commands/print.h"

#include <cstdarg>
#include <cstdio>
#include <ostream>
#include <vector>

namespace tarnwick {

void print(std::ostream& out, const char* format, ...) {
    char line[256];
    std::va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n < 0) {
        return;
    }
    const auto len = static_cast<std::size_t>(n);
    if (len < sizeof line) {
        out.write(line, static_cast<std::streamsize>(len));
        return;
    }
    // Longer than any line the tool prints today; format again at full size.
    std::vector<char> big(len + 1);
    va_start(args, format);
    std::vsnprintf(big.data(), big.size(), format, args);
    va_end(args);
    out.write(big.data(), static_cast<std::streamsize>(len));
}

}  // namespace tarnwick
