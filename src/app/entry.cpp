#include "app/entry.h"

#include <future>
#include <iostream>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>

#include "app/load_image.h"
#include "app/platform.h"
#include "app/reference.h"
#include "app/write_files.h"
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

// Writes one JSON line as soon as it is complete. To the process's standard
// output it goes in one write(): runs in parallel into one pipe then never
// cut each other's lines (whole up to the pipe's atomic size, 4 KiB on
// Linux), and a line a run has written stays whole if a later one fails.
bool emit_line(std::ostream& out, const std::string& line) {
    if (out.rdbuf() != std::cout.rdbuf()) {
        return static_cast<bool>(out << line);
    }
    if (!out.flush() || !platform::write_standard_output(line)) {
        out.setstate(std::ios::badbit);
        return false;
    }
    return true;
}

// -json FILE...: one line per file, each file loaded and released in turn.
// A file that can't be loaded gets a line with its load message; the status
// is then the first such failure's, once every file has had its line.
ExitStatus run_json(int files, const char* const* paths, std::ostream& out) {
    ExitStatus status = ExitStatus::done;
    for (int i = 0; i < files && out; ++i) {
        LoadedImage image;
        std::ostringstream message;
        if (const ExitStatus loaded = load_image(paths[i], image, message); loaded != ExitStatus::done) {
            std::string text = message.str();
            while (!text.empty() && text.back() == '\n') {
                text.pop_back();
            }
            emit_line(out, json_error_line(paths[i], text));
            if (status == ExitStatus::done) {
                status = loaded;
            }
            continue;
        }
        emit_line(out, json_line(paths[i], image.view()));
    }
    return out ? status : ExitStatus::output_failed;
}

using Reference = std::optional<std::vector<LayoutUpdate>>;

// -latest FILE [DIR]: the directory the comparison reads, or null where
// there is no default and none was given.
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

ExitStatus run_latest_against(const LoadedImage& image, const char* directory, std::future<Reference>& reading,
                              std::ostream& out) {
    if (directory == nullptr) {
        out << "-latest needs a directory here: tarnwick -latest <file> <directory>\n";
        return ExitStatus::bad_usage;
    }
    const FoundUpdates found = find_updates(image.view());
    const Reference reference = reading.get();
    if (!reference) {
        out << "Directory can't be opened.\n";
        return ExitStatus::cannot_open;
    }
    return run_latest(image.view(), found, *reference, out);
}

}  // namespace

ExitStatus run_tarnwick(int argc, const char* const* argv, std::ostream& out) {
    if (argc < 3) {
        out << usage_text;
        return ExitStatus::bad_usage;
    }
    // The one command that takes several files loads each itself.
    if (std::string_view(argv[1]) == "-json") {
        return run_json(argc - 2, argv + 2, out);
    }

    // -latest reads its directory on a second thread while the image is
    // loaded and walked: the directory's files cost about as much as a whole
    // flash image. Nothing of it is printed until the image has loaded.
    std::future<Reference> reading;
    const char* directory = reference_directory(argc, argv);
    if (std::string_view(argv[1]) == "-latest" && directory != nullptr) {
        reading = std::async(std::launch::async, read_reference, std::string(directory));
    }

    // The file is loaded before the option is looked at, so a missing file
    // always ends with its own code, whatever the option.
    LoadedImage image;
    if (const ExitStatus loaded = load_image(argv[2], image, out); loaded != ExitStatus::done) {
        return loaded;
    }

    const std::string_view option = argv[1];
    if (!option.empty() && option.front() == '-') {
        for (const Command& command : commands) {
            if (option.substr(1) == command.word) {
                return command.run(image.view(), out);
            }
        }
        if (option == "-extract") {
            if (argc < 4) {
                out << "-extract needs a directory: tarnwick -extract <file> <directory>\n";
                return ExitStatus::bad_usage;
            }
            DirectoryWriter writer(argv[3]);
            return run_extract(image.view(), writer, out);
        }
        if (option == "-latest") {
            return run_latest_against(image, directory, reading, out);
        }
    }
    // A misspelt option must not pass for a clean run.
    out << "Invalid paramtr\n";
    return ExitStatus::bad_usage;
}

}  // namespace tarnwick
