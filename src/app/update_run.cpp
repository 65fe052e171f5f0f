#include <cctype>
#include <ostream>
#include <string>
#include <string_view>

#include "app/reference.h"
#include "app/runs.h"
#include "app/sources.h"
#include "app/write_files.h"
#include "commands/commands.h"

namespace tarnwick {

namespace {

// The new image's writer, once its name is known to be free: said before
// any work, and checked again as the file is moved into place.
bool name_free(const NewFileWriter& writer, const char* name, std::ostream& out) {
    if (writer.taken()) {
        out << "   " << name << " exists already; nothing was written.\n";
        return false;
    }
    return true;
}

// "306F0" or "0x000306F0": one to eight hexadecimal digits.
std::optional<std::uint32_t> parse_cpuid(std::string_view text) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
    }
    if (text.empty() || text.size() > 8) {
        return std::nullopt;
    }
    std::uint32_t value = 0;
    for (const char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c)) == 0) {
            return std::nullopt;
        }
        const int digit = std::isdigit(static_cast<unsigned char>(c)) != 0 ? c - '0'
                                                                           : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
        value = value << 4 | static_cast<std::uint32_t>(digit);
    }
    return value;
}

}  // namespace

ExitStatus run_update_files(const LoadedImage& image, int argc, const char* const* argv, std::ostream& out) {
    if (argc < 4) {
        out << "-update needs a new image: tarnwick -update <BIOS image> <new image> [<directory or file>]\n";
        return ExitStatus::bad_usage;
    }
    NewFileWriter writer(argv[3]);
    if (!name_free(writer, argv[3], out)) {
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
    std::optional<HeaderFirstSource> sources = HeaderFirstSource::open(source);
    if (!sources) {
        out << "   Can't open " << source << "; nothing was written.\n";
        return ExitStatus::output_failed;
    }
    // Only the updates the choice rests on are read whole.
    return run_update(image.view(), *sources, argv[3], writer, out);
}

ExitStatus run_add_files(const LoadedImage& image, int argc, const char* const* argv, std::ostream& out) {
    if (argc < 5) {
        out << "-add needs a new image and update files: tarnwick -add <BIOS image> <new image> <update file>...\n";
        return ExitStatus::bad_usage;
    }
    NewFileWriter writer(argv[3]);
    if (!name_free(writer, argv[3], out)) {
        return ExitStatus::output_failed;
    }
    // Each file is read whole, as a container; the updates keep the files'
    // order.
    std::vector<std::vector<std::uint8_t>> files;
    for (int i = 4; i < argc; ++i) {
        std::optional<std::vector<std::uint8_t>> bytes = read_whole_file(argv[i]);
        if (!bytes) {
            out << "   Can't open " << argv[i] << "; nothing was written.\n";
            return ExitStatus::output_failed;
        }
        files.push_back(std::move(*bytes));
    }
    std::vector<SourceUpdate> sources;
    for (const std::vector<std::uint8_t>& f : files) {
        add_source_updates(f, sources);
    }
    return run_add(image.view(), sources, argv[3], writer, out);
}

ExitStatus run_remove_files(const LoadedImage& image, int argc, const char* const* argv, std::ostream& out) {
    constexpr const char* usage = "tarnwick -remove <BIOS image> <new image> <CPUID>...";
    if (argc < 5) {
        out << "-remove needs a new image and CPUIDs: " << usage << '\n';
        return ExitStatus::bad_usage;
    }
    std::vector<std::uint32_t> signatures;
    for (int i = 4; i < argc; ++i) {
        const std::optional<std::uint32_t> cpuid = parse_cpuid(argv[i]);
        if (!cpuid) {
            out << "-remove takes CPUIDs in hexadecimal, such as 306F0 or 0x000306F0, not '" << argv[i]
                << "': " << usage << '\n';
            return ExitStatus::bad_usage;
        }
        signatures.push_back(*cpuid);
    }
    NewFileWriter writer(argv[3]);
    if (!name_free(writer, argv[3], out)) {
        return ExitStatus::output_failed;
    }
    return run_remove(image.view(), signatures, argv[3], writer, out);
}

}  // namespace tarnwick
