#include "intel/update_check.h"

#include <algorithm>
#include <iterator>
#include <optional>
#include <utility>
#include <map>

#include "search/checksum.h"

namespace tarnwick {

std::string_view status_word(UpdateStatus status) {
    switch (status) {
        case UpdateStatus::ok:
            return "OK";
        case UpdateStatus::truncated:
            return "TRUNCATED";
        case UpdateStatus::bad_size:
            return "BAD SIZE";
        case UpdateStatus::bad_loader:
            return "BAD LOADER";
        case UpdateStatus::bad_checksum:
            return "BAD CHECKSUM";
        case UpdateStatus::bad_ext_table:
            return "BAD EXT TABLE";
        case UpdateStatus::bad_ext_sig:
            return "BAD EXT SIG";
    }
    return "?";
}

namespace {

constexpr std::uint64_t header_bytes = 48;
constexpr std::uint64_t table_header_bytes = 20;
constexpr std::uint64_t table_entry_bytes = 12;

}  // namespace

std::uint32_t WordSums::sum(std::size_t offset, std::size_t length) {
    const std::size_t words = length / 4;
    std::vector<std::uint32_t>& running = running_[offset % 4];
    if (running.empty()) {
        // Direct sums cost up to four passes over the image before the
        // running sums, one pass and one word of memory per word, pay.
        if (summed_ <= 4 * std::uint64_t{image_.size()} + (1u << 20)) {
            summed_ += length;
            return sum_words(image_.subspan(offset, words * 4));
        }
        const std::size_t start = offset % 4;
        const std::size_t count = (image_.size() - start) / 4;
        running.resize(count + 1);
        std::uint32_t total = 0;
        for (std::size_t i = 0; i < count; ++i) {
            running[i] = total;
            total += read_le32(image_, start + 4 * i);
        }
        running[count] = total;
    }
    const std::size_t first = offset / 4;
    return running[first + words] - running[first];
}

std::uint32_t EntryRuns::value_at(std::size_t pos) const {
    return read_le32(image_, pos) + read_le32(image_, pos + 4) + read_le32(image_, pos + 8);
}

bool EntryRuns::all_equal(std::size_t first, std::size_t count, std::uint32_t value) {
    if (count == 0) {
        return true;
    }
    std::vector<std::uint32_t>& runs = runs_[first % table_entry_bytes];
    if (runs.empty()) {
        if (read_ <= 4 * std::uint64_t{image_.size()} + (1u << 20)) {
            read_ += count * table_entry_bytes;
            for (std::size_t i = 0; i < count; ++i) {
                if (value_at(first + i * table_entry_bytes) != value) {
                    return false;
                }
            }
            return true;
        }
        const std::size_t start = first % table_entry_bytes;
        const std::size_t entries = (image_.size() - start) / table_entry_bytes;
        runs.resize(entries);
        // From the last entry back: each run is one longer than the next
        // entry's when the two are equal.
        for (std::size_t i = entries; i-- > 0;) {
            const std::size_t pos = start + i * table_entry_bytes;
            runs[i] = i + 1 < entries && value_at(pos) == value_at(pos + table_entry_bytes) ? runs[i + 1] + 1 : 1;
        }
    }
    const std::size_t i = first / table_entry_bytes;
    return runs[i] >= count && value_at(first) == value;
}

ExtendedSignature extended_signature(Image image, const ExtendedTable& table, std::size_t index,
                                     const MicrocodeUpdateHeader& h) {
    const std::size_t e = table.offset + table_header_bytes + index * table_entry_bytes;
    ExtendedSignature sig{read_le32(image, e), read_le32(image, e + 4), read_le32(image, e + 8), false};
    sig.ok = entry_sum(h) - (sig.signature + sig.flags + sig.checksum) == 0;
    return sig;
}

UpdateLengths update_lengths(const MicrocodeUpdateHeader& h) {
    return h.data_size == 0 ? UpdateLengths{2000, 2048} : UpdateLengths{h.data_size, h.total_size};
}

bool lengths_sound(const UpdateLengths& l) {
    return l.data % 4 == 0 && l.total % 4 == 0 && l.total >= l.data + header_bytes;
}

UpdateCheck check_update(Image image, std::size_t pos) {
    return UpdateChecker(image).check(pos);
}

UpdateCheck UpdateChecker::check(std::size_t pos) {
    const Image image = image_;
    UpdateCheck c;
    const std::optional<MicrocodeUpdateHeader> header = view_header(image, pos);
    if (!header) {
        // Not even the sizes are inside: at least a header is missing.
        c.status = UpdateStatus::truncated;
        c.data_size = 2000;
        c.total_size = 2048;
        c.missing = header_bytes - (image.size() - pos < header_bytes ? image.size() - pos : header_bytes);
        return c;
    }
    const MicrocodeUpdateHeader& h = *header;
    const UpdateLengths lengths = update_lengths(h);
    c.data_size = lengths.data;
    c.total_size = lengths.total;

    // The update must lie whole in the file; a total smaller than a header
    // still needs the header itself.
    const std::uint64_t needed = c.total_size < header_bytes ? header_bytes : c.total_size;
    const std::uint64_t room = image.size() - pos;
    if (needed > room) {
        c.status = UpdateStatus::truncated;
        c.missing = needed - room;
        return c;
    }

    if (!lengths_sound(lengths)) {
        c.status = UpdateStatus::bad_size;
        return c;
    }
    if (h.loader_revision != 1) {
        c.status = UpdateStatus::bad_loader;
        return c;
    }
    // From here on the extended table is still read after a failure, so
    // that its entries can be listed; the first failure stays the status.
    auto fail = [&c](UpdateStatus s) {
        if (c.status == UpdateStatus::ok) {
            c.status = s;
        }
    };
    const auto body = static_cast<std::size_t>(header_bytes + c.data_size);
    if (sums_.sum(pos, body) != 0) {
        fail(UpdateStatus::bad_checksum);
    }

    const std::uint64_t table_bytes = c.total_size - body;
    if (table_bytes == 0) {
        return c;
    }
    if (table_bytes < table_header_bytes) {
        fail(UpdateStatus::bad_ext_table);
        return c;
    }
    const std::size_t table = pos + body;
    const std::uint64_t count = read_le32(image, table);
    if (table_bytes != table_header_bytes + table_entry_bytes * count) {
        fail(UpdateStatus::bad_ext_table);
        return c;
    }
    if (sums_.sum(table, static_cast<std::size_t>(table_bytes)) != 0) {
        fail(UpdateStatus::bad_ext_table);
    }
    // Each entry stands for the header's signature, flags and checksum: the
    // three together must come to what the header's three come to.
    c.extended = ExtendedTable{table, static_cast<std::uint32_t>(count)};
    if (!runs_.all_equal(table + table_header_bytes, static_cast<std::size_t>(count), entry_sum(h))) {
        fail(UpdateStatus::bad_ext_sig);
    }
    return c;
}

namespace {

// Decides how each update's table is shown: listed by the first update
// that has it, unless it lies where a listed one lies. Listed tables never
// overlap, so together they hold at most one entry per 12 bytes of image.
void assign_tables(std::vector<FoundUpdate>& updates) {
    struct Listed {
        std::size_t end;
        std::size_t row;
    };
    std::map<std::size_t, Listed> listed;  // by the table's offset
    for (std::size_t row = 0; row < updates.size(); ++row) {
        FoundUpdate& u = updates[row];
        if (!u.check.extended) {
            continue;
        }
        const std::size_t start = u.check.extended->offset;
        const std::size_t end = u.check.extended->end();
        auto next = listed.lower_bound(start);
        if (next != listed.end() && next->first == start) {
            u.shown = TableShown::same_as;
            u.table_row = next->second.row;
            continue;
        }
        if (next != listed.begin() && std::prev(next)->second.end > start) {
            u.shown = TableShown::overlaps;
            u.table_row = std::prev(next)->second.row;
            continue;
        }
        if (next != listed.end() && next->first < end) {
            u.shown = TableShown::overlaps;
            u.table_row = next->second.row;
            continue;
        }
        u.shown = TableShown::listed;
        listed.emplace(start, Listed{end, row});
    }
}

}  // namespace

FoundUpdates find_updates(Image image) {
    UpdateFinder finder(image);
    finder.walk(0, image.size());
    return finder.finish();
}

void UpdateFinder::walk(std::size_t from, std::size_t to) {
    for_each_qualifying_header_in(image_, from, to, found_.any_candidate,
                                  [&](const MicrocodeUpdateHeader& h, std::size_t at) {
                                      found_.updates.push_back({at, h, checker_.check(at)});
                                  });
}

FoundUpdates UpdateFinder::finish() {
    assign_tables(found_.updates);
    return std::move(found_);
}

std::vector<FoundUpdate> find_intact_updates(Image image) {
    std::vector<FoundUpdate> intact;
    UpdateChecker checker(image);
    // One candidate a call: a larger batch would search on through the data
    // of the update that the first candidate starts, which is then skipped.
    std::size_t at[1];
    std::size_t from = 0;
    bool any_candidate = false;
    while (const std::size_t n = find_dated_candidates(image, from, at, any_candidate)) {
        for (std::size_t k = 0; k < n; ++k) {
            const std::optional<MicrocodeUpdateHeader> header = view_header(image, at[k]);
            if (!header || !is_qualifying_header(*header)) {
                continue;
            }
            UpdateCheck check = checker.check(at[k]);
            if (check.status != UpdateStatus::ok) {
                continue;
            }
            // Intact, so it lies whole in the image: go on after it.
            from = at[k] + static_cast<std::size_t>(check.total_size);
            // Intact updates of this walk never overlap: each lists its own table.
            const TableShown shown = check.extended ? TableShown::listed : TableShown::none;
            intact.push_back({at[k], *header, std::move(check), shown, 0});
            break;
        }
    }
    return intact;
}

}  // namespace tarnwick
