#include <algorithm>
#include <ostream>
#include <string>
#include <string_view>

#include "advisories/release_notes.h"
#include "app/gunzip.h"
#include "app/load_image.h"
#include "app/runs.h"
#include "commands/commands.h"

namespace tarnwick {

namespace {

// Where Debian's and Ubuntu's intel-microcode packages install Intel's notes.
constexpr const char* default_release_notes = "/usr/share/doc/intel-microcode/releasenote.md.gz";

// Real notes grow several times over when unpacked; a gzip file that would
// grow past this is no notes file.
std::size_t most_unpacked(std::size_t packed) {
    constexpr std::size_t ceiling = std::size_t{1} << 30;
    return packed > ceiling / 256 ? ceiling : 256 * packed + (std::size_t{64} << 20);
}

}  // namespace

ExitStatus run_advisories_files(const LoadedImage& image, int argc, const char* const* argv, std::ostream& out) {
    const std::string path = argc >= 4 ? argv[3] : default_release_notes;
    const FoundUpdates found = find_updates(image.view());
    // The notes are needed only for an intact update.
    if (std::none_of(found.updates.begin(), found.updates.end(),
                     [](const FoundUpdate& u) { return u.check.status == UpdateStatus::ok; })) {
        return run_advisories(image.view(), found, ReleaseNotes{}, image.size, out);
    }
    LoadedImage notes;
    const std::string cannot_open = "Release notes can't be opened: " + path +
                                    ". Install the intel-microcode package, or give their path: tarnwick -advisories "
                                    "<file> <release notes>\n";
    if (const ExitStatus loaded = load_input(path.c_str(), notes, out, false, cannot_open);
        loaded != ExitStatus::done) {
        return loaded;
    }
    Image text = notes.view();
    Gunzipped unpacked;
    if (is_gzip(text)) {
        unpacked = gunzip(text, most_unpacked(text.size()));
        switch (unpacked.outcome) {
            case Gunzipped::Outcome::done:
                break;
            case Gunzipped::Outcome::unsupported:
                out << "Release notes " << path
                    << " are gzip-compressed, and this build reads only plain text: give zcat's output, as in "
                       "tarnwick -advisories <file> <(zcat "
                    << path << ")\n";
                return ExitStatus::cannot_open;
            case Gunzipped::Outcome::damaged:
                out << "Release notes " << path << " are a damaged gzip file: " << unpacked.why << ".\n";
                return ExitStatus::damaged;
            case Gunzipped::Outcome::too_large:
                out << "Release notes " << path << " unpack to more than any notes file holds.\n";
                return ExitStatus::damaged;
        }
        text = unpacked.bytes;
    }
    const ReleaseNotes read =
        read_release_notes(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()));
    if (read.releases.empty()) {
        out << "Release notes " << path << " hold no release: no line starts with \"## [microcode-\".\n";
        return ExitStatus::damaged;
    }
    return run_advisories(image.view(), found, read, image.size + text.size(), out);
}

}  // namespace tarnwick
