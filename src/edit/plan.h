#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bootguard/boot_guard.h"
#include "intel/loader_layout.h"
#include "intel/microcode_header.h"
#include "search/bytes.h"

namespace tarnwick {

// Changing the microcode of an image: which updates change, where every
// byte of the rewritten microcode files, pad files and FIT goes, and the
// check of the result. All pure: the plan is data, applied to a copy.

// An intact update that may go into an image, with every processor it
// serves (its own signature first, then its extended ones).
struct SourceUpdate {
    Image bytes;  // the whole update
    MicrocodeUpdateHeader header;
    std::vector<ServedProcessor> processors;
};

// Adds the intact updates of `container`, read as the loader reads one; the
// bytes stay the caller's.
void add_source_updates(Image container, std::vector<SourceUpdate>& to);

// The three changes: newer updates in place of older ones; updates for
// processors the image has none for (and newer ones in place, as -update);
// updates taken out by their processor signature.
enum class Change { update, add, remove };

enum class RowStatus {
    updated,  // replaced by a newer update of the source
    latest,   // the source serves it with nothing newer
    unknown,  // the source has nothing that serves it
    added,    // new in the image
    removed,  // taken out
};

// One update of the microcode files (or of the container): each file's in
// their new order, removed ones where they stood.
struct UpdateRow {
    std::size_t old_offset = 0;  // where it was; for an added one, 0
    std::size_t new_offset = 0;  // where it is now; for a removed one, where it was
    MicrocodeUpdateHeader header{};  // the image's update, or the added one
    RowStatus status = RowStatus::unknown;
    Image bytes;  // what the new image holds there (for a removed one, what it held)

    bool present() const { return status != RowStatus::removed; }
};

// An update of the source files that -add leaves out, and why.
struct LeftOut {
    MicrocodeUpdateHeader header;
    enum class Why {
        has_it,       // the image holds it already
        has_newer,    // the image holds a newer one for its processors
        newer_given,  // another update of the files replaces the same ones and is newer
        served,       // the image serves its processors, on more platforms than it does
    } why;
};

// How a microcode file was rewritten.
struct MicrocodeFileChange {
    std::size_t offset = 0;  // of its header
    std::size_t volume_offset = 0;
    std::size_t old_size = 0;
    std::size_t new_size = 0;
    enum class Room { kept, pad, free_space, moved } room = Room::kept;
    std::size_t pad_new_offset = 0;  // where the pad's header moved
    std::size_t pad_old_size = 0, pad_new_size = 0;
    // Where the files after it moved toward the volume's free space: the
    // all-0xFF pad right after it that it took whole (its size, or 0), the
    // moved files by their old offsets, the first of them (or where the free
    // space began, with none), how far they moved, the free space before,
    // and the pad that fills the gap, where there is one.
    std::size_t taken_pad = 0;
    struct Moved {
        std::size_t offset, size;
        std::size_t alignment;  // of its data, from the volume's start
    };
    std::vector<Moved> moved;
    std::size_t moved_first = 0;
    std::size_t shift = 0;
    std::size_t free_start = 0, free_before = 0;
    std::optional<std::size_t> gap_pad;
    std::size_t gap_pad_size = 0;
    std::optional<std::size_t> mpdt_old, mpdt_new;  // the MPDT record, before and after
    std::size_t rows_begin = 0, rows_end = 0;     // its rows in the plan
};

// Bytes that go at `offset` of the new image.
struct Patch {
    std::size_t offset = 0;
    std::vector<std::uint8_t> bytes;
};

struct UpdatePlan {
    enum class Outcome {
        planned,
        no_update,      // the file holds no update header at all
        nothing_newer,  // nothing to change: no newer update, nothing to add or to remove
        damaged,        // an update of a microcode file (or container) is damaged
        refused,        // the change can't be made safely
    };
    Outcome outcome = Outcome::no_update;
    Change change = Change::update;
    std::string reason;  // for damaged and refused: one line, what and what to do
    bool container = false;
    std::vector<UpdateRow> rows;
    std::vector<LeftOut> left_out;  // -add's, in the files' order
    std::vector<MicrocodeFileChange> files;
    bool has_fit = false;
    std::size_t fit_repointed = 0;
    std::size_t fit_added = 0;
    std::size_t fit_dropped = 0;
    // Where the new FIT's microcode entries point, in the table's order.
    std::vector<std::size_t> fit_targets;
    std::size_t new_size = 0;
    // For an image, laid over a copy of it in this order; for a container,
    // one patch that is the whole new file.
    std::vector<Patch> patches;
    // Files outside the rewritten ones whose body checksum covers changed
    // bytes (the file that holds the FIT, say), by header offset: their
    // checksum bytes are among the patches.
    std::vector<std::size_t> body_checksums;
    // Every file of the image before the change, by offset, and whether its
    // checksums were valid: the read-back holds the new image to that.
    std::vector<std::pair<std::size_t, bool>> files_before;
    // Where the FIT names Boot Guard manifests: none there (hollow), or
    // manifests whose protected ranges the change leaves as they were.
    enum class Guard { none, hollow, verified } guard = Guard::none;
    std::vector<ProtectedRange> protected_ranges;  // for verified

    std::size_t count(RowStatus status) const;
};

// Plans the new image: `sources` are the updates to choose from.
UpdatePlan plan_update(Image image, std::span<const SourceUpdate> sources);

// Sources whose bytes are read only for the updates a choice rests on.
class SourceReader {
public:
    virtual ~SourceReader() = default;
    // Every update; `bytes` is empty for those not read yet.
    virtual std::span<const SourceUpdate> updates() const = 0;
    // Reads and checks updates `which` (indexes into updates()), keeping
    // their bytes. False where one turns out damaged: updates() has changed,
    // and the choice is made again.
    virtual bool confirm(std::span<const std::size_t> which) = 0;
};
// Plans as the form above does, reading of `sources` only the updates its
// choice rests on: for each update of the image, the newest that serves it.
UpdatePlan plan_update(Image image, SourceReader& sources);
// Plans -add: each source update replaces older ones as -update's do, or is
// added where it serves a processor that nothing in the image serves.
UpdatePlan plan_add(Image image, std::span<const SourceUpdate> sources);
// Plans -remove: every update whose own signature is one of `signatures`.
UpdatePlan plan_remove(Image image, std::span<const std::uint32_t> signatures);

// The new image as pieces to write one after the other, for a plan whose
// outcome is planned: the image's own bytes between the patches, so that
// nothing is copied but what changes.
std::vector<Image> new_image_pieces(Image image, const UpdatePlan& plan);
// The same, joined.
std::vector<std::uint8_t> apply_update(Image image, const UpdatePlan& plan);

// Reads the new image back as a new image: the planned bytes and nothing
// else changed, every update of its microcode files intact and in place,
// each MPDT record last, every FFS checksum valid, the FIT valid with its
// microcode entries where planned. The failure, if any.
std::optional<std::string> check_updated(Image old_image, Image new_image, const UpdatePlan& plan);

}  // namespace tarnwick
