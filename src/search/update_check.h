#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "search/bytes.h"
#include "search/microcode_header.h"

namespace tarnwick {

// What the processor's loader would make of an update, from the first check
// that fails. The order is the order of the checks.
enum class UpdateStatus {
    ok,
    truncated,      // runs past the file's end; nothing else is checked
    bad_size,       // sizes not in whole words, or no room for header and data
    bad_loader,     // loader revision other than 1
    bad_checksum,   // header and data don't sum to zero
    bad_ext_table,  // extended table of the wrong length, or not summing to zero
    bad_ext_sig,    // an extended signature whose own checksum is wrong
};

// The status as the tables print it ("OK", "BAD EXT SIG", ...).
std::string_view status_word(UpdateStatus status);

// One entry of an extended signature table.
struct ExtendedSignature {
    std::uint32_t signature;
    std::uint32_t flags;
    std::uint32_t checksum;
    bool ok;  // the update would sum to zero with this signature and flags
};

struct UpdateCheck {
    UpdateStatus status = UpdateStatus::ok;
    // Lengths as the loader takes them: data size 0 stands for 2000 bytes
    // of data and 2048 in all, whatever the total size field says.
    std::uint64_t data_size = 0;
    std::uint64_t total_size = 0;
    // Bytes of the update past the file's end, when truncated.
    std::uint64_t missing = 0;
    // The extended signatures, listed only when the table's length matches
    // its count (and the update lies whole in the file).
    std::vector<ExtendedSignature> extended;
};

// Sums of little-endian 32-bit words over ranges of one image, as the
// checks ask for them. Ranges are summed directly until they add up to a
// few times the image: headers that overlap (a run of repeated headers, or
// a crafted file) would otherwise make the work grow with their number
// times the image's length. Past that, running sums of the words at each
// alignment answer every range at once. Must agree with sum_words.
class WordSums {
public:
    explicit WordSums(Image image) : image_(image) {}
    // The sum of the `length` / 4 words at `offset`; the range lies in the
    // image.
    std::uint32_t sum(std::size_t offset, std::size_t length);

private:
    Image image_;
    std::uint64_t summed_ = 0;                // bytes summed directly so far
    std::vector<std::uint32_t> running_[4];   // per offset % 4, once built
};

// Checks the update whose header is at `pos` as the loader does. Pure: never
// reads outside `image`. The first check that fails ends the checking, but
// for a wrong checksum, after which the extended signatures are still
// listed.
UpdateCheck check_update(Image image, std::size_t pos);
UpdateCheck check_update(Image image, std::size_t pos, WordSums& sums);

// An update that the candidate walk accepts, with its check.
struct FoundUpdate {
    std::size_t offset;
    MicrocodeUpdateHeader header;
    UpdateCheck check;
};

struct FoundUpdates {
    bool any_candidate = false;  // some 01 00 00 00 in the image at all
    std::vector<FoundUpdate> updates;
};

// Every qualifying header in the order the info listing gives them (row N
// is updates[N - 1]), each checked.
FoundUpdates find_updates(Image image);

// The intact updates of a container, read as the loader reads one: an
// intact update's bytes are one unit, and the walk goes on after its end,
// so its data is never searched for further headers. Elsewhere it walks
// every candidate, as find_updates does.
std::vector<FoundUpdate> find_intact_updates(Image image);

}  // namespace tarnwick
