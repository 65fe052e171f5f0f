// What any input may cost: crafted files whose headers share or overlap
// their extended tables must not make any command's output or memory grow
// faster than the file; and the README's recipe for a corpus keeps every
// JSON line whole under parallel runs. Runs the built tool natively: peak
// memory is the child's own, which an emulator or Wine would swamp.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "manifests.h"
#include "synth.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct ChildRun {
    int code = -1;
    std::uintmax_t out_bytes = 0;
    long peak_kib = 0;  // the child's peak resident memory
};

class Dir {
public:
    explicit Dir(const std::string& tag) {
        path_ = fs::temp_directory_path() / ("tarnwick-bounds-" + tag + "-" + std::to_string(::getpid()));
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~Dir() { fs::remove_all(path_); }
    const fs::path& path() const { return path_; }

    // Runs the tool with `args` in this directory, standard output to a file.
    ChildRun run(const std::vector<std::string>& args) const {
        const fs::path out = path_ / "stdout";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        std::vector<std::string> all = {TARNWICK_BINARY};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        const fs::path previous = fs::current_path();
        fs::current_path(path_);
        pid_t pid = 0;
        const int spawned = posix_spawn(&pid, TARNWICK_BINARY, &actions, nullptr, argv.data(), environ);
        fs::current_path(previous);
        posix_spawn_file_actions_destroy(&actions);
        ChildRun r;
        if (spawned != 0) {
            ADD_FAILURE() << "can't start " << TARNWICK_BINARY;
            return r;
        }
        int status = 0;
        rusage usage{};
        ::wait4(pid, &status, 0, &usage);
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out_bytes = fs::file_size(out);
        r.peak_kib = usage.ru_maxrss;
        fs::remove(out);
        return r;
    }

private:
    fs::path path_;
};

bool skipped_here(std::string& why) {
    if (std::getenv("TARNWICK_COMMAND") != nullptr) {
        why = "the tool runs under another command here, whose memory would be measured instead";
        return true;
    }
    return false;
}

// The bounds any input must keep, in bytes.
std::uintmax_t output_bound(std::uintmax_t input) { return 128 * input + (1u << 20); }
std::uintmax_t memory_bound(std::uintmax_t input) { return 32 * input + (std::uintmax_t{96} << 20); }

TEST(Bounds, CraftedTablesCostNoMoreThanTheirSize) {
    std::string why;
    if (skipped_here(why)) {
        GTEST_SKIP() << why;
    }
    struct Shape {
        const char* name;
        synth::Crafted shape;
    };
    const Shape shapes[] = {
        {"headers sharing one table", synth::Crafted::shared_table},
        {"the same, every checksum right", synth::Crafted::shared_table_intact},
        {"tables 4 bytes apart", synth::Crafted::staggered_tables},
        {"AMD patches sharing one long table entry", synth::Crafted::amd_shared_table},
    };
    // Two sizes: a fault that grows with the product shows at the second
    // long before it shows in absolute figures.
    const std::pair<std::size_t, std::size_t> sizes[] = {{300, 3000}, {1200, 12000}};
    const std::vector<std::vector<std::string>> commands = {
        {"-info"}, {"-scan"}, {"-check"}, {"-fit"}, {"-verify"}, {"-fitcheck"}, {"-json"}, {"-latest", "ref"},
        {"-extract", "out"},
    };
    for (const Shape& s : shapes) {
        for (const auto& [headers, entries] : sizes) {
            Dir dir("read");
            const synth::Bytes file = synth::make_crafted(s.shape, headers, entries);
            synth::write_file((dir.path() / "crafted.bin").string(), file);
            synth::write_file((dir.path() / "ZOR.dat").string(), std::string());
            fs::create_directory(dir.path() / "ref");
            synth::write_file((dir.path() / "ref" / "crafted.bin").string(), file);
            for (std::vector<std::string> args : commands) {
                const std::string command = args[0];
                args.insert(args.begin() + 1, "crafted.bin");
                SCOPED_TRACE(std::string(s.name) + ", " + std::to_string(headers) + " headers, " +
                             std::to_string(entries) + " entries: " + command);
                const ChildRun r = dir.run(args);
                EXPECT_NE(r.code, 5) << "ran out of memory";
                EXPECT_LE(r.out_bytes, output_bound(file.size()));
#if !TARNWICK_SANITIZED
                EXPECT_LE(std::uintmax_t(r.peak_kib) * 1024, memory_bound(file.size()));
#endif
            }
        }
    }
}

// A boot policy manifest of tens of thousands of IBB segments, named by as
// many FIT entries as are read: what -json and -fitcheck list grows with the
// file, not with entries times segments.
TEST(Bounds, BootGuardSegmentsCostNoMoreThanTheirSize) {
    std::string why;
    if (skipped_here(why)) {
        GTEST_SKIP() << why;
    }
    // Its offsets are 16 bits: 16 sets fill most of the 64 KiB it can span.
    for (const std::size_t sets : {std::size_t{4}, std::size_t{16}}) {
        SCOPED_TRACE(std::to_string(sets) + " sets of 255 segments");
        synth::BootPolicy policy{.version = 0x25, .sets = {}, .unknown_element = false};
        for (std::size_t s = 0; s < sets; ++s) {
            std::vector<synth::IbbRange> set;
            for (std::uint32_t i = 0; i < 255; ++i) {
                set.push_back({0xFFF00000u + i * 0x100, 0x100, i % 2 == 0});
            }
            policy.sets.push_back(set);
        }
        const synth::Bytes bpm = synth::boot_policy(policy);
        synth::Bytes image(bpm.size() + 0x10000, 0xFF);
        std::copy(bpm.begin(), bpm.end(), image.begin());
        // A FIT of eight entries that all name the one manifest.
        const std::size_t fit = image.size() - 0x1000;
        synth::Bytes table(9 * 16, 0);
        const char signature[] = "_FIT_   ";
        std::copy(signature, signature + 8, table.begin());
        table[8] = 9;
        table[13] = 1;
        for (std::size_t e = 16; e < table.size(); e += 16) {
            synth::put_le64(table, e, synth::address_of(image, 0));
            synth::put_le32(table, e + 8, static_cast<std::uint32_t>(bpm.size()));
            table[e + 13] = 1;
            table[e + 14] = 0x0C;
        }
        std::copy(table.begin(), table.end(), image.begin() + static_cast<std::ptrdiff_t>(fit));
        synth::put_fit_pointer(image, synth::address_of(image, fit));
        Dir dir("guard");
        synth::write_file((dir.path() / "guard.bin").string(), image);
        for (const char* command : {"-fitcheck", "-json"}) {
            SCOPED_TRACE(command);
            const ChildRun r = dir.run({command, "guard.bin"});
            EXPECT_EQ(r.code, 0);
            EXPECT_GT(r.out_bytes, sets * 255 * 8 * 10) << "every segment of every entry's manifest listed";
            EXPECT_LE(r.out_bytes, output_bound(image.size()));
#if !TARNWICK_SANITIZED
            EXPECT_LE(std::uintmax_t(r.peak_kib) * 1024, memory_bound(image.size()));
#endif
        }
    }
}

TEST(Bounds, ExtractRefusesToMultiplyAnUpdate) {
    std::string why;
    if (skipped_here(why)) {
        GTEST_SKIP() << why;
    }
    // One intact update that serves thousands of processors would be copied
    // into the file of each.
    Dir dir("extract");
    const synth::Bytes file = synth::make_crafted(synth::Crafted::shared_table_intact, 1, 6000);
    synth::write_file((dir.path() / "one.bin").string(), file);
    const ChildRun r = dir.run({"-extract", "one.bin", "out"});
    EXPECT_EQ(r.code, 7);
    EXPECT_LE(r.out_bytes, 200u) << "one line";
    EXPECT_FALSE(fs::exists(dir.path() / "out")) << "nothing written";

    // Below the limit the same shape is written.
    const synth::Bytes small = synth::make_crafted(synth::Crafted::shared_table_intact, 1, 40);
    synth::write_file((dir.path() / "small.bin").string(), small);
    EXPECT_EQ(dir.run({"-extract", "small.bin", "out"}).code, 0);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path() / "out"), fs::directory_iterator()), 41);
}

