#include "app/sources.h"

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <system_error>

#include "app/load_image.h"
#include "app/platform.h"
#include "commands/file.h"
#include "intel/loader_layout.h"
#include "intel/update_check.h"

namespace tarnwick {

namespace {

constexpr std::size_t header_bytes = 48;

struct Header {
    std::size_t offset, size;
    MicrocodeUpdateHeader header;
    std::vector<ServedProcessor> processors;
};

// The headers of a file that is nothing but updates end to end, each with
// the processors its extended table names; nothing for any other file.
std::optional<std::vector<Header>> headers_of(std::FILE* file, std::uint64_t length) {
    std::vector<Header> headers;
    std::uint64_t at = 0;
    std::uint8_t bytes[header_bytes];
    std::vector<std::uint8_t> table;
    while (at < length) {
        if (length - at < header_bytes || !platform::read_at(file, at, bytes, header_bytes)) {
            return std::nullopt;
        }
        const std::optional<MicrocodeUpdateHeader> h = view_header(Image(bytes, header_bytes), 0);
        if (!h || !is_qualifying_header(*h)) {
            return std::nullopt;
        }
        const std::optional<UpdateLengths> lengths = update_extent(*h);
        if (!lengths || lengths->total > length - at) {
            return std::nullopt;
        }
        const std::uint64_t body = header_bytes + lengths->data;
        table.resize(static_cast<std::size_t>(lengths->total - body));
        if (!platform::read_at(file, at + body, table.data(), table.size())) {
            return std::nullopt;
        }
        std::optional<std::vector<ServedProcessor>> served = served_processors(*h, table);
        if (!served) {
            return std::nullopt;
        }
        headers.push_back({static_cast<std::size_t>(at), static_cast<std::size_t>(lengths->total), *h, std::move(*served)});
        at += lengths->total;
    }
    return headers;
}

}  // namespace

std::optional<HeaderFirstSource> HeaderFirstSource::open(const std::string& path, bool directory_only) {
    namespace fs = std::filesystem;
    HeaderFirstSource source;
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (status.type() == fs::file_type::regular && !directory_only) {
        source.paths_.push_back(path);
    } else if (status.type() == fs::file_type::directory) {
        fs::directory_iterator it(path, ec);
        if (ec) {
            return std::nullopt;
        }
        for (; it != fs::directory_iterator(); it.increment(ec)) {
            // Only regular files: a FIFO would wait for a writer.
            std::error_code kind;
            if (it->is_regular_file(kind)) {
                source.paths_.push_back(it->path().string());
            }
        }
        if (ec) {
            return std::nullopt;
        }
    } else {
        return std::nullopt;
    }
    // Read whole, or passed over: nothing more to read of it.
    source.whole_.assign(source.paths_.size(), true);
    for (std::size_t f = 0; f < source.paths_.size(); ++f) {
        const File file(platform::open_for_reading(source.paths_[f].c_str()));
        if (!file && source.paths_.size() == 1 && status.type() == fs::file_type::regular) {
            return std::nullopt;  // the one file given can't be opened
        }
        const std::optional<std::uint64_t> length = file ? platform::measure(file.get()) : std::nullopt;
        if (!length) {
            continue;  // passed over, as a file that can't be read
        }
        // Small reads where they land: no buffer refilled around each.
        std::setvbuf(file.get(), nullptr, _IONBF, 0);
        if (std::optional<std::vector<Header>> headers = headers_of(file.get(), *length)) {
            for (Header& h : *headers) {
                source.entries_.push_back({f, h.offset, h.size, {Image(), h.header, std::move(h.processors)}, false});
            }
            source.whole_[f] = false;
        } else {
            source.read_whole(f, source.entries_);
        }
    }
    source.flatten();
    return source;
}

void HeaderFirstSource::read_whole(std::size_t file, std::vector<Entry>& to) {
    std::optional<std::vector<std::uint8_t>> bytes = read_whole_file(paths_[file]);
    if (!bytes) {
        return;  // passed over, as a file that can't be read
    }
    const Image whole = held_.emplace_back(std::move(*bytes));
    for (const FoundUpdate& u : find_intact_updates(whole)) {
        const auto size = static_cast<std::size_t>(u.check.total_size);
        to.push_back(
            {file, u.offset, size, {whole.subspan(u.offset, size), u.header, layout_update(whole, u).processors}, true});
    }
}

void HeaderFirstSource::read_all_whole() {
    std::vector<Entry> rebuilt;
    auto e = entries_.begin();  // the entries come file by file, in the files' order
    for (std::size_t f = 0; f < paths_.size(); ++f) {
        const auto end = std::find_if(e, entries_.end(), [&](const Entry& x) { return x.file != f; });
        if (whole_[f]) {
            rebuilt.insert(rebuilt.end(), std::make_move_iterator(e), std::make_move_iterator(end));
        } else {
            read_whole(f, rebuilt);
            whole_[f] = true;
        }
        e = end;
    }
    entries_ = std::move(rebuilt);
    flatten();
}

void HeaderFirstSource::flatten() {
    updates_.clear();
    updates_.reserve(entries_.size());
    for (const Entry& e : entries_) {
        updates_.push_back(e.update);
    }
}

bool HeaderFirstSource::read(std::span<const std::size_t> which, bool keep) {
    // Read file by file, each opened once.
    std::vector<std::size_t> wanted;
    for (const std::size_t i : which) {
        if (!entries_[i].checked || (keep && entries_[i].update.bytes.empty())) {
            wanted.push_back(i);
        }
    }
    std::sort(wanted.begin(), wanted.end());
    bool damaged = false;
    std::size_t open_file = paths_.size();
    File file;
    for (const std::size_t i : wanted) {
        Entry& e = entries_[i];
        if (e.file != open_file) {
            file.reset(platform::open_for_reading(paths_[e.file].c_str()));
            open_file = e.file;
        }
        std::vector<std::uint8_t>& bytes = keep ? held_.emplace_back() : scratch_;
        if (bytes.size() < e.size) {
            bytes.resize(e.size);  // the scratch grows once, never cleared
        }
        const Image read(bytes.data(), e.size);
        if (file && platform::read_at(file.get(), e.offset, bytes.data(), e.size) &&
            check_update(read, 0).status == UpdateStatus::ok) {
            e.checked = true;
            if (keep) {
                e.update.bytes = read;
                updates_[i].bytes = read;
            }
        } else {
            if (keep) {
                held_.pop_back();
            }
            damaged = true;
        }
    }
    if (!damaged) {
        return true;
    }
    // Rereading only the damaged update's file would let each next choice
    // rest on another damaged update, a round for each: every file is read
    // whole at once instead, as though headers had never been read.
    read_all_whole();
    return false;
}

}  // namespace tarnwick
