// The writer behind -extract: all files or none, and nothing that exists is
// ever changed.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "app/write_files.h"
#include "synth.h"

namespace {

namespace fs = std::filesystem;

std::string read_all(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

// Every path below `root` with its content ("/" for a directory), sorted.
std::vector<std::string> tree(const fs::path& root) {
    std::vector<std::string> entries;
    if (!fs::exists(root)) {
        return entries;
    }
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        const std::string rel = fs::relative(e.path(), root).string();
        entries.push_back(e.is_directory() ? rel + "/" : rel + "=" + read_all(e.path()));
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

const std::uint8_t bytes_a[] = {'A', 'A'};
const std::uint8_t bytes_b[] = {'B'};

tarnwick::OutputFile file(const std::string& name, std::initializer_list<tarnwick::Image> pieces) {
    return {name, std::vector<tarnwick::Image>(pieces)};
}

TEST(DirectoryWriter, AllOrNothing) {
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> setup;  // on the scratch directory
        std::string target;                          // relative to it
        std::vector<tarnwick::OutputFile> files;
        std::string failure;  // a part of the message; empty when it succeeds
        std::vector<std::string> after;  // the scratch directory's tree afterwards
    };
    const auto nothing = [](const fs::path&) {};
    const std::vector<Case> cases = {
        {"a new directory", nothing, "out", {file("a", {bytes_a, bytes_b}), file("b", {bytes_b})}, "",
         {"out/", "out/a=AAB", "out/b=B"}},
        {"an existing empty directory", [](const fs::path& d) { fs::create_directory(d / "out"); }, "out/",
         {file("a", {bytes_a})}, "", {"out/", "out/a=AA"}},
        {"a foreign file under the temporary name",
         [](const fs::path& d) { fs::create_directory(d / "out"); synth::write_file((d / "out/.a.tarnwick-0").string(), "x"); },
         "out", {file("a", {bytes_a})}, "", {"out/", "out/.a.tarnwick-0=x", "out/a=AA"}},
        {"a target that exists",
         [](const fs::path& d) { fs::create_directory(d / "out"); synth::write_file((d / "out/b").string(), "old"); },
         "out", {file("a", {bytes_a}), file("b", {bytes_b})}, "out/b exists already", {"out/", "out/b=old"}},
        {"a target name taken by a directory", [](const fs::path& d) { fs::create_directories(d / "out/b"); }, "out",
         {file("a", {bytes_a}), file("b", {bytes_b})}, "out/b exists already", {"out/", "out/b/"}},
        {"a failure midway in a new directory", nothing, "out",
         {file("a", {bytes_a}), file("missing/b", {bytes_b})}, "Can't write", {}},
        {"a failure midway in an existing directory",
         [](const fs::path& d) { fs::create_directory(d / "out"); synth::write_file((d / "out/mine").string(), "m"); },
         "out", {file("a", {bytes_a}), file("missing/b", {bytes_b})}, "Can't write",
         {"out/", "out/mine=m"}},
        {"a name the system refuses", nothing, "out", {file("a", {bytes_a}), file(std::string(300, 'n'), {bytes_b})},
         "Can't write", {}},
        {"the directory's parent missing", nothing, "no/out", {file("a", {bytes_a})}, "Can't create directory", {}},
        {"the directory is a file", [](const fs::path& d) { synth::write_file((d / "out").string(), "f"); }, "out",
         {file("a", {bytes_a})}, "is not a directory", {"out=f"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path scratch = fs::temp_directory_path() / ("tarnwick-write-" + std::to_string(::getpid()));
        fs::remove_all(scratch);
        fs::create_directory(scratch);
        c.setup(scratch);
        tarnwick::DirectoryWriter writer((scratch / c.target).string());
        const std::optional<std::string> failed = writer.write_all(c.files);
        if (c.failure.empty()) {
            EXPECT_EQ(failed, std::nullopt);
        } else {
            ASSERT_TRUE(failed.has_value());
            EXPECT_NE(failed->find(c.failure), std::string::npos) << *failed;
        }
        EXPECT_EQ(tree(scratch), c.after);
        fs::remove_all(scratch);
    }
}

}  // namespace
