#include <ostream>

#include "commands/commands.h"
#include "search/checksum.h"

namespace tarnwick {

ExitStatus run_check(Image image, std::ostream& out) {
    // A file without a single version-1 header can't be microcode at all.
    const MicrocodeChecksum words = check_words(image);
    if (!words.has_marker) {
        return ExitStatus::not_found;
    }
    if (words.sum != 0) {
        out << "Checksum error. Microcode damaged.\n";
        return ExitStatus::not_found;
    }
    out << "Checksum correct. Microcode not damaged.\n";
    return ExitStatus::done;
}

}  // namespace tarnwick
