#include <cstdio>
#include <ostream>
#include <string>

#include "commands/commands.h"
#include "commands/print.h"
#include "edit/plan.h"

namespace tarnwick {

namespace {

unsigned long long ull(std::size_t n) { return static_cast<unsigned long long>(n); }

constexpr const char* update_rule = " +-------------------------------------------------------------------------+\n";

std::string hex8(std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", v);
    return text;
}

std::string_view status_word(RowStatus s) {
    switch (s) {
        case RowStatus::updated: return "UPDATED";
        case RowStatus::latest: return "LATEST";
        case RowStatus::unknown: return "UNKNOWN";
        case RowStatus::added: return "ADDED";
        case RowStatus::removed: return "REMOVED";
    }
    return "?";
}

std::string_view left_out_reason(LeftOut::Why why) {
    switch (why) {
        case LeftOut::Why::has_it: return "the image has it";
        case LeftOut::Why::has_newer: return "the image has a newer one";
        case LeftOut::Why::newer_given: return "another update of the files replaces the same ones";
        case LeftOut::Why::served: return "the image serves its processors on more platforms";
    }
    return "?";
}

// -remove shows only what it took out; the others show every update.
void print_table(const UpdatePlan& plan, std::ostream& out) {
    out << update_rule << " |No|  Offset  |   CPUID  | Platform |  Version |   New    |    Status     |\n"
        << " +--+----------+----------+----------+----------+----------+---------------+\n";
    std::size_t row = 0;
    for (const UpdateRow& r : plan.rows) {
        if (plan.change == Change::remove && r.present()) {
            continue;
        }
        const std::string_view word = status_word(r.status);
        const std::string now = r.present() ? hex8(read_le32(r.bytes, 4)) : "--------";
        print(out, " |%02llu| %08llX | %08X |    %02X    | %08X | %s | %-13.*s |\n",
              static_cast<unsigned long long>(++row), static_cast<unsigned long long>(r.new_offset),
              r.header.processor_signature, r.header.processor_flags & 0xFFu, r.header.update_revision, now.c_str(),
              static_cast<int>(word.size()), word.data());
    }
    out << update_rule;
}

void print_left_out(const UpdatePlan& plan, std::ostream& out) {
    for (const LeftOut& l : plan.left_out) {
        const std::string_view why = left_out_reason(l.why);
        print(out, "   Left out: CPUID %08X, platform %02X, version %08X: %.*s\n", l.header.processor_signature,
              l.header.processor_flags & 0xFFu, l.header.update_revision, static_cast<int>(why.size()), why.data());
    }
}

void print_files(const UpdatePlan& plan, std::ostream& out) {
    for (const MicrocodeFileChange& c : plan.files) {
        print(out, "   Microcode file at 0x%08llX (volume at 0x%08llX): 0x%llX -> 0x%llX bytes",
              static_cast<unsigned long long>(c.offset), static_cast<unsigned long long>(c.volume_offset),
              static_cast<unsigned long long>(c.old_size), static_cast<unsigned long long>(c.new_size));
        switch (c.room) {
            case MicrocodeFileChange::Room::kept:
                out << ", its size kept\n";
                break;
            case MicrocodeFileChange::Room::pad:
                print(out, "; the pad file after it gave 0x%llX bytes (0x%llX -> 0x%llX, now at 0x%08llX)\n",
                      static_cast<unsigned long long>(c.pad_old_size - c.pad_new_size),
                      static_cast<unsigned long long>(c.pad_old_size), static_cast<unsigned long long>(c.pad_new_size),
                      static_cast<unsigned long long>(c.pad_new_offset));
                break;
            case MicrocodeFileChange::Room::free_space:
                print(out, "; its volume's free space gave 0x%llX bytes\n",
                      static_cast<unsigned long long>(c.new_size - c.old_size));
                break;
            case MicrocodeFileChange::Room::moved:
                out << "; the files after it moved";
                if (c.taken_pad != 0) {
                    print(out, ", and it took the pad file after it (0x%llX bytes)", ull(c.taken_pad));
                }
                out << '\n';
                break;
        }
    }
    // What moved, before anyone flashes it.
    for (const MicrocodeFileChange& c : plan.files) {
        if (c.room != MicrocodeFileChange::Room::moved) {
            continue;
        }
        print(out, "   Volume at 0x%08llX: %llu files after the microcode file moved by 0x%llX (first at 0x%08llX, now at "
                   "0x%08llX); free space 0x%llX -> 0x%llX",
              ull(c.volume_offset), ull(c.moved.size()), ull(c.shift),
              ull(c.moved_first), ull(c.moved_first + c.shift), ull(c.free_before), ull(c.free_before - c.shift));
        if (c.gap_pad) {
            print(out, "; a pad file of 0x%llX bytes at 0x%08llX", ull(c.gap_pad_size), ull(*c.gap_pad));
        }
        out << '\n';
    }
}

const char* entries(std::size_t n) { return n == 1 ? "entry" : "entries"; }

void print_fit(const UpdatePlan& plan, std::ostream& out) {
    if (!plan.has_fit) {
        return;
    }
    switch (plan.change) {
        case Change::update:
            print(out, "   FIT: %llu %s re-pointed\n", ull(plan.fit_repointed), entries(plan.fit_repointed));
            break;
        case Change::add:
            print(out, "   FIT: %llu %s added, %llu re-pointed\n", ull(plan.fit_added), entries(plan.fit_added),
                  ull(plan.fit_repointed));
            break;
        case Change::remove:
            print(out, "   FIT: %llu %s dropped, %llu re-pointed\n", ull(plan.fit_dropped), entries(plan.fit_dropped),
                  ull(plan.fit_repointed));
            break;
    }
}

void print_guard(const UpdatePlan& plan, std::ostream& out) {
    switch (plan.guard) {
        case UpdatePlan::Guard::none:
            break;
        case UpdatePlan::Guard::hollow:
            out << "   Boot Guard: the FIT's Boot Guard entries name no manifest; it isn't provisioned in this image\n";
            break;
        case UpdatePlan::Guard::verified:
            print(out, "   Boot Guard: manifests present; no byte that Boot Guard verifies changed (%llu protected %s)\n",
                  ull(plan.protected_ranges.size()), plan.protected_ranges.size() == 1 ? "range" : "ranges");
            break;
    }
}

void print_counts(const UpdatePlan& plan, const std::string& new_name, std::ostream& out) {
    const std::size_t updated = plan.count(RowStatus::updated);
    const std::size_t added = plan.count(RowStatus::added);
    const std::size_t removed = plan.count(RowStatus::removed);
    const std::size_t others = plan.rows.size() - updated - added - removed;
    switch (plan.change) {
        case Change::update:
            print(out, "   %llu updated, %llu unchanged: written to %s\n", ull(updated), ull(others), new_name.c_str());
            break;
        case Change::add:
            print(out, "   %llu added, %llu updated, %llu unchanged: written to %s\n", ull(added), ull(updated),
                  ull(others), new_name.c_str());
            break;
        case Change::remove:
            print(out, "   %llu removed, %llu kept: written to %s\n", ull(removed), ull(others), new_name.c_str());
            break;
    }
}

std::string signatures_text(std::span<const std::uint32_t> signatures) {
    std::string text;
    for (const std::uint32_t s : signatures) {
        text += (text.empty() ? "" : ", ") + hex8(s);
    }
    return text;
}

void print_nothing(const UpdatePlan& plan, std::span<const std::uint32_t> signatures, std::ostream& out) {
    switch (plan.change) {
        case Change::update:
            print(out, "   Nothing newer: the source has no newer update for any of the %llu %s; nothing was written.\n",
                  ull(plan.rows.size()), plan.rows.size() == 1 ? "update" : "updates");
            break;
        case Change::add:
            if (plan.left_out.empty()) {
                out << "   Nothing to add: the files hold no intact update; nothing was written.\n";
                break;
            }
            print(out, "   Nothing to add: the image has each update of the files, or a newer one, for %llu %s; "
                       "nothing was written.\n",
                  ull(plan.left_out.size()), plan.left_out.size() == 1 ? "update" : "updates");
            break;
        case Change::remove:
            print(out, "   Nothing to remove: no update of the image has CPUID %s; nothing was written.\n",
                  signatures_text(signatures).c_str());
            break;
    }
}

// Writes what `plan` says, checked as read back, and prints it.
ExitStatus carry_out(Image image, const UpdatePlan& plan, std::span<const std::uint32_t> signatures,
                     const std::string& new_name, ImageSink& sink, std::ostream& out) {
    switch (plan.outcome) {
        case UpdatePlan::Outcome::no_update:
            out << "   No update in the file; nothing was written.\n";
            return ExitStatus::not_found;
        case UpdatePlan::Outcome::nothing_newer:
            print_nothing(plan, signatures, out);
            return ExitStatus::not_found;
        case UpdatePlan::Outcome::damaged:
            out << "   Damaged: " << plan.reason << "; nothing was written.\n";
            return ExitStatus::damaged;
        case UpdatePlan::Outcome::refused:
            out << "   Refused: " << plan.reason << "; nothing was written.\n";
            return ExitStatus::refused;
        case UpdatePlan::Outcome::planned:
            break;
    }
    // The new image is checked as it was written, read back from its file.
    const ImageSink::Outcome written = sink.write(
        new_image_pieces(image, plan), [&](Image bytes) { return check_updated(image, bytes, plan); });
    switch (written.kind) {
        case ImageSink::Outcome::Kind::written:
            break;
        case ImageSink::Outcome::Kind::failed:
            out << "   " << written.message << '\n';
            return ExitStatus::output_failed;
        case ImageSink::Outcome::Kind::check_failed:
            out << "   Refused: internal check failed: " << written.message << "; nothing was written.\n";
            return ExitStatus::refused;
    }
    print_table(plan, out);
    print_left_out(plan, out);
    print_files(plan, out);
    print_fit(plan, out);
    print_guard(plan, out);
    print_counts(plan, new_name, out);
    return ExitStatus::done;
}

}  // namespace

ExitStatus run_update(Image image, SourceReader& sources, const std::string& new_name, ImageSink& sink,
                      std::ostream& out) {
    return carry_out(image, plan_update(image, sources), {}, new_name, sink, out);
}

ExitStatus run_add(Image image, std::span<const SourceUpdate> sources, const std::string& new_name, ImageSink& sink,
                   std::ostream& out) {
    return carry_out(image, plan_add(image, sources), {}, new_name, sink, out);
}

ExitStatus run_remove(Image image, std::span<const std::uint32_t> signatures, const std::string& new_name,
                      ImageSink& sink, std::ostream& out) {
    return carry_out(image, plan_remove(image, signatures), signatures, new_name, sink, out);
}

}  // namespace tarnwick
