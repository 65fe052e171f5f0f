#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "commands/status.h"
#include "amd/amd.h"
#include "search/bytes.h"
#include "intel/loader_layout.h"
#include "intel/update_check.h"
#include "edit/plan.h"

namespace tarnwick {

// Each command reads the image, prints its findings to `out` and returns the
// status that becomes the exit code.
ExitStatus run_check(Image image, std::ostream& out);
ExitStatus run_info(Image image, std::ostream& out);
ExitStatus run_fit(Image image, std::ostream& out);
ExitStatus run_verify(Image image, std::ostream& out);
ExitStatus run_fitcheck(Image image, std::ostream& out);

// One line of JSON, with its line end, with everything the commands know
// about `image`, read from `path`; or, for a file that could not be loaded,
// its load message. The caller writes each line whole.
std::string json_line(const char* path, Image image);
std::string json_error_line(const char* path, std::string_view message);

// A file for -extract to write: its name within the directory, and its
// bytes as pieces of the image, written one after the other.
struct OutputFile {
    std::string name;
    std::vector<Image> pieces;
};

// Where -extract writes: every file or none.
class FileSink {
public:
    virtual ~FileSink() = default;
    // Writes all `files`, or, on failure, leaves nothing of this call behind
    // and returns what failed and where.
    virtual std::optional<std::string> write_all(const std::vector<OutputFile>& files) = 0;
};

// Writes the image's intact updates to `sink` in the loader's layout;
// refuses, writing nothing, when the files would hold more than
// extract_limit of the image's size.
ExitStatus run_extract(Image image, FileSink& sink, std::ostream& out);
inline std::uint64_t extract_limit(std::uint64_t image_size) {
    return 16 * image_size + (std::uint64_t{64} << 20);
}

// Compares the image's updates, as find_updates gives them, and its AMD
// patches with the intact ones of reference directories, read by the caller.
ExitStatus run_latest(Image image, const FoundUpdates& found, std::span<const LayoutUpdate> reference,
                      const AmdPatches& amd, std::span<const AmdKnown> amd_reference, std::ostream& out);

// Judges each intact update of `found` (as find_updates gives them for
// `image`) against Intel's release notes: which security releases it
// misses. `input_size` bounds the work and the output (the image's and the
// notes' bytes).
struct ReleaseNotes;
ExitStatus run_advisories(Image image, const FoundUpdates& found, const ReleaseNotes& notes, std::uint64_t input_size,
                          std::ostream& out);

// Where -update writes its new image: whole or not at all.
class ImageSink {
public:
    struct Outcome {
        enum class Kind { written, failed, check_failed } kind = Kind::written;
        std::string message;  // what failed
    };
    using Check = std::function<std::optional<std::string>(Image written)>;
    virtual ~ImageSink() = default;
    // Writes `pieces`, one after the other, as the new file; reads what was
    // written back and hands it to `check` before the file gets its name.
    // On any failure nothing is left.
    virtual Outcome write(std::span<const Image> pieces, const Check& check) = 0;
};

// Puts the newest of `sources` into the image's microcode files (or the
// container), mends their pads and the FIT, checks the result and writes it
// to `sink`; `new_name` is how the last line names it.
ExitStatus run_update(Image image, SourceReader& sources, const std::string& new_name, ImageSink& sink,
                      std::ostream& out);
// Adds the updates of `sources` that serve processors the image has none
// for, and replaces older ones as run_update does; then as run_update.
ExitStatus run_add(Image image, std::span<const SourceUpdate> sources, const std::string& new_name, ImageSink& sink,
                   std::ostream& out);
// Takes out every update whose own signature is one of `signatures`, lays
// the rest out again and drops their FIT entries; then as run_update.
ExitStatus run_remove(Image image, std::span<const std::uint32_t> signatures, const std::string& new_name,
                      ImageSink& sink, std::ostream& out);

// Looks up the image's updates in "ZOR.dat" in the working directory.
ExitStatus run_scan(Image image, std::ostream& out);
// The same against a database at another path.
ExitStatus run_scan_with_database(Image image, const char* database_path, std::ostream& out);

}  // namespace tarnwick
