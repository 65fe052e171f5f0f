#include <ostream>
#include <string>
#include <vector>

#include "advisories/release_notes.h"
#include "commands/commands.h"
#include "commands/print.h"

namespace tarnwick {

namespace {

// Bytes a release takes in a line: "name (adv, adv)" and the ", " before it.
std::uint64_t listed_bytes(const Release& r) {
    std::uint64_t n = r.name.size() + 5;
    for (const std::string& a : r.advisories) {
        n += a.size() + 2;
    }
    return n;
}

void print_release(const Release& r, std::ostream& out) {
    out << r.name << " (";
    for (std::size_t i = 0; i < r.advisories.size(); ++i) {
        out << (i == 0 ? "" : ", ") << r.advisories[i];
    }
    out << ')';
}

}  // namespace

ExitStatus run_advisories(Image image, const FoundUpdates& found, const ReleaseNotes& notes, std::uint64_t input_size,
                          std::ostream& out) {
    std::vector<const FoundUpdate*> intact;
    for (const FoundUpdate& u : found.updates) {
        if (u.check.status == UpdateStatus::ok) {
            intact.push_back(&u);
        }
    }
    if (intact.empty()) {
        out << "No intact update in the file.\n";
        return ExitStatus::not_found;
    }
    // Each intact update with its processors; headers that share a table
    // share its entries once.
    const std::vector<LayoutUpdate> served = layout_updates(image, found.updates);
    // Crafted notes and files can ask for work, and output, that grows with
    // their product; real ones stay far below these bounds.
    const std::uint64_t budget = 128 * input_size + (std::uint64_t{1} << 20);
    if (judging_cost(notes, served) > budget) {
        out << "The notes and the file together ask for more work than their size allows; nothing was judged.\n";
        return ExitStatus::damaged;
    }
    std::vector<AdvisoryJudgement> judged;
    std::uint64_t output = 0;
    for (std::size_t i = 0; i < intact.size(); ++i) {
        judged.push_back(judge_update(notes, served[i].processors, intact[i]->header.update_revision));
        output += 64;
        for (const std::size_t r : judged.back().missed) {
            output += listed_bytes(notes.releases[r]);
        }
    }
    if (output > budget) {
        out << "The notes and the file together would print more than their size allows; nothing was judged.\n";
        return ExitStatus::damaged;
    }
    std::size_t missing = 0;
    for (std::size_t i = 0; i < intact.size(); ++i) {
        const MicrocodeUpdateHeader& h = intact[i]->header;
        const AdvisoryJudgement& j = judged[i];
        print(out, "CPUID %08X  platform %02X  version %08X  ", h.processor_signature, h.processor_flags & 0xFFu,
              h.update_revision);
        if (!j.named) {
            out << "not in the notes\n";
            continue;
        }
        print(out, "missed %llu", static_cast<unsigned long long>(j.missed.size()));
        for (std::size_t k = 0; k < j.missed.size(); ++k) {
            out << (k == 0 ? ": " : ", ");
            print_release(notes.releases[j.missed[k]], out);
        }
        out << '\n';
        missing += j.missed.empty() ? 0 : 1;
    }
    print(out, "%llu of %llu updates miss a security release\n", static_cast<unsigned long long>(missing),
          static_cast<unsigned long long>(intact.size()));
    return missing == 0 ? ExitStatus::done : ExitStatus::outdated;
}

}  // namespace tarnwick
