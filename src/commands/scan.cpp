#include <array>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <ostream>
#include <string_view>

#include "commands/commands.h"
#include "commands/file.h"
#include "intel/microcode_header.h"

namespace tarnwick {

namespace {

// A key is six header fields, each printed as 8 upper-case hex digits. Two
// keys print the same text exactly when their fields are equal, so the
// database's words are decoded and compared as fields.
using Key = MicrocodeKey;
constexpr std::size_t key_length = std::tuple_size_v<Key> * 8;

Key key_of(const MicrocodeUpdateHeader& h) { return microcode_key(h); }

// What each byte of the database is: a digit of a key (its value), another
// character of a word, or one of the blanks that fscanf's %s skips.
constexpr std::uint8_t other_char = 16;
constexpr std::uint8_t blank = 17;
constexpr std::array<std::uint8_t, 256> make_char_classes() {
    std::array<std::uint8_t, 256> t{};
    for (auto& c : t) {
        c = other_char;
    }
    for (char c : std::string_view(" \t\n\v\f\r")) {
        t[static_cast<unsigned char>(c)] = blank;
    }
    for (std::uint8_t d = 0; d < 10; ++d) {
        t['0' + d] = d;
    }
    for (std::uint8_t d = 0; d < 6; ++d) {
        t['A' + d] = static_cast<std::uint8_t>(10 + d);
    }
    return t;
}
constexpr std::array<std::uint8_t, 256> char_class = make_char_classes();

// The image's distinct keys, each with a flag for "the database holds it":
// an open-addressing table of indexes into the keys in input order. Memory
// is per key only: a position (8 bytes), its slot (4) and at most 3 slots
// of 4 bytes. A slot holds the index, the flag and, in the bits the index
// leaves free, a few bits of the key's hash: a probe that meets another key
// then seldom has to read that key's header from the image.
class KeySet {
public:
    // Holds `count` keys, or is empty when that can't be had.
    explicit KeySet(std::size_t count) {
        if (count >= max_keys) {
            return;
        }
        std::size_t slots = 4;
        while (slots < count + count / 2 + 1) {
            slots *= 2;
        }
        positions_.reset(new (std::nothrow) std::size_t[count]);
        slot_of_.reset(new (std::nothrow) std::uint32_t[count]);
        table_.reset(new (std::nothrow) std::uint32_t[slots]);
        if (!positions_ || !slot_of_ || !table_) {
            return;
        }
        for (std::size_t s = 0; s < slots; ++s) {
            table_[s] = empty_slot;
        }
        mask_ = slots - 1;
        // Indexes run below `count`, so an index field of all ones (and with
        // it the empty slot) never names a key.
        const auto index_width = std::bit_width(count);
        index_mask_ = static_cast<std::uint32_t>((std::uint64_t{1} << index_width) - 1);
        tag_mask_ = ~index_mask_ & ~known_bit;
        capacity_ = count;
        ok_ = true;
    }
    explicit operator bool() const { return ok_; }

    // Records the position of the next header in input order. Ignores any
    // beyond `count`: a file that changes under the mapping may hold more
    // headers now than when they were counted.
    void push(std::size_t position) {
        if (count_ < capacity_) {
            positions_[count_++] = position;
        }
    }

    // Enters every pushed key into the table. The table is far larger than
    // the caches once keys run into the millions, so every slot is asked
    // for well before it is probed.
    void index(Image image) {
        Key keys[batch];
        std::uint64_t hashes[batch];
        for (std::size_t b = 0; b < count_; b += batch) {
            const std::size_t n = count_ - b < batch ? count_ - b : batch;
            for (std::size_t k = 0; k < n; ++k) {
                keys[k] = key_at(image, b + k);
                hashes[k] = hash(keys[k]);
                prefetch(&table_[hashes[k] & mask_]);
            }
            for (std::size_t k = 0; k < n; ++k) {
                insert(image, b + k, keys[k], hashes[k]);
            }
        }
    }

    void mark_known(Image image, const Key& key) {
        const std::uint64_t h = hash(key);
        for (std::size_t s = h & mask_; table_[s] != empty_slot; s = (s + 1) & mask_) {
            if (holds(image, table_[s], tag_of(h), key)) {
                table_[s] |= known_bit;
                return;
            }
        }
    }

    std::size_t size() const { return count_; }
    bool known(std::size_t index) const {
        if (index + prefetch_distance < count_) {
            prefetch(&table_[slot_of_[index + prefetch_distance]]);
        }
        return (table_[slot_of_[index]] & known_bit) != 0;
    }
    Key key(Image image, std::size_t index) const { return key_at(image, index); }

private:
    static constexpr std::uint32_t known_bit = 0x80000000u;
    static constexpr std::uint32_t empty_slot = 0xFFFFFFFFu;
    static constexpr std::size_t max_keys = 0x7FFFFFFFu;

    static constexpr std::size_t batch = 32;
    static constexpr std::size_t prefetch_distance = 32;

    static void prefetch([[maybe_unused]] const void* p) {
#if defined(__GNUC__)
        __builtin_prefetch(p);
#endif
    }

    std::uint32_t tag_of(std::uint64_t h) const { return static_cast<std::uint32_t>(h >> 32) & tag_mask_; }

    // Whether `slot` stands for `key`; the tag rules most others out.
    bool holds(Image image, std::uint32_t slot, std::uint32_t tag, const Key& key) const {
        return (slot & tag_mask_) == tag && key_at(image, slot & index_mask_) == key;
    }

