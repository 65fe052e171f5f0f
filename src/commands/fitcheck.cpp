#include <optional>
#include <ostream>
#include <string>

#include "commands/commands.h"
#include "bootguard/boot_guard.h"
#include "commands/print.h"
#include "flash/fit.h"

namespace tarnwick {

namespace {

unsigned long long ull(std::uint64_t v) { return static_cast<unsigned long long>(v); }

void print_findings(const FitCheck& c, const std::optional<std::string>& guard_error, std::ostream& out) {
    for (const std::string& e : c.errors) {
        out << "   ERROR: " << e << '\n';
    }
    if (guard_error) {
        out << "   ERROR: " << *guard_error << '\n';
    }
    for (const std::string& w : c.warnings) {
        out << "   WARNING: " << w << '\n';
    }
}

// Each manifest the FIT names, and the segments whose hash it holds.
void print_boot_guard(const BootGuard& guard, std::ostream& out) {
    if (!guard.named()) {
        return;
    }
    const std::string_view state = manifest_state_word(guard.state);
    print(out, "  Boot Guard: %.*s%s\n", static_cast<int>(state.size()), state.data(),
          guard.state == ManifestState::absent ? " (the entries name no manifest)" : "");
    for (const Manifest& m : guard.manifests) {
        print(out, "  %02llu  %-20s  ", ull(m.fit_index), std::string(fit_type_name(m.type)).c_str());
        if (m.offset) {
            print(out, "offset 0x%08llX  ", ull(*m.offset));
        } else {
            out << "offset -           ";
        }
        const std::string_view word = manifest_state_word(m.state);
        if (m.state == ManifestState::present) {
            print(out, "version 0x%02X  ", m.version);
        }
        out << word << '\n';
    }
    for (const IbbSegment& s : guard.ibb()) {
        if (s.hashed) {
            print(out, "  IBB 0x%08X  size 0x%08X\n", s.base, s.size);
        }
    }
}

}  // namespace

ExitStatus run_fitcheck(Image image, std::ostream& out) {
    const FitCheck c = check_fit(image);
    const std::size_t pointer_at = image.size() >= fit_pointer_from_end ? image.size() - fit_pointer_from_end : 0;
    switch (c.pointer.outcome) {
        case FitPointer::Outcome::too_small:
            out << "   No FIT: the file is smaller than 0x40 bytes and holds no FIT pointer.\n";
            break;
        case FitPointer::Outcome::outside:
            print(out, "   No FIT: the pointer at offset 0x%08llX, 0x%08llX, maps outside the file.\n", ull(pointer_at),
                  ull(c.pointer.pointer));
            break;
        case FitPointer::Outcome::not_a_fit:
            print(out, "   No FIT: the pointer at offset 0x%08llX, 0x%08llX, maps to offset 0x%08llX, which holds no "
                       "_FIT_ signature.\n",
                  ull(pointer_at), ull(c.pointer.pointer), ull(c.pointer.offset));
            break;
        case FitPointer::Outcome::found:
            break;
    }
    if (c.pointer.outcome != FitPointer::Outcome::found) {
        print_findings(c, std::nullopt, out);
        return ExitStatus::not_found;
    }

    print(out, " FIT at offset 0x%08llX (pointer 0x%08llX): %u entries, version 0x%04X, %s\n", ull(c.pointer.offset),
          ull(c.pointer.pointer), c.count, c.version, c.checksum_valid ? "checksum kept" : "no checksum");
    out << "  No  Type                         Address             Size      Version\n";
    for (std::size_t i = 0; i < c.entries.size(); ++i) {
        const FitEntry& e = c.entries[i];
        print(out, "  %02llu  %02X %-24s  0x%016llX  0x%06X  0x%04X\n", ull(i), e.type,
              std::string(fit_type_name(e.type)).c_str(), ull(e.address), e.size, e.version);
    }
    if (!c.microcode.empty()) {
        out << "  Microcode\n";
    }
    for (const FitMicrocode& m : c.microcode) {
        print(out, "  %02llu  0x%08llX  ", ull(m.index), ull(m.address));
        if (m.offset) {
            print(out, "offset 0x%08llX  ", ull(*m.offset));
        } else {
            out << "offset -           ";
        }
        if (m.slot == FitMicrocode::Slot::update) {
            print(out, "CPUID %08X  Version %08X  %s\n", m.header.processor_signature, m.header.update_revision,
                  std::string(status_word(m.status)).c_str());
        } else {
            out << slot_word(m.slot) << '\n';
        }
    }
    const BootGuard guard = read_boot_guard(image, c);
    print_boot_guard(guard, out);
    const std::optional<std::string> guard_error = boot_guard_error(guard);
    print_findings(c, guard_error, out);
    const std::size_t errors = c.errors.size() + (guard_error ? 1 : 0);
    print(out, "   %s: %llu errors, %llu warnings\n", errors == 0 ? "FIT valid" : "FIT invalid", ull(errors),
          ull(c.warnings.size()));
    return errors == 0 ? ExitStatus::done : ExitStatus::damaged;
}

}  // namespace tarnwick
