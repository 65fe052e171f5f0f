#include <algorithm>
#include <ostream>
#include <string>

#include "commands/commands.h"
#include "commands/print.h"
#include "amd/amd.h"
#include "intel/loader_layout.h"
#include "intel/update_check.h"

namespace tarnwick {

namespace {

// The table entries a patch brings into its container: its table's, with
// their errata fields, and for Zen the processor its patch id names.
std::vector<AmdEquivEntry> entries_of(const AmdPatch& p, std::span<const AmdPatch> all) {
    std::vector<AmdEquivEntry> entries = p.cpuids_as ? all[*p.cpuids_as].equiv : p.equiv;
    if (is_zen(p.header.patch_id)) {
        const std::uint32_t own = zen_cpuid(p.header.patch_id);
        if (std::none_of(entries.begin(), entries.end(), [own](const AmdEquivEntry& e) { return e.cpuid == own; })) {
            entries.push_back({own, 0, 0, p.header.equiv_id});
        }
    }
    return entries;
}

}  // namespace

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
    const AmdPatches amd = find_amd_patches(image);
    for (std::size_t row = 0; row < amd.patches.size(); ++row) {
        const AmdPatch& p = amd.patches[row];
        if (p.status != AmdStatus::ok) {
            print(out, "   Skipped AMD patch %02llu at offset 0x%08llX: %s\n", static_cast<unsigned long long>(row + 1),
                  static_cast<unsigned long long>(p.offset), std::string(amd_status_word(p.status)).c_str());
        } else if (!p.names_processors()) {
            print(out, "   Skipped AMD patch %02llu at offset 0x%08llX: bare, with no processor to map it to\n",
                  static_cast<unsigned long long>(row + 1), static_cast<unsigned long long>(p.offset));
        }
    }
    const std::vector<LayoutFile> layout =
        intact.empty() ? std::vector<LayoutFile>{} : loader_layout(layout_updates(image, found.updates));
    const std::vector<AmdLayoutFile> amd_layout = amd_loader_layout(amd.patches);
    if (layout.empty() && amd_layout.empty()) {
        return ExitStatus::not_found;
    }

    std::vector<OutputFile> files;
    files.reserve(layout.size() + amd_layout.size());
    for (const LayoutFile& f : layout) {
        OutputFile file{f.name, {}};
        for (std::size_t i : f.updates) {
            const FoundUpdate& u = found.updates[intact[i]];
            file.pieces.push_back(image.subspan(u.offset, static_cast<std::size_t>(u.check.total_size)));
        }
        files.push_back(std::move(file));
    }
    std::vector<std::vector<std::uint8_t>> containers;  // the AMD files' bytes
    containers.reserve(amd_layout.size());
    for (const AmdLayoutFile& f : amd_layout) {
        std::vector<AmdLayoutPatch> patches;
        for (std::size_t i : f.patches) {
            const AmdPatch& p = amd.patches[i];
            patches.push_back({image.subspan(p.offset, static_cast<std::size_t>(p.size)), p.header.equiv_id,
                               entries_of(p, amd.patches)});
        }
        containers.push_back(amd_container(patches));
        files.push_back({f.name, {Image(containers.back())}});
    }

    // One update can serve thousands of processors, and it is copied into
    // the file of each: a small crafted file could ask for far more than any
    // real container gives (Intel's whole public history stays well below).
    std::uint64_t bytes = 0;
    for (const OutputFile& f : files) {
        for (const Image& piece : f.pieces) {
            bytes += piece.size();
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
    std::size_t amd_written = 0;
    for (const AmdLayoutFile& f : amd_layout) {
        print(out, "   %s: %llu AMD %s,", f.name.c_str(), static_cast<unsigned long long>(f.patches.size()),
              f.patches.size() == 1 ? "patch" : "patches");
        for (std::size_t i : f.patches) {
            print(out, " %08X", amd.patches[i].header.patch_id);
        }
        out << '\n';
        amd_written += f.patches.size();
    }
    const std::size_t total = layout.size() + amd_layout.size();
    print(out, "   %llu %s written, ", static_cast<unsigned long long>(total), total == 1 ? "file" : "files");
    if (written != 0 || amd_written == 0) {
        print(out, "%llu %s", static_cast<unsigned long long>(written), written == 1 ? "update" : "updates");
    }
    if (amd_written != 0) {
        print(out, "%s%llu AMD %s", written != 0 ? " and " : "", static_cast<unsigned long long>(amd_written),
              amd_written == 1 ? "patch" : "patches");
    }
    out << " in them\n";
    return ExitStatus::done;
}

}  // namespace tarnwick
