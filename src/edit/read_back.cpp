// The new image as written, and the check of it as read back: what the
// tool hands out must be what it planned, and sound as an image.

#include <algorithm>
#include <map>

#include "edit/steps.h"
#include "flash/fit.h"

namespace tarnwick {

namespace {

using edit::hex;

std::optional<std::string> rows_in_place(Image new_image, const UpdatePlan& plan) {
    UpdateChecker checker(new_image);
    for (const UpdateRow& r : plan.rows) {
        if (!r.present()) {
            continue;
        }
        if (!fits(new_image, r.new_offset, r.bytes.size()) ||
            !std::equal(r.bytes.begin(), r.bytes.end(), new_image.begin() + static_cast<std::ptrdiff_t>(r.new_offset))) {
            return "the update for " + hex(r.header.processor_signature) + " is not at " + hex(r.new_offset);
        }
        if (checker.check(r.new_offset).status != UpdateStatus::ok) {
            return "the update at " + hex(r.new_offset) + " does not pass the checks";
        }
    }
    return std::nullopt;
}

// Where [from, to) of the two images differ first, if they do: compared
// whole first (memcmp's speed), and looked into only where they differ.
std::optional<std::size_t> first_difference(Image a, Image b, std::size_t from, std::size_t to) {
    const auto begin = a.begin() + static_cast<std::ptrdiff_t>(from);
    const auto end = a.begin() + static_cast<std::ptrdiff_t>(to);
    const auto other = b.begin() + static_cast<std::ptrdiff_t>(from);
    if (std::equal(begin, end, other)) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(std::mismatch(begin, end, other).first - a.begin());
}

// The patches' bytes are there, and every other byte is the old image's:
// compared a run at a time.
std::optional<std::string> only_patches_changed(Image old_image, Image new_image, const UpdatePlan& plan) {
    std::size_t from = 0;
    std::optional<std::size_t> changed;
    for (const Patch& p : plan.patches) {  // ascending and apart
        if (!fits(new_image, p.offset, p.bytes.size()) ||
            !std::equal(p.bytes.begin(), p.bytes.end(), new_image.begin() + static_cast<std::ptrdiff_t>(p.offset))) {
            return "the bytes written at " + hex(p.offset) + " are not the planned ones";
        }
        if (p.offset > from && (changed = first_difference(old_image, new_image, from, p.offset))) {
            break;
        }
        from = std::max(from, p.offset + p.bytes.size());
    }
    if (changed || (changed = first_difference(old_image, new_image, from, old_image.size()))) {
        return "a byte outside the microcode files, their pads and the FIT changed, at " + hex(*changed);
    }
    return std::nullopt;
}

// Read as a microcode file again, each holds its updates where planned,
// its MPDT record last, and its pad where planned.
std::optional<std::string> files_read_back(Image old_image, Image new_image, const UpdatePlan& plan,
                                           const std::map<std::size_t, const FfsFile*>& now) {
    for (const MicrocodeFileChange& c : plan.files) {
        const auto f = now.find(c.offset);
        if (f == now.end() || f->second->size != c.new_size) {
            return "the microcode file at " + hex(c.offset) + " is not there with its new size";
        }
        if (c.room == MicrocodeFileChange::Room::pad) {
            const auto pad = now.find(c.pad_new_offset);
            if (pad == now.end() || pad->second->type != ffs_type_pad || pad->second->size != c.pad_new_size) {
                return "the pad file after " + hex(c.offset) + " is not at " + hex(c.pad_new_offset);
            }
        }
        UpdateChecker again(new_image);
        const edit::Parsed parsed =
            edit::parse_updates(new_image, f->second->body(), f->second->end(), true, again, "");
        if (!parsed.damaged.empty() || !parsed.refused.empty()) {
            return "the microcode file at " + hex(c.offset) + " reads back wrong: " + parsed.damaged + parsed.refused;
        }
        std::size_t next = c.rows_begin;
        for (const edit::Found& u : parsed.updates) {
            while (next < c.rows_end && !plan.rows[next].present()) {
                ++next;
            }
            if (next == c.rows_end || plan.rows[next].new_offset != u.offset) {
                return "the microcode file at " + hex(c.offset) + " holds an update at " + hex(u.offset) +
                       " that was not planned";
            }
            ++next;
        }
        while (next < c.rows_end && !plan.rows[next].present()) {
            ++next;
        }
        if (next != c.rows_end) {
            return "the microcode file at " + hex(c.offset) + " holds fewer updates than planned";
        }
        if (c.mpdt_old.has_value() != parsed.mpdt.has_value() || (parsed.mpdt && *parsed.mpdt != *c.mpdt_new) ||
            (parsed.mpdt && !std::equal(old_image.begin() + static_cast<std::ptrdiff_t>(*c.mpdt_old),
                                        old_image.begin() + static_cast<std::ptrdiff_t>(*c.mpdt_old + edit::mpdt_bytes),
                                        new_image.begin() + static_cast<std::ptrdiff_t>(*parsed.mpdt)))) {
            return "the MPDT record of the microcode file at " + hex(c.offset) + " is not its last 16 bytes as it was";
        }
    }
    return std::nullopt;
}

// Where files moved to make room: each at its old offset plus the shift,
// byte for byte, in the same volume and order, its alignment kept; the gap
// empty or one pad of 0xFF; the free space starting that much later.
std::optional<std::string> moves_read_back(Image old_image, Image new_image, const MicrocodeFileChange& c,
                                           const VolumeScan& scan) {
    const std::string where = "the volume at " + hex(c.volume_offset);
    const auto v = std::find_if(scan.volumes.begin(), scan.volumes.end(),
                                [&](const FirmwareVolume& w) { return w.offset == c.volume_offset; });
    if (v == scan.volumes.end()) {
        return where + " is gone";
    }
    const auto at = std::find_if(v->files.begin(), v->files.end(), [&](const FfsFile& f) { return f.offset == c.offset; });
    if (at == v->files.end()) {
        return "the microcode file at " + hex(c.offset) + " is not in " + where;
    }
    auto next = at + 1;
    if (c.gap_pad) {
        if (next == v->files.end() || next->offset != *c.gap_pad || next->type != ffs_type_pad ||
            next->size != c.gap_pad_size || !all_erased(new_image.subspan(next->body(), next->end() - next->body()))) {
            return "the gap in " + where + " is not one pad of 0xFF at " + hex(*c.gap_pad);
        }
        ++next;
    }
    for (const MicrocodeFileChange::Moved& m : c.moved) {
        const std::size_t to = m.offset + c.shift;
        if (next == v->files.end() || next->offset != to || next->size != m.size ||
            !std::equal(old_image.begin() + static_cast<std::ptrdiff_t>(m.offset),
                        old_image.begin() + static_cast<std::ptrdiff_t>(m.offset + m.size),
                        new_image.begin() + static_cast<std::ptrdiff_t>(to))) {
            return "the file from " + hex(m.offset) + " is not at " + hex(to) + " in " + where + " as it was";
        }
        if ((m.offset + ffs_header_size - v->offset) % m.alignment != (to + ffs_header_size - v->offset) % m.alignment) {
            return "the file now at " + hex(to) + " lost its alignment";
        }
        ++next;
    }
    if (next != v->files.end() || !v->files_whole || v->offset + v->files_end != c.free_start + c.shift) {
        return "the free space of " + where + " does not start at " + hex(c.free_start + c.shift);
    }
    return std::nullopt;
}

std::optional<std::string> fit_read_back(const FitCheck& fit, const UpdatePlan& plan) {
    if (fit.pointer.outcome != FitPointer::Outcome::found || !fit.errors.empty()) {
        return "the FIT does not pass -fitcheck" + (fit.errors.empty() ? std::string() : ": " + fit.errors.front());
    }
    if (fit.microcode.size() != plan.fit_targets.size()) {
        return std::string("the FIT has another number of microcode entries");
    }
    for (std::size_t i = 0; i < fit.microcode.size(); ++i) {
        const FitMicrocode& m = fit.microcode[i];
        if (m.offset != plan.fit_targets[i] || m.slot != FitMicrocode::Slot::update || m.status != UpdateStatus::ok) {
            return "FIT entry " + std::to_string(m.index) + " does not name the intact update planned for it";
        }
    }
    return std::nullopt;
}

// What Boot Guard reads in the new image is what it read in the old: the
// same state, the same protected ranges, and not a byte of them changed.
std::optional<std::string> guard_read_back(Image old_image, Image new_image, const UpdatePlan& plan,
                                           const FitCheck& fit, const VolumeScan& scan) {
    const BootGuard now = read_boot_guard(new_image, fit, scan);
    const ManifestState expected =
        plan.guard == UpdatePlan::Guard::verified ? ManifestState::present : ManifestState::absent;
    if (!now.named() || now.state != expected) {
        return "the FIT's Boot Guard entries read back " +
               (now.named() ? "as " + std::string(manifest_state_word(now.state)) : std::string("as gone"));
    }
    const std::vector<ProtectedRange> ranges = protected_ranges(now, new_image.size());
    const bool same = std::equal(ranges.begin(), ranges.end(), plan.protected_ranges.begin(), plan.protected_ranges.end(),
                                 [](const ProtectedRange& a, const ProtectedRange& b) {
                                     return a.begin == b.begin && a.end == b.end && a.vendor == b.vendor;
                                 });
    if (!same) {
        return std::string("the ranges that Boot Guard verifies read back otherwise");
    }
    for (const auto& [from, to] : range_union(ranges)) {
        if (const std::optional<std::size_t> at = first_difference(old_image, new_image, from, to)) {
            return "a byte that Boot Guard verifies changed, at " + hex(*at);
        }
    }
    return std::nullopt;
}

}  // namespace

std::vector<Image> new_image_pieces(Image image, const UpdatePlan& plan) {
    if (plan.container) {
        return {Image(plan.patches.front().bytes)};
    }
    std::vector<Image> pieces;
    std::size_t from = 0;
    for (const Patch& p : plan.patches) {  // ascending and apart
        if (p.offset > from) {
            pieces.push_back(image.subspan(from, p.offset - from));
        }
        pieces.push_back(p.bytes);
        from = p.offset + p.bytes.size();
    }
    if (from < image.size()) {
        pieces.push_back(image.subspan(from));
    }
    return pieces;
}

std::vector<std::uint8_t> apply_update(Image image, const UpdatePlan& plan) {
    std::vector<std::uint8_t> out;
    for (const Image piece : new_image_pieces(image, plan)) {
        out.insert(out.end(), piece.begin(), piece.end());
    }
    return out;
}

std::optional<std::string> check_updated(Image old_image, Image new_image, const UpdatePlan& plan) {
    if (std::optional<std::string> why = rows_in_place(new_image, plan)) {
        return why;
    }
    if (plan.container) {
        if (new_image.size() != plan.new_size) {
            return std::string("the container's size is wrong");
        }
        return only_patches_changed(plan.patches.front().bytes, new_image, plan);
    }
    if (new_image.size() != old_image.size()) {
        return std::string("the image's size changed");
    }
    if (std::optional<std::string> why = only_patches_changed(old_image, new_image, plan)) {
        return why;
    }
    // Every file readable with valid checksums, unless it was broken already
    // (where it was, or where it moved).
    const VolumeScan new_scan = find_volumes(new_image);
    const std::map<std::size_t, bool> as_planned(plan.files_before.begin(), plan.files_before.end());
    std::map<std::size_t, bool> was_ok = as_planned;
    for (const MicrocodeFileChange& c : plan.files) {
        for (const MicrocodeFileChange::Moved& m : c.moved) {
            was_ok.erase(m.offset);
        }
    }
    for (const MicrocodeFileChange& c : plan.files) {
        for (const MicrocodeFileChange::Moved& m : c.moved) {
            const auto old = as_planned.find(m.offset);
            was_ok[m.offset + c.shift] = old == as_planned.end() || old->second;
        }
    }
    std::map<std::size_t, const FfsFile*> now;
    for (const FirmwareVolume& v : new_scan.volumes) {
        for (const FfsFile& f : v.files) {
            now[f.offset] = &f;
            const auto before = was_ok.find(f.offset);
            if (!(f.header_checksum_ok && f.file_checksum_ok) && (before == was_ok.end() || before->second)) {
                return "the file at " + hex(f.offset) + " has a wrong checksum";
            }
        }
    }
    if (std::optional<std::string> why = files_read_back(old_image, new_image, plan, now)) {
        return why;
    }
    for (const MicrocodeFileChange& c : plan.files) {
        if (c.room == MicrocodeFileChange::Room::moved) {
            if (std::optional<std::string> why = moves_read_back(old_image, new_image, c, new_scan)) {
                return why;
            }
        }
    }
    if (!plan.has_fit) {
        return std::nullopt;
    }
    const FitCheck fit = check_fit(new_image);
    if (std::optional<std::string> why = fit_read_back(fit, plan)) {
        return why;
    }
    return plan.guard == UpdatePlan::Guard::none ? std::nullopt
                                                 : guard_read_back(old_image, new_image, plan, fit, new_scan);
}

}  // namespace tarnwick
