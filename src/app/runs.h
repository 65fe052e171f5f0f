#pragma once

#include <future>
#include <iosfwd>
#include <optional>
#include <vector>

#include "app/load_image.h"
#include "app/reference.h"
#include "app/sources.h"
#include "commands/status.h"
#include "intel/loader_layout.h"

namespace tarnwick {

// What the commands that take more than one file need around them: their
// further arguments, the files they read or write. One place per command;
// the entry only routes to them.

// -json FILE...: loads each file in turn and writes its line.
ExitStatus run_json_files(int files, const char* const* paths, std::ostream& out);

// -latest FILE [DIR]: starts reading the directory's headers at once, on a
// second thread, so that it overlaps the loading of the image.
class LatestRun {
public:
    LatestRun(int argc, const char* const* argv);
    ExitStatus run(const LoadedImage& image, std::ostream& out);

private:
    bool given_ = false;
    std::string directory_;  // the one given
    // The given directory, or Intel's default, headers first.
    std::future<std::optional<HeaderFirstSource>> intel_;
};

// -extract FILE DIR
ExitStatus run_extract_files(const LoadedImage& image, int argc, const char* const* argv, std::ostream& out);

// -update IMAGE NEW [DIR or FILE]
ExitStatus run_update_files(const LoadedImage& image, int argc, const char* const* argv, std::ostream& out);
// -add IMAGE NEW FILE...
ExitStatus run_add_files(const LoadedImage& image, int argc, const char* const* argv, std::ostream& out);
// -advisories FILE [NOTES]
ExitStatus run_advisories_files(const LoadedImage& image, int argc, const char* const* argv, std::ostream& out);
// -remove IMAGE NEW CPUID...
ExitStatus run_remove_files(const LoadedImage& image, int argc, const char* const* argv, std::ostream& out);

}  // namespace tarnwick
