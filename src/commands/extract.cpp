#include <ostream>
#include <string>

#include "commands/commands.h"
#include "commands/print.h"
#include "format/loader_layout.h"
#include "format/update_check.h"

namespace tarnwick {

ExitStatus run_extract(Image image, FileSink& sink, std::ostream& out) {
    const FoundUpdates found = find_updates(image);
    std::vector<std::size_t> intact;  // rows of the intact updates
    for (std::size_t row = 0; row < found.updates.size(); ++row) {
        const FoundUpdate& u = found.updates[row];
        if (u.check.status == UpdateStatus::ok) {
            intact.push_back(row);
        } else {
            print(out, "   Skipped update %02llu at offset 0x%08llX: %s\n", static_cast<unsigned long long>(row + 1),
                  static_cast<unsigned long long>(u.offset), std::string(status_word(u.check.status)).c_str());
        }
    }
    if (intact.empty()) {
        return ExitStatus::not_found;
    }

    const std::vector<LayoutFile> layout = loader_layout(layout_updates(image, found.updates));
    // One update can serve thousands of processors, and it is copied into
    // the file of each: a small crafted file could ask for far more than any
    // real container gives (Intel's whole public history stays well below).
    std::uint64_t bytes = 0;
    for (const LayoutFile& f : layout) {
        for (std::size_t i : f.updates) {
            bytes += found.updates[intact[i]].check.total_size;
        }
    }
    const std::uint64_t limit = extract_limit(image.size());
    if (bytes > limit) {
        print(out,
              "   Refused: the files would hold %llu bytes, more than %llu for a file of %llu bytes; its updates "
              "claim too many processors to be real\n",
              static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(limit),
              static_cast<unsigned long long>(image.size()));
        return ExitStatus::damaged;
    }
    std::vector<OutputFile> files;
    files.reserve(layout.size());
    for (const LayoutFile& f : layout) {
        OutputFile file{f.name, {}};
        for (std::size_t i : f.updates) {
            const FoundUpdate& u = found.updates[intact[i]];
            file.pieces.push_back(image.subspan(u.offset, static_cast<std::size_t>(u.check.total_size)));
        }
        files.push_back(std::move(file));
    }
    if (const std::optional<std::string> failed = sink.write_all(files)) {
        out << "   " << *failed << '\n';
        return ExitStatus::output_failed;
    }

    std::size_t written = 0;
    for (const LayoutFile& f : layout) {
        print(out, "   %s: %llu %s,", f.name.c_str(), static_cast<unsigned long long>(f.updates.size()),
              f.updates.size() == 1 ? "update" : "updates");
        for (std::size_t i : f.updates) {
            print(out, " %08X", found.updates[intact[i]].header.update_revision);
        }
        out << '\n';
        written += f.updates.size();
    }
    print(out, "   %llu %s written, %llu %s in them\n", static_cast<unsigned long long>(layout.size()),
          layout.size() == 1 ? "file" : "files", static_cast<unsigned long long>(written),
          written == 1 ? "update" : "updates");
    return ExitStatus::done;
}

}  // namespace tarnwick
