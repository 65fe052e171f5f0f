#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "edit/plan.h"

namespace tarnwick {

// The Intel updates of a directory's regular files (or of one file), read
// headers first. A file that is nothing but updates end to end, as the
// distributions' are, gives its headers and extended tables, not yet
// checked, and an update's whole bytes are read only when asked for; any
// other file is read whole and gives its intact updates, as a container's
// walk finds them. What is asked for and intact is what reading every file
// whole would give: an update that turns out damaged sends every file back
// to be read so.
class HeaderFirstSource : public SourceReader {
public:
    // Nothing when `path` can't be opened, or is no directory where
    // `directory_only`.
    static std::optional<HeaderFirstSource> open(const std::string& path, bool directory_only = false);

    // Every update, the files' in their order; `bytes` is empty for those
    // not yet read.
    std::span<const SourceUpdate> updates() const override { return updates_; }

    // Reads and checks updates `which` (indexes into updates()), keeping
    // their bytes. True when each is intact. Otherwise every file not yet
    // read whole is read so and gives its intact updates instead, updates()
    // changes, and the caller asks again: false.
    bool confirm(std::span<const std::size_t> which) override { return read(which, true); }
    // The same, keeping only that they are intact, one at a time in one
    // buffer.
    bool check(std::span<const std::size_t> which) { return read(which, false); }

private:
    struct Entry {
        std::size_t file;
        std::size_t offset;
        std::size_t size;
        SourceUpdate update;  // its bytes, once read and kept
        bool checked = false;  // read and found intact
    };
    bool read(std::span<const std::size_t> which, bool keep);
    void read_whole(std::size_t file, std::vector<Entry>& to);
    void read_all_whole();
    void flatten();

    std::vector<std::string> paths_;
    std::vector<Entry> entries_;  // file by file
    std::vector<bool> whole_;     // by file: read whole (or passed over)
    std::deque<std::vector<std::uint8_t>> held_;  // bytes read, which the updates point into
    std::vector<SourceUpdate> updates_;
    std::vector<std::uint8_t> scratch_;  // what is read and not kept, one update at a time
};

}  // namespace tarnwick
