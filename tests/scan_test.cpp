// The one-pass scan against the plain one: for each key in input order, read
// the whole database from its start, word by word, and report the key if no
// word equals it.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "commands/commands.h"
#include "intel/microcode_header.h"
#include "synth.h"

namespace {

namespace fs = std::filesystem;
using synth::Bytes;

std::string reference_scan(const Bytes& image, std::string database) {
    if (database.rfind("\xEF\xBB\xBF", 0) == 0) {
        database.erase(0, 3);
    }
    std::vector<std::string> keys;
    tarnwick::for_each_qualifying_header(image, [&](const tarnwick::MicrocodeUpdateHeader&, std::size_t at) {
        keys.push_back(synth::key_of(image, at));
    });
    std::string out;
    for (const std::string& key : keys) {
        std::istringstream words(database);
        bool known = false;
        for (std::string word; words >> word;) {
            known = known || word == key;
        }
        if (!known) {
            out += "Found new Microcode " + key + "\n";
        }
    }
    return out;
}

struct Random {
    std::uint64_t state;
    std::uint32_t below(std::uint32_t n) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<std::uint32_t>(state >> 33) % n;
    }
};

TEST(ScanDifferential, AgreesWithRereadingPerKey) {
    Random r{2026};
    // A small pool, so that inputs repeat keys and databases hold some.
    std::vector<Bytes> pool;
    for (std::uint32_t i = 0; i < 12; ++i) {
        pool.push_back(synth::make_update({.revision = i % 5, .date = 0x03151999 + (i % 3) * 0x10000,
                                           .signature = 0x906E0 + i % 4, .flags = 1u << (i % 8),
                                           .data_size = 0x40, .extra_signatures = {}}));
    }
    const fs::path path = fs::temp_directory_path() / ("tarnwick-scan-" + std::to_string(::getpid()) + ".dat");
    for (int round = 0; round < 400; ++round) {
        Bytes image(r.below(8), 0xFF);
        for (std::uint32_t n = r.below(10); n > 0; --n) {
            synth::append(image, pool[r.below(12)]);
            image.resize(image.size() + r.below(3), 0x00);
        }
        std::string db = r.below(4) == 0 ? "\xEF\xBB\xBF" : "";
        static const char* const blanks[] = {" ", "\n", "\r\n", "\t", "\v", "\f", "  \n"};
        for (std::uint32_t n = r.below(12); n > 0; --n) {
            std::string word = synth::key_of(pool[r.below(12)]);
            switch (r.below(8)) {
                case 0: {
                    char& c = word[r.below(48)];
                    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                    break;
                }
                case 1: word.resize(r.below(48)); break;
                case 2: word = std::string(1 + r.below(20), 'x') + word; break;
                case 3: word += std::string(1 + r.below(20), '0'); break;
                case 4: word = "\xEF\xBB\xBF" + word; break;
                default: break;
            }
            db += word + blanks[r.below(7)];
        }
        if (r.below(2) == 0 && !db.empty() && std::isspace(static_cast<unsigned char>(db.back()))) {
            db.pop_back();  // the last word without a line end
        }
        synth::write_file(path.string(), db);
        std::ostringstream out;
        const tarnwick::ExitStatus status = tarnwick::run_scan_with_database(image, path.string().c_str(), out);
        const bool any_marker = tarnwick::find_pattern(image, 0, tarnwick::header_marker).has_value();
        ASSERT_EQ(status, any_marker ? tarnwick::ExitStatus::done : tarnwick::ExitStatus::not_found) << round;
        ASSERT_EQ(out.str(), reference_scan(image, db)) << "round " << round << ", database:\n" << db;
    }
    fs::remove(path);
}

}  // namespace
