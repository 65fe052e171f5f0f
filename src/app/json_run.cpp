#include <iostream>
#include <sstream>
#include <string>

#include "app/platform.h"
#include "app/runs.h"
#include "commands/commands.h"

namespace tarnwick {

namespace {

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

}  // namespace

// One line per file, each file loaded and released in turn. A file that
// can't be loaded gets a line with its load message; the status is then the
// first such failure's, once every file has had its line.
ExitStatus run_json_files(int files, const char* const* paths, std::ostream& out) {
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

}  // namespace tarnwick
