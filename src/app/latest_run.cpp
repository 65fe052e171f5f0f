#include <ostream>
#include <string>

#include "app/reference.h"
#include "app/runs.h"
#include "commands/commands.h"

namespace tarnwick {

namespace {

// The directory the comparison reads, or null where there is no default and
// none was given.
const char* reference_directory(int argc, const char* const* argv) {
    if (argc >= 4) {
        return argv[3];
    }
#if defined(_WIN32)
    return nullptr;
#else
    return default_reference_directory;
#endif
}

}  // namespace

// The directory's files cost about as much as a whole flash image, so they
// are read while the image loads. Nothing of them is printed until the
// image has loaded.
LatestRun::LatestRun(int argc, const char* const* argv) : directory_(reference_directory(argc, argv)) {
    if (directory_ != nullptr) {
        reading_ = std::async(std::launch::async, read_reference, std::string(directory_));
    }
}

ExitStatus LatestRun::run(const LoadedImage& image, std::ostream& out) {
    if (directory_ == nullptr) {
        out << "-latest needs a directory here: tarnwick -latest <file> <directory>\n";
        return ExitStatus::bad_usage;
    }
    const FoundUpdates found = find_updates(image.view());
    const std::optional<std::vector<LayoutUpdate>> reference = reading_.get();
    if (!reference) {
        out << "Directory can't be opened.\n";
        return ExitStatus::cannot_open;
    }
    return run_latest(image.view(), found, *reference, out);
}

}  // namespace tarnwick
