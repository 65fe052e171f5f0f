#include <ostream>

#include "commands/commands.h"
#include "commands/print.h"
#include "flash/fit.h"

namespace tarnwick {

ExitStatus run_fit(Image image, std::ostream& out) {
    long long ordinal = 0;
    const bool found = for_each_fit_microcode_entry(image, [&](std::uint32_t address) {
        ++ordinal;
        print(out, " %02lld mCode Adrress - 0x%08X\n", ordinal, address);
    });
    return found ? ExitStatus::done : ExitStatus::not_found;
}

}  // namespace tarnwick
