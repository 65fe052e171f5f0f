#include "advisories/release_notes.h"

#include <algorithm>
#include <unordered_set>

namespace tarnwick {

namespace {

constexpr std::string_view release_start = "## [microcode-";
constexpr std::string_view advisory_prefix = "INTEL-SA-";

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Hex digits only, 1 to 8 of them.
std::optional<std::uint32_t> hex_number(std::string_view s) {
    if (s.empty() || s.size() > 8) {
        return std::nullopt;
    }
    std::uint32_t v = 0;
    for (const char c : s) {
        unsigned d = 0;
        if (is_digit(c)) {
            d = static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            d = static_cast<unsigned>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            d = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
        v = v << 4 | d;
    }
    return v;
}

// The sections of a release, as far as the rows go.
enum class Section {
    before_tables,  // its advisories are read here
    rows,           // New Platforms, Updated Platforms, New Disclosures
    other,          // Removed Platforms, and any other heading after the first table section
};

bool row_heading(std::string_view line) {
    return line == "### New Platforms" || line.starts_with("### Updated Platforms") ||
           line == "### New Disclosures Updated in Prior Releases";
}

bool table_heading(std::string_view line) { return row_heading(line) || line.starts_with("### Removed Platforms"); }

void read_advisories(std::string_view line, Release& release, std::unordered_set<std::string>& seen) {
    for (std::size_t at = line.find(advisory_prefix); at != std::string_view::npos;
         at = line.find(advisory_prefix, at + 1)) {
        const std::size_t digits = at + advisory_prefix.size();
        if (digits + 5 > line.size() ||
            !std::all_of(line.begin() + static_cast<std::ptrdiff_t>(digits),
                         line.begin() + static_cast<std::ptrdiff_t>(digits + 5), is_digit)) {
            continue;  // INTEL-SA-NA, or the first half of INTEL-SA-INTEL-SA-
        }
        std::string name(line.substr(at, advisory_prefix.size() + 5));
        if (seen.insert(name).second) {
            release.advisories.push_back(std::move(name));
        }
    }
}

// A row's cells between its bars: "| p | s | 06-8e-09/c0 | old | new | ..."
std::optional<ReleaseRow> read_row(std::string_view line) {
    std::string_view cells[6];
    std::size_t count = 0;
    std::size_t at = line.find('|');
    while (at != std::string_view::npos && count < 6) {
        const std::size_t next = line.find('|', at + 1);
        cells[count++] = trimmed(line.substr(at + 1, next == std::string_view::npos ? std::string_view::npos : next - at - 1));
        at = next;
    }
    if (count < 5) {
        return std::nullopt;
    }
    const std::optional<std::pair<std::uint32_t, std::uint8_t>> processor = parse_fms(cells[2]);
    if (!processor) {
        return std::nullopt;
    }
    std::optional<std::uint32_t> revision = hex_number(cells[4]);
    if (!revision) {
        revision = hex_number(cells[3]);  // New Ver N/A: the Old Ver stands
    }
    if (!revision) {
        return std::nullopt;
    }
    return ReleaseRow{processor->first, processor->second, *revision, 0};
}

}  // namespace

std::optional<std::pair<std::uint32_t, std::uint8_t>> parse_fms(std::string_view text) {
    const std::size_t slash = text.find('/');
    const std::size_t dash1 = text.find('-');
    const std::size_t dash2 = dash1 == std::string_view::npos ? dash1 : text.find('-', dash1 + 1);
    if (slash == std::string_view::npos || dash2 == std::string_view::npos || dash2 > slash) {
        return std::nullopt;
    }
    const std::optional<std::uint32_t> family = hex_number(text.substr(0, dash1));
    const std::optional<std::uint32_t> model = hex_number(text.substr(dash1 + 1, dash2 - dash1 - 1));
    const std::optional<std::uint32_t> stepping = hex_number(text.substr(dash2 + 1, slash - dash2 - 1));
    const std::optional<std::uint32_t> mask = hex_number(text.substr(slash + 1));
    if (!family || !model || !stepping || !mask || *family > 0xFF + 0xF || *model > 0xFF || *stepping > 0xF ||
        *mask > 0xFF) {
        return std::nullopt;
    }
    const std::uint32_t base = std::min<std::uint32_t>(*family, 0xF);
    const std::uint32_t extended = *family - base;
    const std::uint32_t signature = extended << 20 | (*model >> 4) << 16 | base << 8 | (*model & 0xF) << 4 | *stepping;
    return std::pair{signature, static_cast<std::uint8_t>(*mask)};
}

ReleaseNotes read_release_notes(std::string_view text) {
    ReleaseNotes notes;
    Section section = Section::before_tables;
    std::unordered_set<std::string> seen;  // the current release's advisories
    std::size_t from = 0;
    while (from < text.size()) {
        const std::size_t end = std::min(text.find('\n', from), text.size());
        const std::string_view raw = text.substr(from, end - from);
        from = end + 1;
        const std::string_view line = trimmed(raw);
        if (raw.starts_with(release_start)) {
            // The name as the brackets hold it, typos and all.
            const std::size_t close = raw.find(']');
            std::string_view name = raw.substr(4, close == std::string_view::npos ? close : close - 4);
            if (!name.empty() && name.back() == '\r') {
                name.remove_suffix(1);
            }
            notes.releases.push_back({std::string(name), {}});
            section = Section::before_tables;
            seen.clear();
            continue;
        }
        if (notes.releases.empty()) {
            continue;  // what comes before the first release
        }
        if (line.starts_with("### ")) {
            if (row_heading(line)) {
                section = Section::rows;
            } else if (section != Section::before_tables || table_heading(line)) {
                section = Section::other;
            }
            continue;
        }
        if (section == Section::before_tables) {
            read_advisories(raw, notes.releases.back(), seen);
        } else if (section == Section::rows && line.starts_with("|")) {
            if (std::optional<ReleaseRow> row = read_row(line)) {
                row->release = notes.releases.size() - 1;
                notes.by_signature[row->signature].push_back(notes.rows.size());
                notes.rows.push_back(*row);
            }
        }
    }
    return notes;
}

AdvisoryJudgement judge_update(const ReleaseNotes& notes, std::span<const ServedProcessor> processors,
                               std::uint32_t revision) {
    AdvisoryJudgement j;
    std::optional<std::size_t> first;  // the first naming row
    std::unordered_map<std::size_t, std::uint32_t> highest;  // by release: the naming rows' highest revision
    for (const ServedProcessor& p : processors) {
        const auto rows = notes.by_signature.find(p.signature);
        if (rows == notes.by_signature.end()) {
            continue;
        }
        const auto flags = static_cast<std::uint8_t>(p.flags);
        for (const std::size_t i : rows->second) {
            const ReleaseRow& row = notes.rows[i];
            if (flags != 0 && (row.mask & flags) == 0) {
                continue;
            }
            first = std::min(first.value_or(i), i);
            std::uint32_t& most = highest[row.release];
            most = std::max(most, row.revision);
        }
    }
    if (!first) {
        return j;
    }
    j.named = true;
    j.newest = notes.rows[*first].revision;
    for (const auto& [release, most] : highest) {
        // A row may name a revision Intel never shipped: none newer than
        // the newest counts.
        if (!notes.releases[release].advisories.empty() && std::min(most, j.newest) > revision) {
            j.missed.push_back(release);
        }
    }
    std::sort(j.missed.begin(), j.missed.end(), std::greater<>());
    return j;
}

std::uint64_t judging_cost(const ReleaseNotes& notes, std::span<const LayoutUpdate> updates) {
    std::uint64_t cost = 0;
    for (const LayoutUpdate& u : updates) {
        for (const ServedProcessor& p : u.processors) {
            if (const auto rows = notes.by_signature.find(p.signature); rows != notes.by_signature.end()) {
                cost += rows->second.size();
            }
        }
        cost += u.processors.size();
    }
    return cost;
}

}  // namespace tarnwick
