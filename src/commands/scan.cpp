#include <array>
#include <cstdio>
#include <optional>
#include <ostream>
#include <string_view>
#include <vector>

#include "commands/commands.h"
#include "commands/file.h"
#include "search/microcode_header.h"

namespace tarnwick {

namespace {

constexpr std::size_t key_length = 48;
using Key = std::array<char, key_length + 1>;

// The words of the database are separated by what fscanf's %s skips.
constexpr std::array<bool, 256> make_blank_table() {
    std::array<bool, 256> t{};
    for (char c : std::string_view(" \t\n\v\f\r")) {
        t[static_cast<unsigned char>(c)] = true;
    }
    return t;
}
constexpr std::array<bool, 256> is_blank = make_blank_table();

// Reads the whole database from its start and tells whether one of its words
// is exactly `key`, or nothing when it can't be read. Words are matched
// against the key as they stream past, so a word of any length costs no
// memory; `chunk` is reused across calls.
std::optional<bool> database_holds(std::FILE* db, std::string_view key,
                                   std::vector<unsigned char>& chunk) {
    std::rewind(db);
    bool found = false;
    std::size_t word_length = 0;   // characters of the current word so far
    bool still_equal = true;       // the current word so far is a prefix of the key
    for (;;) {
        const std::size_t n = std::fread(chunk.data(), 1, chunk.size(), db);
        for (std::size_t i = 0; i < n; ++i) {
            const unsigned char c = chunk[i];
            if (is_blank[c]) {
                if (word_length == key.size() && still_equal) {
                    found = true;
                }
                word_length = 0;
                still_equal = true;
                continue;
            }
            if (still_equal) {
                still_equal = word_length < key.size() && key[word_length] == static_cast<char>(c);
            }
            ++word_length;
        }
        if (n < chunk.size()) {
            break;
        }
    }
    if (std::ferror(db)) {
        return std::nullopt;
    }
    return found || (word_length == key.size() && still_equal);
}

ExitStatus database_unreadable(const char* path, std::ostream& out) {
    out << "File " << path << " can't be opened.\n";
    return ExitStatus::cannot_open;
}

}  // namespace

ExitStatus run_scan_with_database(Image image, const char* database_path, std::ostream& out) {
    // Opening a directory succeeds on some systems; only a read tells. A
    // database that can't be read must not make every key look new.
    const File db(std::fopen(database_path, "r"));
    if (!db || (std::fgetc(db.get()) == EOF && std::ferror(db.get()))) {
        return database_unreadable(database_path, out);
    }

    // Keys are kept in memory, in input order; the same update stored twice
    // is looked up and reported twice.
    std::vector<Key> keys;
    const bool any_candidate = for_each_qualifying_header(image, [&](const MicrocodeUpdateHeader& h) {
        Key key{};
        std::snprintf(key.data(), key.size(), "%08X%08X%08X%08X%08X%08X", h.processor_signature,
                      h.processor_flags, h.update_revision, h.date, h.total_size, h.checksum);
        keys.push_back(key);
    });
    if (!any_candidate) {
        return ExitStatus::not_found;
    }

    std::vector<unsigned char> chunk(64 * 1024);
    for (const Key& key : keys) {
        const std::string_view text(key.data(), key_length);
        const std::optional<bool> known = database_holds(db.get(), text, chunk);
        if (!known) {
            return database_unreadable(database_path, out);
        }
        if (!*known) {
            out << "Found new Microcode " << text << '\n';
        }
    }
    return ExitStatus::done;
}

ExitStatus run_scan(Image image, std::ostream& out) {
    return run_scan_with_database(image, "ZOR.dat", out);
}

}  // namespace tarnwick
