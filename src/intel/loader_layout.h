#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "intel/update_check.h"

namespace tarnwick {

// The name under which the Linux loader looks for a processor's updates,
// "ff-mm-ss": family, model and stepping of the signature as the loader
// computes them, in lower-case hex.
std::string loader_file_name(std::uint32_t signature);

// An intact update as the layout sees it: its revision and every processor
// it serves, the primary signature first, then the extended ones, each with
// its own platform flags.
struct ServedProcessor {
    std::uint32_t signature;
    std::uint32_t flags;
};
// Platform keys of a set of flags: one per bit of the low byte, or key 8
// alone for an update that names no platform.
inline constexpr unsigned no_platform = 8;

template <class Visit>
void for_each_platform(std::uint32_t flags, Visit&& visit) {
    if ((flags & 0xFF) == 0) {
        visit(no_platform);
        return;
    }
    for (unsigned bit = 0; bit < 8; ++bit) {
        if ((flags >> bit) & 1) {
            visit(bit);
        }
    }
}

struct LayoutUpdate {
    std::uint32_t revision;
    std::vector<ServedProcessor> processors;
};
// `update` as the layout sees it, with every entry of its table, read from
// `image`: for updates that don't share a table, as a container's walk
// gives them.
LayoutUpdate layout_update(Image image, const FoundUpdate& update);

// The intact updates of `updates` (all of one image, as find_updates gives
// them), in their order. Updates that show one table share it: its entries
// go to the one that wins wherever the group competes (the highest
// revision, the first of equals) and the others keep only their own
// signature, so a table is read once however many headers end on it. A
// table that overlaps another at a different position counts for nothing.
std::vector<LayoutUpdate> layout_updates(Image image, std::span<const FoundUpdate> updates);

// One file of the loader's layout: its name and the updates it holds, as
// indexes into the caller's list, in the list's order.
struct LayoutFile {
    std::string name;
    std::vector<std::size_t> updates;
};

// Lays the updates out as the loader reads them: each goes into the file of
// each processor it serves, when it is the newest there for at least one of
// its platform bits. Flags of 0 count as one platform of their own. Between
// equal revisions the first in the list wins. Files come sorted by name.
std::vector<LayoutFile> loader_layout(std::span<const LayoutUpdate> updates);

// A container read one header at a time, as a reader that reads only what
// it must does: the lengths of the update with header `h`, where they can be
// an intact update's (and its loader revision is 1); nothing otherwise.
std::optional<UpdateLengths> update_extent(const MicrocodeUpdateHeader& h);
// The processors it serves, from its header and the `table` that follows its
// data (empty where there is none), as layout_update gives them for an
// intact update; nothing where the table's length doesn't match its count.
std::optional<std::vector<ServedProcessor>> served_processors(const MicrocodeUpdateHeader& h, Image table);

// How an update of a file compares with the updates of a reference set.
enum class Currency {
    latest,      // as new as the newest the reference holds for it
    outdated,    // the reference holds a newer one
    unknown,     // the reference holds nothing for its processor and platforms
    superseded,  // the file itself holds a newer one for each of its platforms
    damaged,     // not compared: its check failed
};

struct CurrencyRow {
    Currency currency;
    std::optional<std::uint32_t> newest;  // the reference's newest, where compared
};

// One row per update of `file`, in its order. An update is compared on the
// platform bits it serves: those for which the file holds no intact update
// of a higher revision for its processor. The newest is the highest
// revision that `reference` holds for that processor on any of those bits.
std::vector<CurrencyRow> compare_currency(Image image, std::span<const FoundUpdate> file,
                                         std::span<const LayoutUpdate> reference);

// The updates of `reference` that compare_currency's answer rests on: for
// each processor and platform it compares, one with the newest revision
// there. Ascending, each once.
std::vector<std::size_t> currency_sources(Image image, std::span<const FoundUpdate> file,
                                          std::span<const LayoutUpdate> reference);

}  // namespace tarnwick
