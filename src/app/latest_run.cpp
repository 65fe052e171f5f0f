#include <ostream>
#include <string>

#include "app/reference.h"
#include "app/runs.h"
#include "commands/commands.h"

namespace tarnwick {

// The directories' files cost about as much as a whole flash image, so they
// are read while the image loads. Nothing of them is printed until the
// image has loaded. A directory given serves both vendors; else each has
// its distribution's (there is no default on Windows).
LatestRun::LatestRun(int argc, const char* const* argv) {
    if (argc >= 4) {
        given_ = true;
        intel_ = std::async(std::launch::async, read_reference, std::string(argv[3]), Vendors::both);
        return;
    }
#if !defined(_WIN32)
    intel_ = std::async(std::launch::async, read_reference, std::string(default_reference_directory), Vendors::intel);
    amd_ = std::async(std::launch::async, read_reference, std::string(default_amd_reference_directory), Vendors::amd);
#endif
}

ExitStatus LatestRun::run(const LoadedImage& image, std::ostream& out) {
    if (!intel_.valid()) {
        out << "-latest needs a directory here: tarnwick -latest <file> <directory>\n";
        return ExitStatus::bad_usage;
    }
    const FoundUpdates found = find_updates(image.view());
    const AmdPatches amd = find_amd_patches(image.view());
    const std::optional<Reference> intel = intel_.get();
    const std::optional<Reference> amd_reference = given_ ? intel : amd_.get();
    if (found.updates.empty() && amd.patches.empty()) {
        return ExitStatus::not_found;
    }
    // Only the directory a comparison needs must open.
    if ((!found.updates.empty() && !intel) || (!amd.patches.empty() && !amd_reference)) {
        out << "Directory can't be opened.\n";
        return ExitStatus::cannot_open;
    }
    static const Reference none;
    return run_latest(image.view(), found, (intel ? *intel : none).intel, amd, (amd_reference ? *amd_reference : none).amd,
                      out);
}

}  // namespace tarnwick
