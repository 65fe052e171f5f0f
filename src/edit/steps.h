#pragma once

// The steps of planning a change, shared by the planner and its read-back
// check. Internal to edit/.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "edit/plan.h"
#include "flash/ffs.h"
#include "flash/fit.h"
#include "intel/update_check.h"

namespace tarnwick::edit {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::size_t mpdt_bytes = 16;

inline std::size_t align_up(std::size_t offset, std::size_t to) { return (offset + to - 1) / to * to; }
std::string hex(std::uint64_t v);

// An update as it lies in a microcode file (or container).
struct Found {
    std::size_t offset;
    std::size_t size;
    MicrocodeUpdateHeader header;
};

struct Parsed {
    std::vector<Found> updates;
    std::optional<std::size_t> mpdt;  // its offset
    std::string damaged;              // why, when an update is damaged
    std::string refused;              // why, when something else is there
};

// Reads [from, end) as updates one after the other, the first at `from`,
// each later one at a 16-byte boundary with 0xFF before it, and an MPDT
// record as the last 16 bytes where `mpdt_allowed`.
Parsed parse_updates(Image image, std::size_t from, std::size_t end, bool mpdt_allowed, UpdateChecker& checker,
                     const std::string& where);

// A RAW file in use whose body starts with an update header.
struct MicrocodeFile {
    const FirmwareVolume* volume;
    std::size_t index;  // in the volume's files
    Parsed parsed;
    const FfsFile& file() const { return volume->files[index]; }
};
std::optional<MicrocodeFile> as_microcode_file(Image image, const FirmwareVolume& v, std::size_t index,
                                               UpdateChecker& checker);

// A file that is nothing but intact updates end to end, perhaps 0xFF after
// them: the updates, or nothing when it is no such file; `damaged` says why
// an update is damaged.
std::optional<std::vector<Found>> container_updates(Image image, std::string& damaged);

// How the updates of a file lie apart: 0 where each starts at the 16-byte
// boundary after the one before (or there is only one), else the largest
// power of two up to 4 KiB that divides each one's distance from the first.
std::size_t update_spacing(std::span<const Found> updates);

// Where `sizes` go, the first at `start`: at `spacing` from the first (0:
// the next 16-byte boundary; `end_to_end`: right after the one before).
std::vector<std::size_t> place(std::span<const std::size_t> sizes, std::size_t start, std::size_t spacing,
                               bool end_to_end);

// One update of a file's new content, in order.
struct Slot {
    Image bytes;
    MicrocodeUpdateHeader header;
    RowStatus status;
    std::size_t old_offset = 0;  // for updates of the image
};

// What each microcode file (or the container) holds after the change: the
// same choice for every copy. Also the rows of the left-out source
// updates, and whether anything changes at all.
struct Chosen {
    std::vector<std::vector<Slot>> files;  // per microcode file, each update that stays, then the added ones
    std::vector<std::vector<Found>> removed;  // per file
    std::vector<LeftOut> left_out;
    bool changes = false;
};
Chosen choose(Image image, Change change, const std::vector<std::vector<Found>>& files,
              std::span<const SourceUpdate> sources, std::span<const std::uint32_t> signatures);
// What -update's choice reads of `sources`: for each update of `files`, the
// newest source that serves it. Ascending, each once.
std::vector<std::size_t> consulted_sources(const std::vector<std::vector<Found>>& files,
                                           std::span<const SourceUpdate> sources);

// What a microcode file's growth must know of the image around it.
struct Surroundings {
    const VolumeScan* scan = nullptr;
    // Bytes the FIT names, [begin, end) and what names them, by begin.
    struct Named {
        std::size_t begin, end;
        std::string what;
    };
    std::vector<Named> fit_named;
    std::vector<std::size_t> named_reach;  // the largest end among fit_named[0..i]
    std::vector<std::size_t> microcode_files;  // header offsets, ascending
};
Surroundings surroundings(Image image, const VolumeScan& scan, const FitCheck& fit,
                          const std::vector<MicrocodeFile>& files);

// Lays `slots` into microcode file `m` (with its room after it where it must
// grow): its patch, its rows and its change go into the plan. Returns why it
// can't, if it can't.
std::optional<std::string> plan_file(Image image, const MicrocodeFile& m, std::span<const Slot> slots,
                                     std::span<const Found> removed, const Surroundings& around, UpdatePlan& plan);

// The 24-bit little-endian sizes of FFS file headers and the FIT's header.
inline void put_le24(Bytes& b, std::size_t at, std::size_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
    b[at + 2] = static_cast<std::uint8_t>(v >> 16);
}

// Sets the size and header checksum of the file header at `at` in `b`, and
// its file checksum: 0xAA, or where its body is summed, what makes `body`
// sum to zero with it.
void seal_header(Bytes& b, std::size_t at, std::size_t size, Image body);
inline constexpr std::size_t max_ffs_size = 0xFFFFFF;  // larger needs a large file

// Makes room for microcode file `index` of `v`, growing to change.new_size,
// by moving the files after it toward the volume's free space, and lays
// them into `region` (the file's new bytes, from its header on). Returns
// why it can't, if it can't.
std::optional<std::string> move_files_after(Image image, const FirmwareVolume& v, std::size_t index,
                                            const Surroundings& around, MicrocodeFileChange& change, Bytes& region);

// What happened to each update of the microcode files, by old offset: its
// new offset, or nothing where it was removed.
using Moves = std::map<std::size_t, std::optional<std::size_t>>;

// Edits the FIT after the updates moved: re-points its microcode entries,
// drops those of removed updates and adds one for each of `added` (new
// offsets), growing into the 0xFF slots after it in its file where the
// table has too few unused entries; adds its patch. Returns why it can't,
// if it can't.
// `fit` is the image's, as check_fit gives it.
std::optional<std::string> plan_fit(Image image, const FitCheck& fit, const VolumeScan& scan, const Moves& moves,
                                    std::span<const std::size_t> added, UpdatePlan& plan);

// Where the planned patches would change a byte that Boot Guard (or AMI's
// later check) verifies: which byte, what holds it and which range covers
// it. `plan`'s patches are sorted and apart.
std::optional<std::string> protected_change(Image image, const UpdatePlan& plan, const VolumeScan& scan,
                                            const FitCheck& fit);

// Where the FIT pointer names no FIT but the file holds a FIT header entry
// (16-byte aligned, type 0): the file is a region cut from a larger flash.
// The header's offset.
std::optional<std::size_t> unnamed_fit(Image image, const FitCheck& fit);

}  // namespace tarnwick::edit
