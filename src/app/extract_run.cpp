#include <ostream>

#include "app/runs.h"
#include "app/write_files.h"
#include "commands/commands.h"

namespace tarnwick {

ExitStatus run_extract_files(const LoadedImage& image, int argc, const char* const* argv, std::ostream& out) {
    if (argc < 4) {
        out << "-extract needs a directory: tarnwick -extract <file> <directory>\n";
        return ExitStatus::bad_usage;
    }
    DirectoryWriter writer(argv[3]);
    return run_extract(image.view(), writer, out);
}

}  // namespace tarnwick
