#include <ostream>
#include <string>

#include "commands/commands.h"
#include "commands/print.h"
#include "edit/update_plan.h"

namespace tarnwick {

namespace {

constexpr const char* update_rule = " +-------------------------------------------------------------------------+\n";

std::string_view freshness_word(Freshness f) {
    switch (f) {
        case Freshness::updated: return "UPDATED";
        case Freshness::latest: return "LATEST";
        case Freshness::unknown: return "UNKNOWN";
    }
    return "?";
}

void print_table(const UpdatePlan& plan, std::ostream& out) {
    out << update_rule << " |No|  Offset  |   CPUID  | Platform |  Version |   New    |    Status     |\n"
        << " +--+----------+----------+----------+----------+----------+---------------+\n";
    std::size_t row = 0;
    for (const UpdateRow& r : plan.rows) {
        const std::string_view word = freshness_word(r.freshness);
        print(out, " |%02llu| %08llX | %08X |    %02X    | %08X | %08X | %-13.*s |\n",
              static_cast<unsigned long long>(++row), static_cast<unsigned long long>(r.new_offset),
              r.header.processor_signature, r.header.processor_flags & 0xFFu, r.header.update_revision,
              read_le32(r.bytes, 4), static_cast<int>(word.size()), word.data());
    }
    out << update_rule;
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
        }
    }
}

}  // namespace

ExitStatus run_update(Image image, std::span<const SourceUpdate> sources, const std::string& new_name, ImageSink& sink,
                      std::ostream& out) {
    const UpdatePlan plan = plan_update(image, sources);
    switch (plan.outcome) {
        case UpdatePlan::Outcome::no_update:
            out << "   No update in the file; nothing was written.\n";
            return ExitStatus::not_found;
        case UpdatePlan::Outcome::nothing_newer:
            print(out, "   Nothing newer: the source has no newer update for any of the %llu %s; nothing was written.\n",
                  static_cast<unsigned long long>(plan.rows.size()), plan.rows.size() == 1 ? "update" : "updates");
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
    print_files(plan, out);
    if (plan.has_fit) {
        print(out, "   FIT: %llu %s re-pointed\n", static_cast<unsigned long long>(plan.fit_repointed),
              plan.fit_repointed == 1 ? "entry" : "entries");
    }
    const std::size_t updated = plan.updated();
    print(out, "   %llu updated, %llu unchanged: written to %s\n", static_cast<unsigned long long>(updated),
          static_cast<unsigned long long>(plan.rows.size() - updated), new_name.c_str());
    return ExitStatus::done;
}

}  // namespace tarnwick
