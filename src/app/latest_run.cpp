#include <ostream>
#include <span>
#include <vector>
#include <string>

#include "app/reference.h"
#include "app/runs.h"
#include "commands/commands.h"

namespace tarnwick {

// The directory is read headers first while the image loads; nothing of it
// is printed until the image has loaded. A directory given serves both
// vendors; else each has its distribution's (there is no default on
// Windows). AMD patches are read, whole, only for a file that holds some.
LatestRun::LatestRun(int argc, const char* const* argv) {
    if (argc >= 4) {
        given_ = true;
        directory_ = argv[3];
    }
#if defined(_WIN32)
    if (!given_) {
        return;
    }
#endif
    const std::string intel = given_ ? directory_ : std::string(default_reference_directory);
    intel_ = std::async(std::launch::async, [intel] { return HeaderFirstSource::open(intel, true); });
}

namespace {

std::vector<LayoutUpdate> layout_of(std::span<const SourceUpdate> updates) {
    std::vector<LayoutUpdate> layout;
    layout.reserve(updates.size());
    for (const SourceUpdate& u : updates) {
        layout.push_back({u.header.update_revision, u.processors});
    }
    return layout;
}

}  // namespace

ExitStatus LatestRun::run(const LoadedImage& image, std::ostream& out) {
    if (!intel_.valid()) {
        out << "-latest needs a directory here: tarnwick -latest <file> <directory>\n";
        return ExitStatus::bad_usage;
    }
    const FoundUpdates found = find_updates(image.view());
    const AmdPatches amd = find_amd_patches(image.view());
    std::optional<HeaderFirstSource> intel = intel_.get();
    if (found.updates.empty() && amd.patches.empty()) {
        return ExitStatus::not_found;
    }
    std::optional<std::vector<AmdKnown>> amd_reference;
    if (!amd.patches.empty()) {
        amd_reference = read_amd_reference(given_ ? directory_ : std::string(default_amd_reference_directory));
    }
    // Only the directory a comparison needs must open.
    if ((!found.updates.empty() && !intel) || (!amd.patches.empty() && !amd_reference)) {
        out << "Directory can't be opened.\n";
        return ExitStatus::cannot_open;
    }
    // Only the updates the comparison rests on are read whole; one that is
    // damaged has its file read whole, and the comparison is made again.
    std::vector<LayoutUpdate> reference;
    if (intel) {
        reference = layout_of(intel->updates());
        while (!intel->check(currency_sources(image.view(), found.updates, reference))) {
            reference = layout_of(intel->updates());
        }
    }
    return run_latest(image.view(), found, reference, amd, amd_reference ? *amd_reference : std::vector<AmdKnown>{},
                      out);
}

}  // namespace tarnwick
