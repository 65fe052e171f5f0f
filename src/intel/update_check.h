#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "search/bytes.h"
#include "intel/microcode_header.h"

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

// Where an update's extended signature table lies in the image. Nothing of
// it is copied: nested headers can all end on one table, and a copy each
// would grow with their number times its length.
struct ExtendedTable {
    std::size_t offset = 0;  // of the table's 20-byte header
    std::uint32_t count = 0;
    std::size_t end() const { return offset + 20 + std::size_t{12} * count; }
};

// What an entry's signature, flags and checksum must add up to for the
// update with header `h` to sum to zero under that entry.
inline std::uint32_t entry_sum(const MicrocodeUpdateHeader& h) {
    return h.processor_signature + h.processor_flags + h.checksum;
}

// Entry `index` of `table`, judged for the update whose header is `h`.
ExtendedSignature extended_signature(Image image, const ExtendedTable& table, std::size_t index,
                                     const MicrocodeUpdateHeader& h);

struct UpdateCheck {
    UpdateStatus status = UpdateStatus::ok;
    // Lengths as the loader takes them: data size 0 stands for 2000 bytes
    // of data and 2048 in all, whatever the total size field says.
    std::uint64_t data_size = 0;
    std::uint64_t total_size = 0;
    // Bytes of the update past the file's end, when truncated.
    std::uint64_t missing = 0;
    // The extended signature table, given only when its length matches its
    // count (and the update lies whole in the file).
    std::optional<ExtendedTable> extended;
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

// Whether runs of extended table entries all add up to one value, as the
// checks ask. Like WordSums: entries are read directly until that has cost a
// few passes over the image (tables that overlap would otherwise cost their
// number times their length), then, for each of the twelve alignments, the
// length of the run of equal entries that starts at each entry answers any
// table at once. Must agree with reading every entry.
class EntryRuns {
public:
    explicit EntryRuns(Image image) : image_(image) {}
    // True when each of the `count` 12-byte entries from `first` on adds up
    // to `value`; they lie in the image.
    bool all_equal(std::size_t first, std::size_t count, std::uint32_t value);

private:
    std::uint32_t value_at(std::size_t pos) const;
    Image image_;
    std::uint64_t read_ = 0;
    std::vector<std::uint32_t> runs_[12];  // per offset % 12, once built
};

// Checks updates of one image, sharing the work of overlapping ones.
class UpdateChecker {
public:
    explicit UpdateChecker(Image image) : image_(image), sums_(image), runs_(image) {}
    // Checks the update whose header is at `pos` as the loader does. Never
    // reads outside the image. The first check that fails ends the
    // checking, but for a wrong checksum, after which the extended table is
    // still given.
    UpdateCheck check(std::size_t pos);

private:
    Image image_;
    WordSums sums_;
    EntryRuns runs_;
};

// One update alone.
UpdateCheck check_update(Image image, std::size_t pos);

// The lengths the loader takes from a header: data size 0 stands for 2000
// bytes of data and 2048 in all, whatever the total size field says.
struct UpdateLengths {
    std::uint64_t data, total;
};
UpdateLengths update_lengths(const MicrocodeUpdateHeader& h);
// Whether those lengths can be an update's: multiples of 4, the total
// covering the header and the data.
bool lengths_sound(const UpdateLengths& l);

// How an update's extended table is shown. Each table is listed once, by
// the first update that has it; an update whose table lies where a listed
// one lies refers to that update instead. So the listing never outgrows the
// image, however many headers share or overlap one table. Statuses are
// checked for every update all the same.
enum class TableShown {
    none,      // no table
    listed,    // this update lists it
    same_as,   // the table that update `table_row` lists, at the same position
    overlaps,  // a table at another position, overlapping the one `table_row` lists
};

// An update that the candidate walk accepts, with its check.
struct FoundUpdate {
    std::size_t offset;
    MicrocodeUpdateHeader header;
    UpdateCheck check;
    TableShown shown = TableShown::none;
    std::size_t table_row = 0;  // index into the list, for same_as and overlaps
};

struct FoundUpdates {
    bool any_candidate = false;  // some 01 00 00 00 in the image at all
    std::vector<FoundUpdate> updates;
};

// Every qualifying header in the order the info listing gives them (row N
// is updates[N - 1]), each checked.
FoundUpdates find_updates(Image image);

// The same a range at a time, for a pass that already walks the image slice
// by slice (-json's), so that each slice is searched while it is in the
// cache. walk(from, to) for ranges in ascending order that together hold
// every candidate (a range without a 01 00 pair may be left out); then
// finish() gives what find_updates gives.
class UpdateFinder {
public:
    explicit UpdateFinder(Image image) : image_(image), checker_(image) {}
    // Every candidate that starts in [from, to).
    void walk(std::size_t from, std::size_t to);
    FoundUpdates finish();

private:
    Image image_;
    UpdateChecker checker_;
    FoundUpdates found_;
};

// The intact updates of a container, read as the loader reads one: an
// intact update's bytes are one unit, and the walk goes on after its end,
// so its data is never searched for further headers. Elsewhere it walks
// every candidate, as find_updates does.
std::vector<FoundUpdate> find_intact_updates(Image image);

}  // namespace tarnwick
