#include <ostream>

#include "commands/commands.h"
#include "search/checksum.h"
#include "search/find_pattern.h"

namespace tarnwick {

ExitStatus run_check(Image image, std::ostream& out) {
    // A file without a single version-1 header can't be microcode at all.
    if (!find_pattern(image, 0, header_marker)) {
        return ExitStatus::not_found;
    }
    if (sum_words(image) != 0) {
        out << "Checksum error. Microcode damaged.\n";
        return ExitStatus::not_found;
    }
    out << "Checksum correct. Microcode not damaged.\n";
    return ExitStatus::done;
}

}  // namespace tarnwick
