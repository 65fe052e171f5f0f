#pragma once

#include <iosfwd>

#include "commands/status.h"

namespace tarnwick {

// The whole run: arguments, loading, dispatch. Everything is printed to `out`.
ExitStatus run_tarnwick(int argc, const char* const* argv, std::ostream& out);

}  // namespace tarnwick
