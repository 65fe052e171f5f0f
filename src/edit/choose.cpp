// Which updates a change keeps, replaces, adds and takes out: decided once
// for all copies of the microcode file, before any byte is placed.

#include <algorithm>
#include <set>
#include <utility>

#include "edit/steps.h"

namespace tarnwick::edit {

namespace {

// The best source update for each (signature, platform flags byte): the
// highest revision, the first of equals.
class SourceIndex {
public:
    explicit SourceIndex(std::span<const SourceUpdate> sources) : sources_(sources) {
        for (std::size_t i = 0; i < sources.size(); ++i) {
            for (const ServedProcessor& p : sources[i].processors) {
                const auto key = std::make_pair(p.signature, static_cast<std::uint8_t>(p.flags));
                const auto [at, inserted] = best_.try_emplace(key, i);
                if (!inserted && sources[i].header.update_revision > sources[at->second].header.update_revision) {
                    at->second = i;
                }
            }
        }
    }

    // The newest source that serves `signature` on every platform of
    // `flags` (flags 0 only with flags 0), whatever its revision.
    std::optional<std::size_t> newest(std::uint32_t signature, std::uint32_t flags) const {
        const auto mine = static_cast<std::uint8_t>(flags);
        std::optional<std::size_t> found;
        auto consider = [&](std::uint8_t g) {
            const auto at = best_.find({signature, g});
            if (at == best_.end()) {
                return;
            }
            const std::uint32_t rev = sources_[at->second].header.update_revision;
            if (!found || rev > sources_[*found].header.update_revision ||
                (rev == sources_[*found].header.update_revision && at->second < *found)) {
                found = at->second;
            }
        };
        if (mine == 0) {
            consider(0);
            return found;
        }
        // Every superset of the update's platform bits.
        const auto others = static_cast<std::uint8_t>(~mine);
        for (unsigned extra = others;; extra = (extra - 1) & others) {
            consider(static_cast<std::uint8_t>(mine | extra));
            if (extra == 0) {
                break;
            }
        }
        return found;
    }

private:
    std::span<const SourceUpdate> sources_;
    std::map<std::pair<std::uint32_t, std::uint8_t>, std::size_t> best_;
};

// A processor on one platform: a signature and one of its flags' bits, or
// bit 8 for flags 0, which count as a platform of their own.
using Platform = std::pair<std::uint32_t, unsigned>;

template <class Visit>
void each_platform(std::span<const ServedProcessor> processors, Visit&& visit) {
    for (const ServedProcessor& p : processors) {
        for_each_platform(p.flags, [&](unsigned key) { visit(Platform{p.signature, key}); });
    }
}

// The processors an update of the image serves, from its own bytes.
std::vector<ServedProcessor> served_by(Image image, const Found& u) {
    std::vector<SourceUpdate> one;
    add_source_updates(image.subspan(u.offset, u.size), one);
    return one.empty() ? std::vector<ServedProcessor>{} : one.front().processors;
}

// The image's update as it stays, or with its replacement.
Slot kept(Image image, const SourceIndex& index, std::span<const SourceUpdate> sources, const Found& u,
          std::set<std::size_t>& replacing) {
    Slot s{image.subspan(u.offset, u.size), u.header, RowStatus::unknown, u.offset};
    const std::optional<std::size_t> newest = index.newest(u.header.processor_signature, u.header.processor_flags);
    if (newest && sources[*newest].header.update_revision > u.header.update_revision) {
        s.status = RowStatus::updated;
        s.bytes = sources[*newest].bytes;
        replacing.insert(*newest);
    } else if (newest) {
        s.status = RowStatus::latest;
    }
    return s;
}

// Why -add leaves `s` out: by the newest revision among what serves any of
// its platforms already.
LeftOut::Why why_left_out(const SourceUpdate& s, const std::map<Platform, std::uint32_t>& newest_served,
                          bool replaces_some) {
    if (replaces_some) {
        return LeftOut::Why::newer_given;
    }
    std::uint32_t newest = 0;
    each_platform(s.processors, [&](const Platform& p) {
        const auto at = newest_served.find(p);
        newest = at == newest_served.end() ? newest : std::max(newest, at->second);
    });
    const std::uint32_t mine = s.header.update_revision;
    return newest > mine ? LeftOut::Why::has_newer : newest == mine ? LeftOut::Why::has_it : LeftOut::Why::served;
}

// Whether `s` would replace an update of the image by -update's rule.
bool replaces_any(const SourceUpdate& s, const std::vector<std::vector<Found>>& files) {
    for (const std::vector<Found>& file : files) {
        for (const Found& u : file) {
            if (u.header.update_revision >= s.header.update_revision) {
                continue;
            }
            const auto mine = static_cast<std::uint8_t>(u.header.processor_flags);
            for (const ServedProcessor& p : s.processors) {
                const auto theirs = static_cast<std::uint8_t>(p.flags);
                if (p.signature == u.header.processor_signature &&
                    (mine == 0 ? theirs == 0 : (theirs & mine) == mine)) {
                    return true;
                }
            }
        }
    }
    return false;
}

// -remove: every update whose own signature is named goes.
Chosen choose_removal(Image image, const std::vector<std::vector<Found>>& files,
                      std::span<const std::uint32_t> signatures) {
    Chosen c;
    c.files.resize(files.size());
    c.removed.resize(files.size());
    for (std::size_t f = 0; f < files.size(); ++f) {
        for (const Found& u : files[f]) {
            if (std::find(signatures.begin(), signatures.end(), u.header.processor_signature) != signatures.end()) {
                c.removed[f].push_back(u);
                c.changes = true;
            } else {
                c.files[f].push_back({image.subspan(u.offset, u.size), u.header, RowStatus::unknown, u.offset});
            }
        }
    }
    return c;
}

// -add's further updates, in the sources' order: each that serves a
// platform nothing in the image serves yet, counting it as served for the
// next; the others go into `left_out`.
std::vector<Slot> choose_added(Image image, const std::vector<std::vector<Found>>& files,
                               std::span<const SourceUpdate> sources, const std::set<std::size_t>& replacing,
                               std::vector<LeftOut>& left_out) {
    // What the image serves, with the newest revision on each platform: its
    // own updates, their replacements, then each update added.
    std::map<Platform, std::uint32_t> served;
    auto serve = [&](std::span<const ServedProcessor> processors, std::uint32_t revision) {
        each_platform(processors, [&](const Platform& p) {
            std::uint32_t& newest = served[p];
            newest = std::max(newest, revision);
        });
    };
    for (const std::vector<Found>& file : files) {
        for (const Found& u : file) {
            serve(served_by(image, u), u.header.update_revision);
        }
    }
    for (const std::size_t r : replacing) {
        serve(sources[r].processors, sources[r].header.update_revision);
    }
    std::vector<Slot> added;
    for (std::size_t i = 0; i < sources.size(); ++i) {
        const SourceUpdate& s = sources[i];
        if (replacing.count(i) != 0) {
            continue;
        }
        bool serves_new = false;
        each_platform(s.processors, [&](const Platform& p) { serves_new = serves_new || served.count(p) == 0; });
        if (!serves_new) {
            left_out.push_back({s.header, why_left_out(s, served, replaces_any(s, files))});
            continue;
        }
        added.push_back({s.bytes, s.header, RowStatus::added});
        serve(s.processors, s.header.update_revision);
    }
    return added;
}

}  // namespace

std::vector<std::size_t> consulted_sources(const std::vector<std::vector<Found>>& files,
                                           std::span<const SourceUpdate> sources) {
    const SourceIndex index(sources);
    std::set<std::size_t> used;
    for (const std::vector<Found>& file : files) {
        for (const Found& u : file) {
            if (const std::optional<std::size_t> newest =
                    index.newest(u.header.processor_signature, u.header.processor_flags)) {
                used.insert(*newest);
            }
        }
    }
    return {used.begin(), used.end()};
}

Chosen choose(Image image, Change change, const std::vector<std::vector<Found>>& files,
              std::span<const SourceUpdate> sources, std::span<const std::uint32_t> signatures) {
    if (change == Change::remove) {
        return choose_removal(image, files, signatures);
    }
    Chosen c;
    c.files.resize(files.size());
    c.removed.resize(files.size());
    const SourceIndex index(sources);
    std::set<std::size_t> replacing;  // sources that replace an update
    for (std::size_t f = 0; f < files.size(); ++f) {
        for (const Found& u : files[f]) {
            c.files[f].push_back(kept(image, index, sources, u, replacing));
            c.changes = c.changes || c.files[f].back().status == RowStatus::updated;
        }
    }
    if (change == Change::add) {
        const std::vector<Slot> added = choose_added(image, files, sources, replacing, c.left_out);
        c.changes = c.changes || !added.empty();
        for (std::vector<Slot>& file : c.files) {
            file.insert(file.end(), added.begin(), added.end());
        }
    }
    return c;
}

}  // namespace tarnwick::edit
