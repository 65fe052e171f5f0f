#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "intel/loader_layout.h"

namespace tarnwick {

// Intel's microcode release notes, as Intel writes them (typos included):
// each release, the security advisories it names, and the processors it
// updates, to which revision. Distributions install them beside the
// microcode.

struct Release {
    std::string name;                     // as the brackets hold it: "microcode-20230808"
    std::vector<std::string> advisories;  // "INTEL-SA-00088", each once, in order
};

// One table row that counts: a processor and platforms, and its revision.
struct ReleaseRow {
    std::uint32_t signature = 0;
    std::uint8_t mask = 0;  // the platforms, PI
    std::uint32_t revision = 0;
    std::size_t release = 0;  // index into ReleaseNotes::releases
};

struct ReleaseNotes {
    std::vector<Release> releases;  // newest first, as the notes run
    std::vector<ReleaseRow> rows;   // in the notes' order
    // Row indexes for each signature, in the notes' order.
    std::unordered_map<std::uint32_t, std::vector<std::size_t>> by_signature;
};

// Reads the notes' text. Releases begin at lines that start with
// "## [microcode-"; a release's advisories are the INTEL-SA- numbers of its
// text before its first table section; its rows those of its New
// Platforms, Updated Platforms and New Disclosures tables.
ReleaseNotes read_release_notes(std::string_view text);

// The signature an F-M-S such as "06-8e-09" names, and the mask after its
// "/"; nothing where the text is no such thing.
std::optional<std::pair<std::uint32_t, std::uint8_t>> parse_fms(std::string_view text);

// How one update of an image stands against the notes.
struct AdvisoryJudgement {
    bool named = false;           // some row names it
    std::uint32_t newest = 0;     // the first naming row's revision
    std::vector<std::size_t> missed;  // releases, oldest first
};

// Judges an update of `revision` that serves `processors` (its own
// signature and flags, then its extended table's): a release is missed when
// it names advisories and a row of it names the update with a revision,
// capped at the newest, above the update's.
AdvisoryJudgement judge_update(const ReleaseNotes& notes, std::span<const ServedProcessor> processors,
                               std::uint32_t revision);

// What judging `updates` costs: the rows it looks at. The caller bounds it
// by the input's size, which real notes and images stay far below.
std::uint64_t judging_cost(const ReleaseNotes& notes, std::span<const LayoutUpdate> updates);

}  // namespace tarnwick
