#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "search/bytes.h"
#include "intel/loader_layout.h"
#include "intel/microcode_header.h"

namespace tarnwick {

// Putting newer microcode into an image: which updates change, where every
// byte of the rewritten microcode files, pad files and FIT goes, and the
// check of the result. All pure: the plan is data, applied to a copy.

// An intact update that may replace one of the image's, with every
// processor it serves (its own signature first, then its extended ones).
struct SourceUpdate {
    Image bytes;  // the whole update
    MicrocodeUpdateHeader header;
    std::vector<ServedProcessor> processors;
};

// Adds the intact updates of `container`, read as the loader reads one; the
// bytes stay the caller's.
void add_source_updates(Image container, std::vector<SourceUpdate>& to);

enum class Freshness {
    updated,  // replaced by a newer update of the source
    latest,   // the source serves it with nothing newer
    unknown,  // the source has nothing that serves it
};

// One update of the microcode files (or of the container), in image order.
struct UpdateRow {
    std::size_t old_offset = 0;
    std::size_t new_offset = 0;
    MicrocodeUpdateHeader header{};  // the image's update
    Freshness freshness = Freshness::unknown;
    Image bytes;  // what the new image holds there: the replacement, or the update as it was
};

// How a microcode file was rewritten.
struct MicrocodeFileChange {
    std::size_t offset = 0;  // of its header
    std::size_t volume_offset = 0;
    std::size_t old_size = 0;
    std::size_t new_size = 0;
    enum class Room { kept, pad, free_space } room = Room::kept;
    std::size_t pad_new_offset = 0;  // where the pad's header moved
    std::size_t pad_old_size = 0, pad_new_size = 0;
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
        nothing_newer,  // no update of the file has a newer replacement
        damaged,        // an update of a microcode file (or container) is damaged
        refused,        // the change can't be made safely
    };
    Outcome outcome = Outcome::no_update;
    std::string reason;  // for damaged and refused: one line, what and what to do
    bool container = false;
    std::vector<UpdateRow> rows;
    std::vector<MicrocodeFileChange> files;
    bool has_fit = false;
    std::size_t fit_repointed = 0;
    std::size_t fit_microcode_entries = 0;
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

    std::size_t updated() const;
};

// Plans the new image: `sources` are the updates to choose from.
UpdatePlan plan_update(Image image, std::span<const SourceUpdate> sources);

// The new image as pieces to write one after the other, for a plan whose
// outcome is planned: the image's own bytes between the patches, so that
// nothing is copied but what changes.
std::vector<Image> new_image_pieces(Image image, const UpdatePlan& plan);
// The same, joined.
std::vector<std::uint8_t> apply_update(Image image, const UpdatePlan& plan);

// Reads the new image back as a new image: every update of its microcode
// files intact and in place, every FFS checksum valid, the FIT valid with
// as many microcode entries, nothing else changed. The failure, if any.
std::optional<std::string> check_updated(Image old_image, Image new_image, const UpdatePlan& plan);

}  // namespace tarnwick