    void insert(Image image, std::size_t index, const Key& key, std::uint64_t h) {
        const std::uint32_t tag = tag_of(h);
        std::size_t s = h & mask_;
        for (; table_[s] != empty_slot; s = (s + 1) & mask_) {
            if (holds(image, table_[s], tag, key)) {
                break;
            }
        }
        if (table_[s] == empty_slot) {
            table_[s] = static_cast<std::uint32_t>(index) | tag;
        }
        slot_of_[index] = static_cast<std::uint32_t>(s);
    }

    static std::uint64_t hash(const Key& key) {
        std::uint64_t h = 0x9E3779B97F4A7C15ull;
        for (std::uint32_t field : key) {
            h = (h ^ field) * 0xFF51AFD7ED558CCDull;
        }
        h ^= h >> 33;
        h *= 0xC4CEB9FE1A85EC53ull;
        return h ^ (h >> 33);
    }
    Key key_at(Image image, std::size_t index) const { return key_of(*view_header(image, positions_[index])); }

    std::unique_ptr<std::size_t[]> positions_;
    std::unique_ptr<std::uint32_t[]> slot_of_;
    std::unique_ptr<std::uint32_t[]> table_;
    std::size_t mask_ = 0;
    std::uint32_t index_mask_ = 0;
    std::uint32_t tag_mask_ = 0;
    std::size_t capacity_ = 0;
    std::size_t count_ = 0;
    bool ok_ = false;
};

// Reads the database once, start to end, and marks every key of `keys` that
// one of its words spells exactly. False when it can't be read. A UTF-8
// byte-order mark that opens the file is not part of its first word.
bool mark_known_keys(std::FILE* db, Image image, KeySet& keys) {
    constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";
    std::size_t mark_seen = 0;       // bytes of the mark matched at the file's start
    bool at_start = true;
    std::size_t word_length = 0;     // characters of the current word so far
    bool spells_key = true;          // every character so far is a key digit
    Key key{};
    auto end_word = [&] {
        if (word_length == key_length && spells_key) {
            keys.mark_known(image, key);
        }
        word_length = 0;
        spells_key = true;
        key = {};
    };
    // A cut mark is the start of a word that is no key.
    auto leave_start = [&] {
        at_start = false;
        word_length = mark_seen;
        spells_key = mark_seen == 0;
    };
    unsigned char chunk[64 * 1024];
    for (;;) {
        const std::size_t n = std::fread(chunk, 1, sizeof chunk, db);
        for (std::size_t i = 0; i < n; ++i) {
            const unsigned char c = chunk[i];
            if (at_start) {
                if (c == static_cast<unsigned char>(byte_order_mark[mark_seen])) {
                    if (++mark_seen == byte_order_mark.size()) {
                        at_start = false;
                    }
                    continue;
                }
                leave_start();
            }
            const std::uint8_t kind = char_class[c];
            if (kind == blank) {
                end_word();
                continue;
            }
            if (kind == other_char || word_length >= key_length) {
                spells_key = false;
            } else {
                std::uint32_t& field = key[word_length / 8];
                field = field << 4 | kind;
            }
            ++word_length;
        }
        if (n < sizeof chunk) {
            break;
        }
    }
    if (at_start) {
        leave_start();
    }
    end_word();
    return !std::ferror(db);
}

void print_new_key(std::ostream& out, const Key& key) {
    static constexpr char digits[] = "0123456789ABCDEF";
    constexpr std::string_view prefix = "Found new Microcode ";
    char line[prefix.size() + key_length + 1];
    std::size_t at = 0;
    for (char c : prefix) {
        line[at++] = c;
    }
    for (std::uint32_t field : key) {
        for (int shift = 28; shift >= 0; shift -= 4) {
            line[at++] = digits[(field >> shift) & 0xF];
        }
    }
    line[at++] = '\n';
    out.write(line, static_cast<std::streamsize>(at));
}

ExitStatus database_unreadable(const char* path, std::ostream& out) {
    out << "File " << path << " can't be opened.\n";
    return ExitStatus::cannot_open;
}

}  // namespace

ExitStatus run_scan_with_database(Image image, const char* database_path, std::ostream& out) {
    // Opening a directory succeeds on some systems; only a read tells. A
    // database that can't be read must not make every key look new. The
    // probed byte goes back, so a database that can only be read forwards
    // (a pipe) loses nothing.
    const File db(std::fopen(database_path, "r"));
    if (!db) {
        return database_unreadable(database_path, out);
    }
    const int first = std::fgetc(db.get());
    if (first == EOF ? std::ferror(db.get()) != 0 : std::ungetc(first, db.get()) == EOF) {
        return database_unreadable(database_path, out);
    }

    // Counted first, so that the keys take exactly the memory they need.
    std::size_t count = 0;
    const bool any_candidate = for_each_qualifying_header(image, [&](const MicrocodeUpdateHeader&) { ++count; });
    if (!any_candidate) {
        return ExitStatus::not_found;
    }
    KeySet keys(count);
    if (!keys) {
        out << "Can't allocate memory for file contents.\n";
        return ExitStatus::no_memory;
    }
    for_each_qualifying_header(image, [&](const MicrocodeUpdateHeader&, std::size_t position) { keys.push(position); });
    keys.index(image);

    // Nothing is printed until the whole database has been read, so a read
    // error prints its message alone.
    if (!mark_known_keys(db.get(), image, keys)) {
        return database_unreadable(database_path, out);
    }
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (!keys.known(i)) {
            print_new_key(out, keys.key(image, i));
        }
    }
    return ExitStatus::done;
}

ExitStatus run_scan(Image image, std::ostream& out) {
    return run_scan_with_database(image, "ZOR.dat", out);
}

}  // namespace tarnwick
