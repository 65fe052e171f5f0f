#pragma once

#include <iosfwd>

namespace tarnwick {

#if defined(__GNUC__)
#define TARNWICK_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define TARNWICK_PRINTF(fmt, args)
#endif

// printf-style formatting of one short line into `out`.
void print(std::ostream& out, const char* format, ...) TARNWICK_PRINTF(2, 3);

}  // namespace tarnwick