// The README's corpus recipe, as it stands there.
std::string readme_recipe() {
    std::ifstream readme(TARNWICK_README);
    std::string line;
    while (std::getline(readme, line)) {
        if (line.find("| parallel ") != std::string::npos && line.find("-json") != std::string::npos) {
            return line;
        }
    }
    return {};
}

TEST(Bounds, CorpusRecipeKeepsEveryLineWhole) {
    std::string why;
    if (skipped_here(why)) {
        GTEST_SKIP() << why;
    }
    if (std::system("command -v parallel >/dev/null && command -v jq >/dev/null") != 0) {
        GTEST_SKIP() << "needs GNU parallel and jq (scripts/check.sh installs them)";
    }
    const std::string recipe = readme_recipe();
    ASSERT_NE(recipe, "") << "the README shows the recipe";

    Dir dir("recipe");
    fs::create_directory(dir.path() / "fw");
    // Files from one update to containers whose lines pass 16 KiB.
    for (std::size_t f = 0; f < 60; ++f) {
        synth::Bytes container;
        for (std::size_t u = 0; u < 1 + (f % 6) * 15; ++u) {
            synth::append(container, synth::make_update({.revision = static_cast<std::uint32_t>(u + 1),
                                                         .data_size = 0x40,
                                                         .extra_signatures = {0x906EB, 0x906EC}}));
        }
        const fs::path name = dir.path() / "fw" / std::to_string(f);
        synth::write_file(name.string(), container);
    }
    const std::string bin_dir = fs::path(TARNWICK_BINARY).parent_path().string();
    // Four jobs, through parallel's own variable for default options.
    const std::string run = "cd '" + dir.path().string() + "' && export PATH='" + bin_dir +
                            "':\"$PATH\" PARALLEL=-j4 && " + recipe +
                            " && jq -c '[.file, (.updates | length)]' inventory.jsonl >checked 2>&1";
    bool long_line = false;
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(testing::Message() << "round " << round);
        fs::remove(dir.path() / "inventory.jsonl");
        ASSERT_EQ(std::system(run.c_str()), 0) << "every line parses";
        std::ifstream lines(dir.path() / "inventory.jsonl");
        std::map<std::string, int> per_file;
        std::string line;
        while (std::getline(lines, line)) {
            long_line = long_line || line.size() > 16384;
            const std::size_t at = line.find("\"file\":\"");
            ASSERT_NE(at, std::string::npos) << line.substr(0, 200);
            ++per_file[line.substr(at + 8, line.find('"', at + 8) - at - 8)];
        }
        EXPECT_EQ(per_file.size(), 60u);
        for (const auto& [file, count] : per_file) {
            EXPECT_EQ(count, 1) << file;
        }
    }
    EXPECT_TRUE(long_line) << "some lines pass 16 KiB";
}

}  // namespace
