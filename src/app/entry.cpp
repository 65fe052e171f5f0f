#include "app/entry.h"

#include <optional>
#include <ostream>
#include <string_view>

#include "app/load_image.h"
#include "app/runs.h"
#include "commands/commands.h"

namespace tarnwick {

namespace {

struct Command {
    std::string_view word;
    ExitStatus (*run)(Image, std::ostream&);
};

// Compared in this order, each word whole and case-sensitive. Each reads the
// first file only; further arguments are ignored.
constexpr Command commands[] = {
    {"check", run_check},
    {"scan", run_scan},
    {"fit", run_fit},
    {"info", run_info},
    {"verify", run_verify},
    {"fitcheck", run_fitcheck},
};

constexpr const char* usage_text =
    "  Tarnwick v0..4.2\n"
    " Usage:\n"
    " Tarnwick -info <mCode file or container>\n"
    "   - Microcode information\n"
    " Tarnwick -scan <mCode file or container>\n"
    "   - Scan on the ZOR.dat for the presence of the new Microcode\n"
    " Tarnwick -check <mCode file>\n"
    "   - Check CS32 Microcode\n"
    " Tarnwick -fit <BIOS Image>\n"
    "   - Information on the physical address of the Microcode in the _FIT_\n";

}  // namespace

ExitStatus run_tarnwick(int argc, const char* const* argv, std::ostream& out) {
    if (argc < 3) {
        out << usage_text;
        return ExitStatus::bad_usage;
    }
    const std::string_view option = argv[1];
    // The one command that takes several files loads each itself.
    if (option == "-json") {
        return run_json_files(argc - 2, argv + 2, out);
    }
    std::optional<LatestRun> latest;
    if (option == "-latest") {
        latest.emplace(argc, argv);
    }

    // The file is loaded before the option is looked at, so a missing file
    // always ends with its own code, whatever the option.
    LoadedImage image;
    if (const ExitStatus loaded = load_image(argv[2], image, out); loaded != ExitStatus::done) {
        return loaded;
    }

    if (!option.empty() && option.front() == '-') {
        for (const Command& command : commands) {
            if (option.substr(1) == command.word) {
                return command.run(image.view(), out);
            }
        }
        if (option == "-extract") {
            return run_extract_files(image, argc, argv, out);
        }
        if (option == "-latest") {
            return latest->run(image, out);
        }
        if (option == "-update") {
            return run_update_files(image, argc, argv, out);
        }
        if (option == "-add") {
            return run_add_files(image, argc, argv, out);
        }
        if (option == "-remove") {
            return run_remove_files(image, argc, argv, out);
        }
        if (option == "-advisories") {
            return run_advisories_files(image, argc, argv, out);
        }
    }
    // A misspelt option must not pass for a clean run.
    out << "Invalid paramtr\n";
    return ExitStatus::bad_usage;
}

}  // namespace tarnwick
