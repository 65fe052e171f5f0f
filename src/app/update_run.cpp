#include <ostream>
#include <string>

#include "app/reference.h"
#include "app/runs.h"
#include "app/write_files.h"
#include "commands/commands.h"

namespace tarnwick {

ExitStatus run_update_files(const LoadedImage& image, int argc, const char* const* argv, std::ostream& out) {
    if (argc < 4) {
        out << "-update needs a new image: tarnwick -update <BIOS image> <new image> [<directory or file>]\n";
        return ExitStatus::bad_usage;
    }
    NewFileWriter writer(argv[3]);
    // Said before any work: the name is checked again as the file is moved
    // into place.
    if (writer.taken()) {
        out << "   " << argv[3] << " exists already; nothing was written.\n";
        return ExitStatus::output_failed;
    }
#if defined(_WIN32)
    if (argc < 5) {
        out << "-update needs a directory or file of updates here: tarnwick -update <BIOS image> <new image> "
               "<directory or file>\n";
        return ExitStatus::bad_usage;
    }
    const std::string source = argv[4];
#else
    const std::string source = argc >= 5 ? argv[4] : default_reference_directory;
#endif
    const std::optional<std::vector<std::vector<std::uint8_t>>> files = read_source_files(source);
    if (!files) {
        out << "   Can't open " << source << "; nothing was written.\n";
        return ExitStatus::output_failed;
    }
    std::vector<SourceUpdate> sources;
    for (const std::vector<std::uint8_t>& f : *files) {
        add_source_updates(f, sources);
    }
    return run_update(image.view(), sources, argv[3], writer, out);
}

}  // namespace tarnwick
