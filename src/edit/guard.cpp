// Boot Guard and a change: the processor's start-up code hashes the IBB
// segments that the boot policy manifest lists (and AMI's start-up code the
// ranges of its own file) before the firmware runs, so a change may write
// anywhere but there. What it compares is the bytes, not the patches' extent:
// a patch that writes a byte as it was changes nothing that is verified.

#include <algorithm>

#include "edit/steps.h"

namespace tarnwick::edit {

namespace {

// The first byte in [from, to) that `p` changes, if any.
std::optional<std::size_t> changed_in(Image image, const Patch& p, std::size_t from, std::size_t to) {
    from = std::max(from, p.offset);
    to = std::min(to, p.offset + p.bytes.size());
    for (std::size_t at = from; at < to; ++at) {
        if (image[at] != p.bytes[at - p.offset]) {
            return at;
        }
    }
    return std::nullopt;
}

// What holds `at` in the image as it was: the FIT, or the innermost file.
std::string holder(std::size_t at, const UpdatePlan& plan, const VolumeScan& scan, const FitCheck& fit) {
    if (fit.pointer.outcome == FitPointer::Outcome::found && at >= fit.pointer.offset &&
        at - fit.pointer.offset < fit.entries.size() * fit_entry_size) {
        return "the FIT at " + hex(fit.pointer.offset);
    }
    const FfsFile* inner = nullptr;
    const FirmwareVolume* volume = nullptr;
    for (const FirmwareVolume& v : scan.volumes) {
        if (at < v.offset || at >= v.end()) {
            continue;
        }
        volume = &v;
        for (const FfsFile& f : v.files) {
            if (at >= f.offset && at < f.end() && (inner == nullptr || f.offset >= inner->offset)) {
                inner = &f;
            }
        }
    }
    if (inner != nullptr) {
        for (const MicrocodeFileChange& c : plan.files) {
            if (c.offset == inner->offset) {
                return "the microcode file at " + hex(inner->offset);
            }
        }
        return std::string(inner->type == ffs_type_pad ? "the pad file at " : "the file at ") + hex(inner->offset);
    }
    if (volume != nullptr) {
        return "the free space of the volume at " + hex(volume->offset);
    }
    return "bytes outside every firmware volume";
}

std::string range_words(const ProtectedRange& r) {
    const std::string span = hex(r.base) + "-" + hex(std::uint64_t{r.base} + r.size - 1);
    return r.vendor ? "the range " + span + " that AMI's protected-range file lists"
                    : "the IBB segment " + span + " that the boot policy manifest hashes";
}

}  // namespace

std::optional<std::string> protected_change(Image image, const UpdatePlan& plan, const VolumeScan& scan,
                                            const FitCheck& fit) {
    const std::vector<std::pair<std::size_t, std::size_t>> spans = range_union(plan.protected_ranges);
    std::size_t first = 0;  // the first span that may still meet a patch
    for (const Patch& p : plan.patches) {
        const std::size_t end = p.offset + p.bytes.size();
        while (first < spans.size() && spans[first].second <= p.offset) {
            ++first;
        }
        for (std::size_t s = first; s < spans.size() && spans[s].first < end; ++s) {
            const std::optional<std::size_t> at = changed_in(image, p, spans[s].first, spans[s].second);
            if (!at) {
                continue;
            }
            const auto range = std::find_if(plan.protected_ranges.begin(), plan.protected_ranges.end(),
                                            [&](const ProtectedRange& r) { return *at >= r.begin && *at < r.end; });
            return "the change writes to " + holder(*at, plan, scan, fit) + " (first at " + hex(*at) + "), inside " +
                   range_words(*range) + ": a board that enforces Boot Guard would not start";
        }
    }
    return std::nullopt;
}

}  // namespace tarnwick::edit
