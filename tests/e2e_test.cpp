// Runs the built tool on files written to a fresh directory and compares its
// whole standard output and exit code. TARNWICK_COMMAND, when set, is the
// command that starts the tool instead (a Windows build under Wine, say);
// TARNWICK_CRLF=1 then expects every line to end with "\r\n".

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "flash.h"
#include "synth.h"

namespace {

namespace fs = std::filesystem;
using synth::Bytes;

struct Result {
    std::string out;
    int code;
};

bool under_other_command() { return std::getenv("TARNWICK_COMMAND") != nullptr; }
// A Windows build under Wine: no FIFOs, /proc or POSIX shell semantics.
bool windows_build() { return std::getenv("TARNWICK_CRLF") != nullptr; }

std::string tool_command() {
    const char* other = std::getenv("TARNWICK_COMMAND");
    return other != nullptr ? other : "'" TARNWICK_BINARY "'";
}

std::string read_file(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string text(const Bytes& b) { return std::string(b.begin(), b.end()); }

// The tool's last command line and what it wrote to standard error. When a
// check fails, both are printed: an emulator's or Wine's own trouble (a lost
// server connection, say) then names itself instead of passing for a wrong
// output or exit code.
struct LastRun {
    std::string command;
    std::string err;
};
LastRun last_run;

class PrintStandardErrorOnFailure : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override { last_run = {}; }
    void OnTestPartResult(const testing::TestPartResult& result) override {
        if (result.failed() && !last_run.command.empty()) {
            std::printf("  the tool's last run: %s\n  its standard error: %s\n", last_run.command.c_str(),
                        last_run.err.empty() ? "(empty)" : last_run.err.c_str());
        }
    }
};
const bool listening = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new PrintStandardErrorOnFailure);
    return true;
}();

class Workdir {
public:
    Workdir() {
        static int serial = 0;
        dir_ = fs::temp_directory_path() /
               ("tarnwick-e2e-" + std::to_string(::getpid()) + "-" + std::to_string(serial++));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    ~Workdir() { fs::remove_all(dir_); }
    const fs::path& path() const { return dir_; }
    void put(const std::string& name, const std::string& content) const {
        synth::write_file((dir_ / name).string(), content);
    }

    // Runs `shell_prefix tool args` in the directory; output goes to files
    // outside it, so the directory holds only what the test put there.
    Result run(const std::vector<std::string>& args, const std::string& shell_prefix = "") const {
        std::string cmd = shell_prefix + tool_command();
        for (const std::string& a : args) {
            cmd += " '" + a + "'";
        }
        return shell(cmd);
    }

    // Runs a shell command line in the directory, as run() runs the tool.
    Result shell(const std::string& command) const {
        const fs::path out = dir_.string() + ".out";
        const std::string cmd = "cd '" + dir_.string() + "' && { " + command + "\n} >'" + out.string() + "' 2>'" +
                                out.string() + ".err'";
        const int status = std::system(cmd.c_str());
        Result r{read_file(out), WIFEXITED(status) ? WEXITSTATUS(status) : -1};
        const std::string err = read_file(out.string() + ".err");
        last_run = {command, err};
        fs::remove(out);
        fs::remove(out.string() + ".err");
        if (!windows_build()) {
            EXPECT_EQ(err, "") << "nothing goes to standard error";
        }
        if (std::getenv("TARNWICK_CRLF") != nullptr) {
            r.out = from_crlf(r.out);
        }
        return r;
    }

    // Runs `shell_prefix tool args shell_suffix` in the directory with the
    // caller's own redirections, and returns only the exit code.
    int status_of(const std::vector<std::string>& args, const std::string& shell_suffix,
                  const std::string& shell_prefix = "") const {
        std::string cmd = "cd '" + dir_.string() + "' && " + shell_prefix + tool_command();
        for (const std::string& a : args) {
            cmd += " '" + a + "'";
        }
        const int status = std::system((cmd + " " + shell_suffix).c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    // Windows text mode ends every line with "\r\n"; a bare "\n" there is a fault.
    static std::string from_crlf(const std::string& s) {
        std::string plain;
        for (std::size_t i = 0; i < s.size(); ++i) {
            if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') {
                continue;
            }
            EXPECT_FALSE(s[i] == '\n' && (i == 0 || s[i - 1] != '\r')) << "bare line end at " << i;
            plain += s[i];
        }
        return plain;
    }

    fs::path dir_;
};

struct Case {
    const char* name;
    std::map<std::string, std::string> files;
    std::vector<std::string> args;
    std::string out;
    int code;
};

void run_cases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Workdir dir;
        for (const auto& [name, content] : c.files) {
            dir.put(name, content);
        }
        const Result r = dir.run(c.args);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.code, c.code);
    }
}

const std::string usage =
    "  Tarnwick v0..4.2\n"
    " Usage:\n"
    " Tarnwick -info <mCode file or container>\n"
    "   - Microcode information\n"
    " Tarnwick -scan <mCode file or container>\n"
    "   - Scan on the ZOR.dat for the presence of the new Microcode\n"
    " Tarnwick -check <mCode file>\n"
    "   - Check CS32 Microcode\n"
    " Tarnwick -fit <BIOS Image>\n"
    "   - Information on the physical address of the Microcode in the _FIT_\n";

const std::string intact = text({1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF});

TEST(FrontEnd, ArgumentsLoadingAndDispatch) {
    const std::map<std::string, std::string> file = {{"f.bin", intact}};
    const std::string invalid = "Invalid paramtr\n";
    run_cases({
        {"no arguments", {}, {}, usage, 4},
        {"only a valid option", file, {"-info"}, usage, 4},
        {"missing file", {}, {"-info", "nope.bin"}, "File can't be opened.\n", 2},
        {"no dash, missing file", {}, {"info", "nope.bin"}, "File can't be opened.\n", 2},
        {"no dash", file, {"info", "f.bin"}, invalid, 4},
        {"upper case word", file, {"-INFO", "f.bin"}, invalid, 4},
        {"mixed case word", file, {"-Info", "f.bin"}, invalid, 4},
        {"unknown word", file, {"-list", "f.bin"}, invalid, 4},
        {"lone dash", file, {"-", "f.bin"}, invalid, 4},
        {"double dash", file, {"--info", "f.bin"}, invalid, 4},
        {"word with trailing blank", file, {"-check ", "f.bin"}, invalid, 4},
        {"empty option", file, {"", "f.bin"}, invalid, 4},
        {"unknown word, missing file", {}, {"-list", "nope.bin"}, "File can't be opened.\n", 2},
        {"further arguments ignored", file, {"-check", "f.bin", "x", "-info"},
         "Checksum correct. Microcode not damaged.\n", 0},
        {"empty file, check", {{"e.bin", ""}}, {"-check", "e.bin"}, "", 1},
        {"empty file, info", {{"e.bin", ""}}, {"-info", "e.bin"}, "", 1},
        {"empty file, fit", {{"e.bin", ""}}, {"-fit", "e.bin"}, "", 1},
        {"empty file, scan", {{"e.bin", ""}, {"ZOR.dat", ""}}, {"-scan", "e.bin"}, "", 1},
        {"empty file, scan without database", {{"e.bin", ""}}, {"-scan", "e.bin"},
         "File ZOR.dat can't be opened.\n", 2},
    });
}

const std::map<int, std::string> load_messages = {
    {2, "File can't be opened.\n"},
    {3, "Can't read file.\n"},
    {5, "Can't allocate memory for file contents.\n"},
};

TEST(FrontEnd, DirectoryAsInput) {
    const Workdir dir;
    fs::create_directory(dir.path() / "sub");
    for (const char* option : {"-info", "-check", "-json", "-nonsense"}) {
        SCOPED_TRACE(option);
        const Result d = dir.run({option, "sub"});
        if (std::string(option) == "-json") {
            EXPECT_EQ(d.out, "{\"tarnwick\":\"0.5.0\",\"file\":\"sub\",\"error\":\"File can't be opened.\"}\n");
        } else {
            EXPECT_EQ(d.out, "File can't be opened.\n");
        }
        EXPECT_EQ(d.code, 2);
    }
}

// Input that can't be measured is read to its end: the same output as for
// the same bytes in a file.
TEST(FrontEnd, StreamsAreReadToTheirEnd) {
    if (windows_build()) {
        GTEST_SKIP() << "POSIX shell constructs";
    }
    Bytes image(0x3000, 0xFF);
    const Bytes update = synth::make_update({});
    std::copy(update.begin(), update.end(), image.begin() + 0x800);
    synth::put_fit(image, 0x2000, {synth::address_of(image, 0x800)});
    synth::put_fit_pointer(image, synth::address_of(image, 0x2000));
    const Workdir dir;
    dir.put("f.bin", text(image));
    ASSERT_EQ(std::system(("mkfifo '" + (dir.path() / "fifo").string() + "'").c_str()), 0);
    for (const char* option : {"-info", "-check", "-fit", "-verify", "-fitcheck"}) {
        SCOPED_TRACE(option);
        const Result file = dir.run({option, "f.bin"});
        ASSERT_FALSE(file.out.empty());
        const Result piped = dir.run({option, "/dev/stdin"}, "cat f.bin | ");
        EXPECT_EQ(piped.out, file.out) << "a pipe";
        EXPECT_EQ(piped.code, file.code);
        const Result redirected = dir.run({option, "/dev/stdin"}, "exec <f.bin; ");
        EXPECT_EQ(redirected.out, file.out) << "a redirected file";
        const Result fifo = dir.run({option, "fifo"}, "{ { sleep 0.2; cat f.bin >fifo; } & } ; timeout 20 ");
        EXPECT_EQ(fifo.out, file.out) << "a FIFO whose writer comes later";
        EXPECT_EQ(fifo.code, file.code);
        const Result substituted = dir.shell("bash -c \"" + tool_command() + " " + option + " <(cat f.bin)\"");
        EXPECT_EQ(substituted.out, file.out) << "a process substitution";
        EXPECT_EQ(substituted.code, file.code);
    }
    // A stream longer than the first read buffer (1 MiB) makes it grow, more
    // than once.
    Bytes big(0x380000, 0xFF);
    std::copy(image.begin(), image.end(), big.end() - static_cast<std::ptrdiff_t>(image.size()));
    std::copy(update.begin(), update.end(), big.begin() + 0x100);
    dir.put("big.bin", text(big));
    for (const char* option : {"-info", "-check", "-verify", "-fitcheck"}) {
        SCOPED_TRACE(option);
        const Result file = dir.run({option, "big.bin"});
        const Result piped = dir.run({option, "/dev/stdin"}, "cat big.bin | timeout 60 ");
        EXPECT_EQ(piped.out, file.out) << "a pipe of 3.5 MiB";
        EXPECT_EQ(piped.code, file.code);
    }

    // Without a writer the tool waits for one, as cat does.
    EXPECT_EQ(dir.status_of({"-info", "fifo"}, ">out.txt", "timeout 1 "), 124);
    EXPECT_EQ(read_file(dir.path() / "out.txt"), "");
}

// A device that seeks (a flash chip's /dev/mtdN, a loop device) is measured
// and read whole.
TEST(FrontEnd, SeekableDevice) {
    if (windows_build()) {
        GTEST_SKIP() << "Linux devices";
    }
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root for losetup";
    }
    Bytes image(0x10000, 0xFF);
    const Bytes update = synth::make_update({});
    std::copy(update.begin(), update.end(), image.begin() + 0x1000);
    const Workdir dir;
    dir.put("f.bin", text(image));
    const std::string attach = "losetup -f --show '" + (dir.path() / "f.bin").string() + "' >'" +
                               (dir.path() / "loop.txt").string() + "' 2>/dev/null";
    if (std::system(attach.c_str()) != 0) {
        GTEST_SKIP() << "losetup can't attach a loop device here";
    }
    std::string device = read_file(dir.path() / "loop.txt");
    device.erase(device.find_last_not_of('\n') + 1);
    for (const char* option : {"-info", "-verify", "-check"}) {
        SCOPED_TRACE(option);
        const Result file = dir.run({option, "f.bin"});
        const Result loop = dir.run({option, device});
        EXPECT_EQ(loop.out, file.out);
        EXPECT_EQ(loop.code, file.code);
    }
    EXPECT_EQ(std::system(("losetup -d '" + device + "'").c_str()), 0);
}

// Files of the system that are measured, mapped or read as they always were.
TEST(FrontEnd, SystemFiles) {
    if (windows_build()) {
        GTEST_SKIP() << "Linux paths";
    }
    struct SystemFile {
        const char* path;
        std::string out;
        int code;
    };
    const std::vector<SystemFile> files = {
        // Reports 4096 bytes and holds a few: a short read.
        {"/sys/devices/system/cpu/online", load_messages.at(3), 3},
        // Seeking to their end gives 0: an empty image.
        {"/proc/self/status", "", 1},
        {"/dev/null", "", 1},
        {"/dev/zero", "", 1},
    };
    const Workdir dir;
    for (const SystemFile& f : files) {
        SCOPED_TRACE(f.path);
        if (!fs::exists(f.path)) {
            continue;
        }
        const Result r = dir.run({"-info", f.path});
        EXPECT_EQ(r.out, f.out);
        EXPECT_EQ(r.code, f.code);
    }
}

TEST(FrontEnd, MeasuresFilesPastTwoGibibytes) {
    if (windows_build()) {
        GTEST_SKIP() << "reads 2 GiB whole under Wine";
    }
    const Workdir dir;
    const fs::path big = dir.path() / "big.bin";
    {
        std::ofstream f(big, std::ios::binary);
        f.write("\x01\x00\x00\x00", 4);
    }
    // Sparse zeros after the marker, to 2 GiB and a word past it. Sums to 1.
    fs::resize_file(big, (std::uintmax_t{1} << 31) + 4);
    const Result r = dir.run({"-check", "big.bin"});
    EXPECT_EQ(r.out, "Checksum error. Microcode damaged.\n");
    EXPECT_EQ(r.code, 1);
}

TEST(Check, Sums) {
    Bytes container = synth::make_update({});
    synth::append(container, synth::make_update({.signature = 0x906EA, .data_size = 0x7B0,
                                                  .extra_signatures = {0x906EB}}));
    synth::append(container, synth::make_update({.data_size = 0, .extra_signatures = {}}));
    Bytes damaged = container;
    damaged[100] ^= 1;
    const std::string ok = "Checksum correct. Microcode not damaged.\n";
    const std::string bad = "Checksum error. Microcode damaged.\n";
    run_cases({
        {"marker alone sums to 1", {{"f", text({1, 0, 0, 0})}}, {"-check", "f"}, bad, 1},
        {"marker and its negation", {{"f", intact}}, {"-check", "f"}, ok, 0},
        {"trailing byte not added", {{"f", intact + '\x05'}}, {"-check", "f"}, ok, 0},
        {"zero sum without marker", {{"f", text({2, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF})}}, {"-check", "f"}, "", 1},
        {"container of intact updates", {{"f", text(container)}}, {"-check", "f"}, ok, 0},
        {"one bit flipped", {{"f", text(damaged)}}, {"-check", "f"}, bad, 1},
        {"words before the marker count", {{"f", text({5, 0, 0, 0, 1, 0, 0, 0, 0xFA, 0xFF, 0xFF, 0xFF})}},
         {"-check", "f"}, ok, 0},
        {"marker in the last four bytes", {{"f", text({0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0})}}, {"-check", "f"}, ok, 0},
        {"marker cut by the end", {{"f", text({0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 0})}}, {"-check", "f"}, "", 1},
        {"unaligned marker", {{"f", text({0, 1, 0, 0, 0, 0xFF, 0xFF, 0xFF})}}, {"-check", "f"}, ok, 0},
    });
}

const std::string rule = " +-----------------------------------------------------------+\n";
const std::string heading = rule +
                            " |No|   CPUID  | Platform |  Version |    Date    | Size Hex |\n"
                            " +--+----------+----------+----------+------------+----------+\n";

Bytes example_header() {
    Bytes h = synth::make_header(0x1B, 0x07132016, 0x306C3, 0x32, 0x5BD0, 0x5C00);
    synth::put_le32(h, 16, 0x1A2B3C4D);
    return h;
}
const std::string example_row = " |01| 000306C3 |    32    | 0000001B | 13-07-2016 | 00005C00 |\n";

TEST(Info, Listings) {
    const Bytes hdr = example_header();
    Bytes failing_then_passing = synth::make_header(1, 0x01012101, 0x111, 1, 0, 0);  // century 21
    synth::append(failing_then_passing, hdr);
    Bytes both_mpdt = hdr;
    synth::append(both_mpdt, synth::mpdt_record(false));
    synth::append(both_mpdt, synth::mpdt_record(true));
    Bytes noboot = hdr;
    synth::append(noboot, synth::mpdt_record(false));
    const Bytes extended = synth::make_update(
        {.revision = 0xF4, .date = 0x04232023, .signature = 0x906EA, .flags = 0x22, .data_size = 0x7B0,
         .extra_signatures = {0x906EB, 0x906EC}});
    Bytes at_36 = Bytes(4, 0xFF);
    synth::append(at_36, synth::make_header(2, 0x01012020, 0x506E3, 0x36, 0, 0));
    at_36.resize(4 + 36);
    Bytes at_35 = at_36;
    at_35.resize(4 + 35);
    const std::string none = "   MPDT None\n";
    auto after_fill = [&](std::size_t n) {
        Bytes b(n, 0xFF);
        synth::append(b, hdr);
        return text(b);
    };
    Bytes mpdt_first = synth::mpdt_record(true);
    synth::append(mpdt_first, hdr);
    run_cases({
        {"header after one byte", {{"f", after_fill(1)}}, {"-info", "f"}, heading + example_row + rule + none, 0},
        {"header after two bytes", {{"f", after_fill(2)}}, {"-info", "f"}, heading + example_row + rule + none, 0},
        {"header after three bytes", {{"f", after_fill(3)}}, {"-info", "f"}, heading + example_row + rule + none, 0},
        {"MPDT record before the first header", {{"f", text(mpdt_first)}}, {"-info", "f"},
         heading + example_row + rule + "   MPDT Boot - YES\n", 0},
        {"no marker", {{"f", text(Bytes(64, 0xFF))}}, {"-info", "f"}, "", 1},
        {"the example header", {{"f", text(hdr)}}, {"-info", "f"}, heading + example_row + rule + none, 0},
        {"only failing candidates", {{"f", text({1, 0, 0, 0, 1, 0, 0, 0, 9})}}, {"-info", "f"}, rule + none, 0},
        {"first candidate fails, later passes", {{"f", text(failing_then_passing)}}, {"-info", "f"},
         heading + example_row + rule + none, 0},
        {"both sizes 0 show 2048", {{"f", text(synth::make_header(5, 0x12312019, 0x6F6, 0x101, 0, 0))}},
         {"-info", "f"},
         heading + " |01| 000006F6 |    01    | 00000005 | 31-12-2019 | 00000800 |\n" + rule + none, 0},
        {"extended signature table", {{"f", text(extended)}}, {"-info", "f"},
         heading + " |01| 000906EA |    22    | 000000F4 | 23-04-2023 | 0000080C |\n" + rule + none, 0},
        {"both MPDT patterns", {{"f", text(both_mpdt)}}, {"-info", "f"},
         heading + example_row + rule + "   MPDT Boot - YES\n", 0},
        {"MPDT without boot", {{"f", text(noboot)}}, {"-info", "f"},
         heading + example_row + rule + "   MPDT Boot - NO\n", 0},
        {"marker in the last bytes", {{"f", text({0xFF, 0xFF, 1, 0, 0, 0})}}, {"-info", "f"}, rule + none, 0},
        {"header 36 bytes before the end", {{"f", text(at_36)}}, {"-info", "f"},
         heading + " |01| 000506E3 |    36    | 00000002 | 01-01-2020 | 00000800 |\n" + rule + none, 0},
        {"header 35 bytes before the end", {{"f", text(at_35)}}, {"-info", "f"}, rule + none, 0},
    });
}

TEST(Info, RowsPastNinetyNineWiden) {
    Bytes image;
    std::string expected = heading;
    for (int i = 1; i <= 100; ++i) {
        synth::append(image, synth::make_header(0x20, 0x02022020, 0x1234, 0x10, 0, 48));
        char row[128];
        std::snprintf(row, sizeof row, " |%02d| 00001234 |    10    | 00000020 | 02-02-2020 | 00000030 |\n", i);
        expected += row;
    }
    run_cases({{"100 rows", {{"f", text(image)}}, {"-info", "f"}, expected + rule + "   MPDT None\n", 0}});
}

TEST(Scan, Lookups) {
    const Bytes hdr = example_header();
    const std::string key = "000306C3000000320000001B0713201600005C001A2B3C4D";
    ASSERT_EQ(synth::key_of(hdr), key);
    const std::string found = "Found new Microcode " + key + "\n";
    const Bytes old_style = synth::make_header(5, 0x12312019, 0x6F6, 0x101, 0, 0);
    const std::string old_key = synth::key_of(old_style);
    ASSERT_EQ(old_key.substr(32, 8), "00000000");
    Bytes twice = hdr;
    synth::append(twice, hdr);
    Bytes two = hdr;
    synth::append(two, old_style);
    std::string lower = key;
    for (char& ch : lower) {
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    }
    const std::string long_word(100000, 'A');
    std::string glued;
    for (std::size_t n = 1; n <= 128; ++n) {
        glued += std::string(n, n % 2 == 0 ? 'x' : '0') + key + "\n";
    }
    auto db = [&](const std::string& content, const Bytes& image) {
        return std::map<std::string, std::string>{{"ZOR.dat", content}, {"in.bin", text(image)}};
    };
    const std::vector<std::string> scan = {"-scan", "in.bin"};
    run_cases({
        {"missing database", {{"in.bin", text(hdr)}}, scan, "File ZOR.dat can't be opened.\n", 2},
        {"missing database, no marker", {{"in.bin", ""}}, scan, "File ZOR.dat can't be opened.\n", 2},
        {"no marker", db(key, Bytes(8, 0xFF)), scan, "", 1},
        {"no qualifying header", db("", {1, 0, 0, 0, 0}), scan, "", 0},
        {"known", db(key + "\n", hdr), scan, "", 0},
        {"unknown", db(old_key + "\n", hdr), scan, found, 0},
        {"one known, one new, in input order", db(key + "\n", two), scan,
         "Found new Microcode " + old_key + "\n", 0},
        {"twice, unknown", db("", twice), scan, found + found, 0},
        {"twice, known", db(key, twice), scan, "", 0},
        {"lower case", db(lower + "\n", hdr), scan, found, 0},
        {"characters before", db("x" + key + "\n", hdr), scan, found, 0},
        {"characters after", db(key + "x\n", hdr), scan, found, 0},
        {"key is a prefix of a word", db(key + key, hdr), scan, found, 0},
        {"CRLF lines", db("# list\r\n" + old_key + "\r\n" + key + "\r\n", hdr), scan, "", 0},
        {"tabs and several keys a line", db("a\t" + old_key + "\t" + key + " b", hdr), scan, "", 0},
        {"last word without line end", db(old_key + "\n" + key, hdr), scan, "", 0},
        {"empty database", db("", hdr), scan, found, 0},
        {"only white space", db(" \n\t\r\n ", hdr), scan, found, 0},
        {"very long word, then the key", db(long_word + "\n" + key + "\n", hdr), scan, "", 0},
        {"very long word ending in the key", db(long_word + key + "\n", hdr), scan, found, 0},
        {"a prefix is not a key", db(key.substr(0, 40) + "\n", hdr), scan, found, 0},
        {"key glued to words of 1 to 128 characters", db(glued, hdr), scan, found, 0},
        {"byte-order mark before the first key", db("\xEF\xBB\xBF" + key + "\r\n", hdr), scan, "", 0},
        {"byte-order mark alone", db("\xEF\xBB\xBF", hdr), scan, found, 0},
        {"byte-order mark cut short", db("\xEF\xBB" + key, hdr), scan, found, 0},
        {"byte-order mark past the start", db(old_key + "\n\xEF\xBB\xBF" + key, hdr), scan, found, 0},
    });
}

TEST(Scan, DatabaseThatIsADirectory) {
    const Workdir dir;
    dir.put("in.bin", text(example_header()));
    fs::create_directory(dir.path() / "ZOR.dat");
    const Result r = dir.run({"-scan", "in.bin"});
    EXPECT_EQ(r.out, "File ZOR.dat can't be opened.\n");
    EXPECT_EQ(r.code, 2);
}

TEST(Scan, DatabaseThatIsADirectoryIsReportedFirst) {
    const Workdir dir;
    dir.put("in.bin", text(Bytes(64, 0xFF)));
    fs::create_directory(dir.path() / "ZOR.dat");
    const Result r = dir.run({"-scan", "in.bin"});
    EXPECT_EQ(r.out, "File ZOR.dat can't be opened.\n");
    EXPECT_EQ(r.code, 2);
}

// A database that can only be read forwards: a FIFO that a writer fills.
TEST(Scan, DatabaseFromAFifo) {
    if (windows_build()) {
        GTEST_SKIP() << "POSIX shell constructs";
    }
    const Bytes hdr = example_header();
    const Bytes other = synth::make_header(5, 0x12312019, 0x6F6, 0x101, 0, 0);
    Bytes image = hdr;
    synth::append(image, other);
    synth::append(image, hdr);
    const Workdir dir;
    dir.put("in.bin", text(image));
    ASSERT_EQ(std::system(("mkfifo '" + (dir.path() / "ZOR.dat").string() + "'").c_str()), 0);
    const Result r =
        dir.run({"-scan", "in.bin"}, "{ printf '%s\\n' x " + synth::key_of(hdr) + " >ZOR.dat & } ; timeout 20 ");
    EXPECT_EQ(r.out, "Found new Microcode " + synth::key_of(other) + "\n");
    EXPECT_EQ(r.code, 0);
}

// Keys are collected in memory that grows with their number only; when it
// can't be had, the run says so and ends with 5, without aborting.
TEST(Scan, MemoryForKeys) {
    if (under_other_command() || TARNWICK_SANITIZED) {
        // Under an emulator the limit would bound the emulator; the
        // sanitizers reserve far more address space than any such limit.
        GTEST_SKIP() << "needs ulimit -v on the tool itself";
    }
    // A qualifying header every 12 bytes, all with the same key: 4.2 million
    // of them in 48 MiB. Each 12 bytes are the marker, a revision and a
    // date whose total size (the date again) is the revision + 48.
    Bytes unit(12);
    synth::put_le32(unit, 0, 1);
    synth::put_le32(unit, 4, 0x01012020 - 48);
    synth::put_le32(unit, 8, 0x01012020);
    std::string image;
    image.reserve(48 << 20);
    while (image.size() < (48u << 20)) {
        image += text(unit);
    }
    const std::string key = synth::key_of(Bytes(image.begin(), image.begin() + 48));
    const Workdir dir;
    dir.put("dense.bin", image);
    dir.put("ZOR.dat", key + "\n");
    image.clear();
    image.shrink_to_fit();
    // The image (48 MiB) and the program fit in 120 MB, the keys too.
    EXPECT_EQ(dir.status_of({"-scan", "dense.bin"}, ">out.txt 2>err.txt", "ulimit -v 200000; "), 0);
    EXPECT_EQ(read_file(dir.path() / "out.txt"), "");
    EXPECT_EQ(read_file(dir.path() / "err.txt"), "");
    EXPECT_EQ(dir.status_of({"-scan", "dense.bin"}, ">out.txt 2>err.txt", "ulimit -v 110000; "), 5);
    EXPECT_EQ(read_file(dir.path() / "out.txt"), "Can't allocate memory for file contents.\n");
    EXPECT_EQ(read_file(dir.path() / "err.txt"), "");
    // -verify lists every header it checks; 4.2 million of them take more
    // than the limit leaves, and the run says so instead of aborting.
    EXPECT_EQ(dir.status_of({"-verify", "dense.bin"}, ">out.txt 2>err.txt", "ulimit -v 200000; "), 5);
    EXPECT_EQ(read_file(dir.path() / "out.txt"), "Can't allocate memory for file contents.\n");
    EXPECT_EQ(read_file(dir.path() / "err.txt"), "");
}

TEST(Scan, LeavesTheDirectoryAsItFoundIt) {
    const Workdir dir;
    dir.put("in.bin", text(example_header()));
    dir.put("ZOR.dat", "\n");
    const std::string mine = "someone's own file\n";
    dir.put("ZOR.tmp", mine);
    const Result r = dir.run({"-scan", "in.bin"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(read_file(dir.path() / "ZOR.tmp"), mine);
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.path())) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"ZOR.dat", "ZOR.tmp", "in.bin"}));
}

// Output that can't be written ends the run with 6, whatever the command.
// Under Wine too: the shell hands the Windows build the same descriptors.
TEST(Output, ThatCantBeWrittenIsAFailure) {
    const Workdir dir;
    Bytes image = example_header();
    image.resize(0x200, 0xFF);
    synth::put_fit(image, 0x100, {0xFFF70400});
    dir.put("f.bin", text(image));
    dir.put("intact.bin", intact);
    dir.put("none.bin", text(Bytes(64, 0xFF)));
    dir.put("ZOR.dat", "\n");
    struct Row {
        const char* name;
        std::vector<std::string> args;
        int code;
    };
    const Row rows[] = {
        {"usage", {}, 6},
        {"-info", {"-info", "f.bin"}, 6},
        {"-scan", {"-scan", "f.bin"}, 6},
        {"-check", {"-check", "intact.bin"}, 6},
        {"-fit", {"-fit", "f.bin"}, 6},
        {"-verify", {"-verify", "f.bin"}, 6},
        {"-fitcheck", {"-fitcheck", "f.bin"}, 6},
        {"-json", {"-json", "f.bin", "none.bin"}, 6},
        {"-json, a file that can't be loaded", {"-json", "missing.bin"}, 6},
        {"a load message", {"-info", "missing.bin"}, 6},
        // Nothing to write, nothing that failed.
        {"-info printing nothing", {"-info", "none.bin"}, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(dir.status_of(row.args, ">/dev/full 2>err.txt"), row.code);
        EXPECT_EQ(read_file(dir.path() / "err.txt"), "");
        EXPECT_EQ(dir.status_of(row.args, ">&- 2>err.txt"), row.code) << "standard output closed";
        EXPECT_EQ(read_file(dir.path() / "err.txt"), "");

        // A pipe whose reader has gone, with SIGPIPE ignored.
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        ::close(fds[0]);
        EXPECT_EQ(dir.status_of(row.args, ">&" + std::to_string(fds[1]) + " 2>err.txt", "trap '' PIPE; "), row.code)
            << "broken pipe";
        ::close(fds[1]);
        EXPECT_EQ(read_file(dir.path() / "err.txt"), "");
    }
}

// The README's recipe for recording new keys, run as it is printed there.
TEST(Scan, RecordingRecipe) {
    if (windows_build()) {
        GTEST_SKIP() << "POSIX shell";
    }
    const std::string readme = read_file(TARNWICK_README);
    const std::string mark = "<!-- recording recipe -->\n```sh\n";
    const std::size_t begin = readme.find(mark);
    ASSERT_NE(begin, std::string::npos);
    const std::size_t end = readme.find("```", begin + mark.size());
    ASSERT_NE(end, std::string::npos);
    const std::string recipe = readme.substr(begin + mark.size(), end - begin - mark.size());

    const Workdir dir;
    fs::create_directory(dir.path() / "bin");
    dir.put("bin/tarnwick", "#!/bin/sh\nexec " + tool_command() + " \"$@\"\n");
    fs::permissions(dir.path() / "bin" / "tarnwick", fs::perms::owner_all);
    const Bytes a = example_header();
    const Bytes b = synth::make_header(5, 0x12312019, 0x6F6, 0x101, 0, 0);
    Bytes image = a;
    synth::append(image, b);
    synth::append(image, a);
    dir.put("fw.bin", text(image));
    dir.put("recipe.sh", recipe);
    auto run_recipe = [&] {
        const std::string cmd = "cd '" + dir.path().string() + "' && PATH=\"$PWD/bin:$PATH\" sh recipe.sh >/dev/null 2>&1";
        return WEXITSTATUS(std::system(cmd.c_str()));
    };
    const std::string both = synth::key_of(a) + "\n" + synth::key_of(b) + "\n";
    // The first time creates the database, with each new key once.
    EXPECT_EQ(run_recipe(), 0);
    EXPECT_EQ(read_file(dir.path() / "ZOR.dat"), both);
    // Then nothing is new.
    EXPECT_EQ(run_recipe(), 0);
    EXPECT_EQ(read_file(dir.path() / "ZOR.dat"), both);
    // A scan that fails stops the recipe, and nothing is appended.
    fs::remove(dir.path() / "fw.bin");
    EXPECT_NE(run_recipe(), 0);
    EXPECT_EQ(read_file(dir.path() / "ZOR.dat"), both);
}

Bytes fit_image(const std::vector<std::uint64_t>& addresses, std::size_t size = 0x200) {
    Bytes image(size, 0xFF);
    synth::put_fit(image, 0x40, addresses);
    return image;
}

TEST(Fit, Listings) {
    Bytes other_type = fit_image({});
    Bytes typed_81 = fit_image({0xFFF70400, 0xFFF80000});
    typed_81[0x40 + 2 * 16 + 14] = 0x81;
    Bytes not_fit = fit_image({0xFFF70400});
    not_fit[0x40 + 7] = '_';
    Bytes to_end(0x40, 0xFF);
    synth::put_fit(to_end, 0, {0xFFF70400, 0xFFF80000});
    to_end.resize(16 * 3 + 15);
    to_end[16 * 3 + 14] = 0x01;  // a microcode entry, but one byte short
    Bytes sig_at_end(8, 0xFF);
    for (char ch : std::string("_FIT_   ")) {
        sig_at_end.push_back(static_cast<std::uint8_t>(ch));
    }
    Bytes two_fits = fit_image({0xFFF70400});
    synth::put_fit(two_fits, 0x100, {0xFFF80000, 0xFFF90000});
    Bytes types_1_2_1 = fit_image({0xFFF70400, 0xFFF80000, 0xFFF90000});
    types_1_2_1[0x40 + 2 * 16 + 14] = 0x02;
    const std::vector<std::string> fit = {"-fit", "f"};
    run_cases({
        {"two FITs, the first listed", {{"f", text(two_fits)}}, fit, " 01 mCode Adrress - 0xFFF70400\n", 0},
        {"run ends at the first other type", {{"f", text(types_1_2_1)}}, fit, " 01 mCode Adrress - 0xFFF70400\n", 0},
        {"no FIT", {{"f", text(Bytes(64, 0xFF))}}, fit, "", 1},
        {"three entries", {{"f", text(fit_image({0xFFF70400, 0xFFF80000, 0xFFF90000}))}}, fit,
         " 01 mCode Adrress - 0xFFF70400\n 02 mCode Adrress - 0xFFF80000\n 03 mCode Adrress - 0xFFF90000\n", 0},
        {"header then another type", {{"f", text(other_type)}}, fit, "", 0},
        {"high half of the address", {{"f", text(fit_image({0x12345678FFF70400}))}}, fit,
         " 01 mCode Adrress - 0xFFF70400\n", 0},
        {"checksum-valid bit ends the run", {{"f", text(typed_81)}}, fit, " 01 mCode Adrress - 0xFFF70400\n", 0},
        {"_FIT_ and other bytes", {{"f", text(not_fit)}}, fit, "", 1},
        {"run reaches the end", {{"f", text(to_end)}}, fit,
         " 01 mCode Adrress - 0xFFF70400\n 02 mCode Adrress - 0xFFF80000\n", 0},
        {"signature in the last bytes", {{"f", text(sig_at_end)}}, fit, "", 0},
    });
}

}  // namespace

namespace {

const std::string verify_rule =
    " +--------------------------------------------------------------------------------------+\n";
const std::string verify_heading =
    verify_rule + " |No|  Offset  |   CPUID  | Platform |  Version |    Date    | Size Hex |    Status     |\n" +
    " +--+----------+----------+----------+----------+------------+----------+---------------+\n";

TEST(Verify, Tables) {
    const Bytes a = synth::make_update({});
    const Bytes b = synth::make_update({.revision = 0xF4, .date = 0x04232023, .signature = 0x906EA, .flags = 0x22,
                                        .data_size = 0x7B0, .extra_signatures = {0x906EB, 0x906EC}});
    Bytes container = a;
    synth::append(container, b);
    Bytes flipped = container;
    flipped[0x500] ^= 0x01;  // in b's data
    Bytes cut = container;
    cut.resize(0x600);
    const std::string row_a = " |01| 00000000 | 000306C3 |    32    | 0000001B | 13-07-2016 | 00000400 | OK            |\n";
    const std::string rows_b_ext =
        " |  |          | 000906EB |    22    |          |            |          | OK            |\n"
        " |  |          | 000906EC |    22    |          |            |          | OK            |\n";
    const std::string row_b = " |02| 00000400 | 000906EA |    22    | 000000F4 | 23-04-2023 | 0000080C | ";
    const std::vector<std::string> verify = {"-verify", "f"};
    run_cases({
        {"container with extended signatures", {{"f", text(container)}}, verify,
         verify_heading + row_a + row_b + "OK            |\n" + rows_b_ext + verify_rule +
             "   2 updates: 2 intact, 0 damaged\n",
         0},
        {"one flipped byte", {{"f", text(flipped)}}, verify,
         verify_heading + row_a + row_b + "BAD CHECKSUM  |\n" + rows_b_ext + verify_rule +
             "   2 updates: 1 intact, 1 damaged\n",
         7},
        {"cut inside the second update", {{"f", text(cut)}}, verify,
         verify_heading + row_a + row_b + "TRUNCATED     |\n" + verify_rule +
             "   Update 02 at offset 0x00000400 is truncated: 1548 bytes missing past the end of the file.\n"
             "   2 updates: 1 intact, 1 damaged\n",
         7},
        {"one update", {{"f", text(a)}}, verify, verify_heading + row_a + verify_rule + "   1 update: 1 intact, 0 damaged\n",
         0},
        {"candidates, none qualifying", {{"f", text({1, 0, 0, 0, 1, 0, 0, 0, 9})}}, verify, "", 1},
        {"no marker", {{"f", text(Bytes(64, 0xFF))}}, verify, "", 1},
        {"missing file", {}, verify, "File can't be opened.\n", 2},
    });
}

TEST(FrontEnd, WordsThatAreNoCommand) {
    const std::map<std::string, std::string> file = {{"f.bin", intact}};
    std::vector<Case> cases;
    for (const char* word : {"-checks", "-inf", "-verif", "-Verify", "-verify2", "-VERIFY", "xinfo", "+check", "/fit",
                             "_scan", "verify", "-fitchec", "-FitCheck", "-jsonl", "-JSON", "-Extract", "-extrac",
                             "-extract2", "-LATEST", "-Latest", "-latest2"}) {
        cases.push_back({word, file, {word, "f.bin"}, "Invalid paramtr\n", 4});
    }
    run_cases(cases);
}

}  // namespace

namespace {

// A 0x200-byte image whose FIT at 0x100 the pointer names, and a decoy
// "_FIT_   " with its own microcode run at 0x40 when asked.
Bytes pointed_fit_image(bool decoy) {
    Bytes image(0x200, 0xFF);
    if (decoy) {
        synth::put_fit(image, 0x40, {0xFFF00000});
    }
    synth::put_fit(image, 0x100, {0xFFF70400, 0xFFF80000});
    synth::put_fit_pointer(image, synth::address_of(image, 0x100));
    return image;
}

TEST(Fit, FollowsThePointer) {
    const std::string two = " 01 mCode Adrress - 0xFFF70400\n 02 mCode Adrress - 0xFFF80000\n";
    Bytes no_pointer = pointed_fit_image(true);
    synth::put_fit_pointer(no_pointer, 0xFFFFFFFF);
    run_cases({
        {"decoy before the pointed table", {{"f", text(pointed_fit_image(true))}}, {"-fit", "f"}, two, 0},
        {"pointer and first signature agree", {{"f", text(pointed_fit_image(false))}}, {"-fit", "f"}, two, 0},
        {"no valid pointer, two tables", {{"f", text(no_pointer)}}, {"-fit", "f"}, " 01 mCode Adrress - 0xFFF00000\n",
         0},
    });
}

TEST(FitCheck, Reports) {
    Bytes image(0x2000, 0xFF);
    const Bytes a = synth::make_update({});
    std::copy(a.begin(), a.end(), image.begin() + 0x400);
    synth::put_fit(image, 0x1000, {synth::address_of(image, 0x400), synth::address_of(image, 0x1800)});
    synth::put_fit_pointer(image, synth::address_of(image, 0x1000));
    Bytes damaged = image;
    damaged[0x500] ^= 1;
    synth::put_fit(damaged, 0x100, {});
    const std::string table =
        " FIT at offset 0x00001000 (pointer 0xFFFFF000): 4 entries, version 0x0100, no checksum\n"
        "  No  Type                         Address             Size      Version\n"
        "  00  00 header                    0x2020205F5449465F  0x000004  0x0100\n"
        "  01  01 microcode                 0x00000000FFFFE400  0x000000  0x0100\n"
        "  02  01 microcode                 0x00000000FFFFF800  0x000000  0x0100\n"
        "  03  7F unused                    0x00000000FFFFFFC0  0x000000  0x0000\n"
        "  Microcode\n"
        "  01  0xFFFFE400  offset 0x00000400  CPUID 000306C3  Version 0000001B  ";
    const std::string empty_slot = "  02  0xFFFFF800  offset 0x00001800  EMPTY\n";
    run_cases({
        {"valid, an empty slot", {{"f", text(image)}}, {"-fitcheck", "f"},
         table + "OK\n" + empty_slot +
             "   WARNING: microcode entry 2: offset 0x00001800 is an empty slot (all 0xFF)\n"
             "   FIT valid: 0 errors, 1 warnings\n",
         0},
        {"damaged update and a decoy", {{"f", text(damaged)}}, {"-fitcheck", "f"},
         table + "BAD CHECKSUM\n" + empty_slot +
             "   ERROR: microcode entry 1: the update at offset 0x00000400 is damaged (BAD CHECKSUM)\n"
             "   WARNING: a _FIT_ signature at offset 0x00000100 that the pointer does not name: tools that take "
             "the first signature may read that table instead\n"
             "   WARNING: microcode entry 2: offset 0x00001800 is an empty slot (all 0xFF)\n"
             "   FIT invalid: 1 errors, 2 warnings\n",
         7},
        {"too small", {{"f", text(Bytes(63, 0))}}, {"-fitcheck", "f"},
         "   No FIT: the file is smaller than 0x40 bytes and holds no FIT pointer.\n", 1},
        {"pointer outside, a table elsewhere", {{"f", text(fit_image({0xFFF70400}))}}, {"-fitcheck", "f"},
         "   No FIT: the pointer at offset 0x000001C0, 0xFFFFFFFFFFFFFFFF, maps outside the file.\n"
         "   WARNING: a _FIT_ signature at offset 0x00000040 that the pointer does not name: tools that take the "
         "first signature may read that table instead\n",
         1},
    });
}

}  // namespace

namespace {

// Runs jq (a real JSON parser) over `json_lines` as one array of objects
// and returns its raw output; a parse error fails the test.
std::string jq(const std::string& filter, const std::string& json_lines) {
    const Workdir dir;
    dir.put("in.jsonl", json_lines);
    dir.put("filter.jq", filter);
    const std::string out = (dir.path() / "out.txt").string();
    const std::string cmd = "cd '" + dir.path().string() + "' && jq -r -s -f filter.jq in.jsonl >out.txt 2>&1";
    const int status = std::system(cmd.c_str());
    const std::string text = read_file(out);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0) << "jq: " << text << "\ninput: " << json_lines;
    return text;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::string trim(const std::string& s) {
    const auto b = s.find_first_not_of(' ');
    const auto e = s.find_last_not_of(' ');
    return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

// -verify's update rows as "No Offset CPUID Platform Version Date Size Status".
std::vector<std::string> verify_rows(const std::string& out) {
    std::vector<std::string> rows;
    for (const std::string& line : lines_of(out)) {
        if (line.size() < 4 || line.compare(0, 2, " |") != 0 || !std::isdigit(static_cast<unsigned char>(line[2]))) {
            continue;
        }
        std::string row;
        std::istringstream cells(line.substr(2));
        for (std::string cell; std::getline(cells, cell, '|');) {
            if (trim(cell).empty()) {
                continue;
            }
            if (!row.empty()) {
                row += ' ';
            }
            row += trim(cell);
        }
        rows.push_back(row);
    }
    return rows;
}

// The same row from the JSON object's fields.
std::vector<std::string> json_rows(const std::string& json) {
    std::vector<std::string> rows;
    for (const std::string& tsv : lines_of(jq(
             ".[0].updates[] | [.no, .offset, .cpuid, .platform, .revision, .date, .total_size, .status] | @tsv",
             json))) {
        std::istringstream in(tsv);
        unsigned no = 0;
        unsigned long long offset = 0;
        unsigned long long total = 0;
        std::string cpuid, platform, revision, date, status;
        in >> no >> offset >> cpuid >> platform >> revision >> date >> total >> status;
        for (char& c : status) {
            c = c == '_' ? ' ' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        char row[256];
        std::snprintf(row, sizeof row, "%02u %08llX %s %s %s %s-%s-%s %08llX %s", no, offset, cpuid.substr(2).c_str(),
                      platform.substr(8).c_str(), revision.substr(2).c_str(), date.substr(8, 2).c_str(),
                      date.substr(5, 2).c_str(), date.substr(0, 4).c_str(), total, status.c_str());
        rows.push_back(row);
    }
    return rows;
}

TEST(Json, AgreesWithTheOtherCommands) {
    const Bytes a = synth::make_update({});
    const Bytes b = synth::make_update({.revision = 0xF4, .date = 0x04232023, .signature = 0x906EA, .flags = 0x22,
                                        .data_size = 0x7B0, .extra_signatures = {0x906EB, 0x906EC}});
    const Bytes c = synth::make_update({.revision = 0x0D, .date = 0x09012008, .signature = 0x6F6, .flags = 1,
                                        .data_size = 0, .extra_signatures = {}});
    Bytes container = a;
    synth::append(container, b);
    synth::append(container, c);
    Bytes damaged = container;
    damaged[0x700] ^= 4;
    damaged.resize(damaged.size() - 10);
    Bytes image(0x4000, 0xFF);
    std::copy(container.begin(), container.end(), image.begin() + 0x400);
    const Bytes mpdt = synth::mpdt_record(false);
    std::copy(mpdt.begin(), mpdt.end(), image.begin() + 0x2000);
    synth::put_fit(image, 0x3000,
                   {synth::address_of(image, 0x400), synth::address_of(image, 0x800), synth::address_of(image, 0x3800)});
    Bytes pointed = image;
    synth::put_fit(pointed, 0x200, {0xFFF00000});  // a decoy before the table
    synth::put_fit_pointer(pointed, synth::address_of(pointed, 0x3000));
    pointed[0x900] ^= 1;

    const std::map<std::string, Bytes> files = {
        {"container", container}, {"damaged", damaged}, {"image", image}, {"pointed", pointed}, {"none", Bytes(100, 0)}};
    for (const auto& [name, bytes] : files) {
        SCOPED_TRACE(name);
        const Workdir dir;
        dir.put("f", text(bytes));
        dir.put("ZOR.dat", "");
        const Result json = dir.run({"-json", "f"});
        ASSERT_EQ(json.code, 0);
        ASSERT_EQ(jq("length", json.out), "1\n");
        EXPECT_EQ(jq(".[0] | [.tarnwick, .file, .size] | @tsv", json.out),
                  "0.5.0\tf\t" + std::to_string(bytes.size()) + "\n");

        EXPECT_EQ(json_rows(json.out), verify_rows(dir.run({"-verify", "f"}).out));
        std::string extended;
        for (const std::string& line : lines_of(dir.run({"-verify", "f"}).out)) {
            if (line.rfind(" |  |          |", 0) == 0) {
                std::vector<std::string> cells;
                std::istringstream in(line);
                for (std::string cell; std::getline(in, cell, '|');) {
                    cells.push_back(trim(cell));
                }
                extended += cells.at(3) + " " + cells.at(4) + " " + cells.at(8) + "\n";
            }
        }
        EXPECT_EQ(jq(".[0].updates[].extended[] | \"\\(.cpuid[2:]) \\(.platform[8:]) \\(.status | ascii_upcase | "
                     "gsub(\"_\"; \" \"))\"",
                     json.out),
                  extended);

        std::string keys;
        for (const std::string& line : lines_of(dir.run({"-scan", "f"}).out)) {
            keys += line.substr(std::string("Found new Microcode ").size()) + "\n";
        }
        EXPECT_EQ(jq(".[0].updates[].key", json.out), keys);

        const Result info = dir.run({"-info", "f"});
        const std::string verdict = info.code == 0 ? trim(lines_of(info.out).back()) : "";
        const std::string mpdt_json = jq(".[0].mpdt", json.out);
        if (!verdict.empty()) {
            EXPECT_EQ(mpdt_json, verdict == "MPDT Boot - YES" ? "boot\n" : verdict == "MPDT Boot - NO" ? "noboot\n" : "none\n");
        }

        const Result check = dir.run({"-check", "f"});
        if (check.code == 0 || !check.out.empty()) {
            EXPECT_EQ(jq(".[0].checksum.ok", json.out), check.code == 0 ? "true\n" : "false\n");
        }

        const Result fit = dir.run({"-fit", "f"});
        std::string listed;
        for (const std::string& line : lines_of(fit.out)) {
            listed += line.substr(line.size() - 10) + "\n";
        }
        EXPECT_EQ(jq(".[0].fit_listing | if . == null then \"none\" else .microcode[] end", json.out),
                  fit.code == 1 ? "none\n" : listed);

        const Result fitcheck = dir.run({"-fitcheck", "f"});
        std::string errors = "";
        for (const std::string& line : lines_of(fitcheck.out)) {
            if (line.compare(0, 10, "   ERROR: ") == 0) {
                errors += line.substr(10) + "\n";
            }
        }
        if (fitcheck.code == 1) {
            EXPECT_EQ(jq(".[0].fit", json.out), "null\n");
        } else {
            EXPECT_EQ(jq(".[0].fit.errors[]", json.out), errors);
            EXPECT_EQ(fitcheck.code, errors.empty() ? 0 : 7);
        }
    }
}

TEST(Json, FieldsOfAPointedFit) {
    Bytes image(0x2000, 0xFF);
    const Bytes a = synth::make_update({});
    std::copy(a.begin(), a.end(), image.begin() + 0x400);
    synth::put_fit(image, 0x100, {});
    synth::put_fit(image, 0x1000, {synth::address_of(image, 0x400), synth::address_of(image, 0x1800), 0x1000});
    synth::put_fit_pointer(image, synth::address_of(image, 0x1000));
    const Workdir dir;
    dir.put("f", text(image));
    const Result r = dir.run({"-json", "f"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(jq(".[0].fit | [.pointer, .offset, .version, .checksum_valid, (.entries | length), .other_signatures[0]] "
                 "| @tsv",
                 r.out),
              "0xFFFFF000\t4096\t0x0100\tfalse\t5\t256\n");
    EXPECT_EQ(jq(".[0].fit.entries[1] | [.type, .address, .size, .version] | @tsv", r.out),
              "1\t0xFFFFE400\t0\t0x0100\n");
    EXPECT_EQ(jq(".[0].fit.microcode[] | [.address, .offset, .status, .cpuid, .revision] | map(tostring) | join(\" \")",
                 r.out),
              "0xFFFFE400 1024 ok 0x000306C3 0x0000001B\n"
              "0xFFFFF800 6144 empty null null\n"
              "0x00001000 null outside null null\n");
    EXPECT_EQ(jq(".[0].fit_listing.offset", r.out), "4096\n");
}

TEST(Json, ManyFilesAwkwardNamesAndLoadFailures) {
    const Workdir dir;
    // Windows allows none of quotes, backslashes or control characters in a
    // name, and hands a program its arguments in the ANSI code page.
    std::vector<std::string> names = {"plain.bin", "sp ace", "semi;colon"};
    if (!windows_build()) {
        for (const char* awkward : {"quote\"d", "back\\slash", "tab\tname", "caf\xC3\xA9", "new\nline", "bad\xFF\x01utf8"}) {
            names.push_back(awkward);
        }
    }
    for (const std::string& n : names) {
        dir.put(n, text(synth::make_update({})));
    }
    std::vector<std::string> args = {"-json"};
    args.insert(args.end(), names.begin(), names.end());
    args.push_back("missing.bin");
    args.push_back("plain.bin");
    const Result r = dir.run(args);
    EXPECT_EQ(r.code, 2) << "the first load failure's code, after every file";
    EXPECT_EQ(jq("length", r.out), std::to_string(names.size() + 2) + "\n");
    EXPECT_EQ(lines_of(r.out).size(), names.size() + 2) << "one line per file";
    EXPECT_EQ(jq(".[] | select(.error) | [.file, .error] | @tsv", r.out), "missing.bin\tFile can't be opened.\n");
    EXPECT_EQ(jq("[.[] | select(.updates) | .updates[0].status] | unique | @tsv", r.out), "ok\n");
    std::string expected_names;
    for (const std::string& n : names) {
        std::string shown;
        for (std::size_t i = 0; i < n.size(); ++i) {
            const auto c = static_cast<unsigned char>(n[i]);
            shown += c == 0xFF ? std::string("\xEF\xBF\xBD") : c == '\n' ? std::string("\\n")
                     : c == '\t'  ? std::string("\\t")
                     : c == 0x01  ? std::string("\\u0001")
                     : c == '\\'  ? std::string("\\\\")
                                  : std::string(1, static_cast<char>(c));
        }
        expected_names += shown + "\n";
    }
    // jq's @json shows each name as JSON would, escapes included.
    EXPECT_EQ(jq(".[:-2][] | .file | @json | .[1:-1] | gsub(\"\\\\\\\\\\\"\"; \"\\\"\")", r.out), expected_names);
}

TEST(Json, CorpusRecipe) {
    if (windows_build()) {
        GTEST_SKIP() << "POSIX shell";
    }
    const Workdir dir;
    fs::create_directories(dir.path() / "fw" / "sub dir");
    fs::create_directory(dir.path() / "bin");
    dir.put("bin/tarnwick", "#!/bin/sh\nexec " + tool_command() + " \"$@\"\n");
    fs::permissions(dir.path() / "bin" / "tarnwick", fs::perms::owner_all);
    for (int i = 0; i < 40; ++i) {
        synth::Update u{};
        u.revision = static_cast<std::uint32_t>(i);
        dir.put((i % 2 ? "fw/sub dir/u" : "fw/u") + std::to_string(i) + ".bin", text(synth::make_update(u)));
    }
    if (std::system("command -v parallel >/dev/null") != 0) {
        GTEST_SKIP() << "needs GNU parallel (scripts/check.sh installs it)";
    }
    // The README's recipe.
    const std::string cmd = "cd '" + dir.path().string() +
                            "' && PATH=\"$PWD/bin:$PATH\" && find fw -type f -print0 | parallel -0 -X "
                            "tarnwick -json > inventory.jsonl";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    const std::string inventory = read_file(dir.path() / "inventory.jsonl");
    EXPECT_EQ(lines_of(inventory).size(), 40u);
    EXPECT_EQ(jq("[.[].updates[0].revision] | unique | length", inventory), "40\n");
}

}  // namespace

namespace {

struct Updates {
    Bytes a = synth::make_update({});
    Bytes b = synth::make_update({.revision = 0xF4, .date = 0x04232023, .signature = 0x906EA, .flags = 0x22,
                                  .data_size = 0x7B0, .extra_signatures = {0x906EB, 0x906EC}});
    Bytes c = synth::make_update({.revision = 0x0D, .date = 0x09012008, .signature = 0x6F6, .flags = 1,
                                  .data_size = 0, .extra_signatures = {}});
    Bytes older_a = synth::make_update({.revision = 0x10, .extra_signatures = {}});
    Bytes container() const {
        Bytes all = a;
        synth::append(all, b);
        synth::append(all, c);
        return all;
    }
};

const std::string latest_rule =
    " +--------------------------------------------------------------------------------------+\n";
const std::string latest_heading =
    latest_rule + " |No|  Offset  |   CPUID  | Platform |  Version |    Date    |  Newest  |    Status     |\n" +
    " +--+----------+----------+----------+----------+------------+----------+---------------+\n";

TEST(Extract, WritesTheLoadersLayoutThatLatestThenReads) {
    const Updates u;
    const Workdir dir;
    dir.put("c.bin", text(u.container()));
    const Result r = dir.run({"-extract", "c.bin", "ucode"});
    EXPECT_EQ(r.out,
              "   06-0f-06: 1 update, 0000000D\n"
              "   06-3c-03: 1 update, 0000001B\n"
              "   06-9e-0a: 1 update, 000000F4\n"
              "   06-9e-0b: 1 update, 000000F4\n"
              "   06-9e-0c: 1 update, 000000F4\n"
              "   5 files written, 5 updates in them\n");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(read_file(dir.path() / "ucode" / "06-3c-03"), text(u.a));
    EXPECT_EQ(read_file(dir.path() / "ucode" / "06-9e-0b"), text(u.b));
    std::size_t files = 0;
    for (const auto& e : fs::directory_iterator(dir.path() / "ucode")) {
        ++files;
        const Result v = dir.run({"-verify", "ucode/" + e.path().filename().string()});
        EXPECT_EQ(v.code, 0) << e.path();
        EXPECT_NE(v.out.find(" 1 intact, 0 damaged"), std::string::npos) << v.out;
    }
    EXPECT_EQ(files, 5u) << "no temporaries left";

    const std::string row_a = " |01| 00000000 | 000306C3 |    32    | 0000001B | 13-07-2016 | 0000001B | ";
    const std::string all_latest =
        latest_heading + row_a + "LATEST        |\n" +
        " |02| 00000400 | 000906EA |    22    | 000000F4 | 23-04-2023 | 000000F4 | LATEST        |\n"
        " |03| 00000C0C | 000006F6 |    01    | 0000000D | 01-09-2008 | 0000000D | LATEST        |\n" +
        latest_rule + "   3 LATEST, 0 OUTDATED, 0 UNKNOWN, 0 SUPERSEDED, 0 damaged\n";
    EXPECT_EQ(dir.run({"-latest", "c.bin", "ucode"}).out, all_latest);
    if (!windows_build()) {
        // A FIFO in the directory can't be measured, and nobody writes it:
        // it is passed over, not waited for.
        ASSERT_EQ(std::system(("mkfifo '" + (dir.path() / "ucode" / "06-ff-0f").string() + "'").c_str()), 0);
        const Result with_fifo = dir.run({"-latest", "c.bin", "ucode"}, "timeout 20 ");
        EXPECT_EQ(with_fifo.out, all_latest);
        EXPECT_EQ(with_fifo.code, 0);
        fs::remove(dir.path() / "ucode" / "06-ff-0f");
    }

    // An image with an older revision of a, an old copy beside it, one the
    // directory doesn't know, and then a damaged update.
    Bytes image = u.older_a;
    synth::append(image, synth::make_update({.revision = 0x0F, .extra_signatures = {}}));
    synth::append(image, synth::make_update({.signature = 0x506E3, .extra_signatures = {}}));
    dir.put("old.bin", text(image));
    const std::string outdated_rows =
        " |01| 00000000 | 000306C3 |    32    | 00000010 | 13-07-2016 | 0000001B | OUTDATED      |\n"
        " |02| 00000400 | 000306C3 |    32    | 0000000F | 13-07-2016 |          | SUPERSEDED    |\n"
        " |03| 00000800 | 000506E3 |    32    | 0000001B | 13-07-2016 |          | UNKNOWN       |\n";
    const Result old = dir.run({"-latest", "old.bin", "ucode/"});
    EXPECT_EQ(old.out, latest_heading + outdated_rows + latest_rule +
                           "   0 LATEST, 1 OUTDATED, 1 UNKNOWN, 1 SUPERSEDED, 0 damaged\n");
    EXPECT_EQ(old.code, 8);
    synth::append(image, u.b);
    image[0xC00 + 0x100] ^= 1;
    dir.put("damaged.bin", text(image));
    const Result damaged = dir.run({"-latest", "damaged.bin", "ucode"});
    EXPECT_EQ(damaged.out, latest_heading + outdated_rows +
                               " |04| 00000C00 | 000906EA |    22    | 000000F4 | 23-04-2023 |          | BAD CHECKSUM  |\n" +
                               latest_rule + "   0 LATEST, 1 OUTDATED, 1 UNKNOWN, 1 SUPERSEDED, 1 damaged\n");
    EXPECT_EQ(damaged.code, 7) << "damage wins over outdated";
}

TEST(Extract, SkipsDamageAndNeverOverwrites) {
    const Updates u;
    Bytes damaged = u.b;
    damaged[0x100] ^= 1;
    Bytes mixed = damaged;
    synth::append(mixed, u.a);
    const Workdir dir;
    dir.put("damaged.bin", text(damaged));
    dir.put("mixed.bin", text(mixed));
    dir.put("none.bin", text(Bytes(64, 0xFF)));
    fs::create_directory(dir.path() / "taken");
    dir.put("taken/06-3c-03", "mine");

    const Result only_damaged = dir.run({"-extract", "damaged.bin", "out"});
    EXPECT_EQ(only_damaged.out, "   Skipped update 01 at offset 0x00000000: BAD CHECKSUM\n");
    EXPECT_EQ(only_damaged.code, 1);
    EXPECT_FALSE(fs::exists(dir.path() / "out")) << "nothing is created, the directory included";

    const Result taken = dir.run({"-extract", "mixed.bin", "taken"});
    EXPECT_EQ(taken.out, "   Skipped update 01 at offset 0x00000000: BAD CHECKSUM\n   " +
                             (dir.path() / "taken").string().substr(dir.path().string().size() + 1) +
                             "/06-3c-03 exists already; nothing was written\n");
    EXPECT_EQ(taken.code, 6);
    EXPECT_EQ(read_file(dir.path() / "taken" / "06-3c-03"), "mine");

    const Result mixed_out = dir.run({"-extract", "mixed.bin", "out"});
    EXPECT_EQ(mixed_out.out, "   Skipped update 01 at offset 0x00000000: BAD CHECKSUM\n"
                             "   06-3c-03: 1 update, 0000001B\n"
                             "   1 file written, 1 update in them\n");
    EXPECT_EQ(mixed_out.code, 0);

    const Result parent_missing = dir.run({"-extract", "mixed.bin", "no/such"});
    EXPECT_EQ(parent_missing.out.rfind("   Skipped update 01 at offset 0x00000000: BAD CHECKSUM\n"
                                       "   Can't create directory no/such: ", 0),
              0u)
        << parent_missing.out;
    EXPECT_EQ(parent_missing.code, 6);

    run_cases({
        {"no header", {{"none.bin", text(Bytes(64, 0xFF))}}, {"-extract", "none.bin", "out"}, "", 1},
        {"no directory given", {{"none.bin", ""}}, {"-extract", "none.bin"},
         "-extract needs a directory: tarnwick -extract <file> <directory>\n", 4},
        {"latest, directory missing", {{"a.bin", text(u.a)}}, {"-latest", "a.bin", "no-such-dir"},
         "Directory can't be opened.\n", 2},
        {"latest, no header", {{"none.bin", text(Bytes(64, 0xFF))}}, {"-latest", "none.bin", "."}, "", 1},
        {"latest, file missing", {}, {"-latest", "none.bin", "."}, "File can't be opened.\n", 2},
    });
}

}  // namespace

namespace {

// -update as a user runs it: on every platform the tool is built for, the
// new image is written whole beside the old, which stays; a refusal and an
// existing name leave everything as it was.
TEST(Update, WritesANewImageAndLeavesTheOld) {
    synth::FlashOptions options;
    const synth::Flash flash = synth::make_flash(options);
    const Bytes newer = synth::make_update({.revision = 0x2F, .data_size = 0x7D0, .extra_signatures = {}});
    const Workdir dir;
    dir.put("bios.bin", text(flash.image));
    dir.put("ucode.bin", text(newer));
    const Result r = dir.run({"-update", "bios.bin", "new.bin", "ucode.bin"});
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find(" |01| 00100060 | 000306C3 |    32    | 0000001B | 0000002F | UPDATED       |\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("   1 updated, 0 unchanged: written to new.bin\n"), std::string::npos) << r.out;
    EXPECT_EQ(read_file(dir.path() / "bios.bin"), text(flash.image));
    const std::string written = read_file(dir.path() / "new.bin");
    EXPECT_EQ(written.size(), flash.image.size());
    EXPECT_NE(written.find(text(newer)), std::string::npos);
    EXPECT_EQ(dir.run({"-fitcheck", "new.bin"}).code, 0);
    EXPECT_EQ(dir.run({"-verify", "new.bin"}).code, 0);

    const Result again = dir.run({"-update", "bios.bin", "new.bin", "ucode.bin"});
    EXPECT_EQ(again.code, 6);
    EXPECT_EQ(read_file(dir.path() / "new.bin"), written);

    // Boot Guard hashes the microcode file at every boot.
    options.guard.manifests = synth::GuardOptions::Manifests::real;
    options.guard.segments = {{synth::Cover::microcode_file}};
    dir.put("guarded.bin", text(synth::make_flash(options).image));
    const Result refused = dir.run({"-update", "guarded.bin", "guarded-new.bin", "ucode.bin"});
    EXPECT_EQ(refused.code, 9);
    EXPECT_EQ(refused.out.rfind("   Refused: the change writes to the microcode file at 0x100048", 0), 0u) << refused.out;
    EXPECT_FALSE(fs::exists(dir.path() / "guarded-new.bin"));
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir.path())) {
        ++entries;
    }
    EXPECT_EQ(entries, 4u) << "no temporary left";
}

// -add and -remove as a user runs them: an update for a new processor goes
// in with its FIT entry, comes out again, and the image is the old one.
TEST(Update, AddThenRemoveGivesTheImageBack) {
    synth::FlashOptions options;
    options.pad_data = 0x30;  // a start-up vector near the pad's end
    const synth::Flash flash = synth::make_flash(options);
    const Bytes other = synth::make_update(
        {.revision = 0x0A, .signature = 0x806EC, .flags = 0x94, .data_size = 0x7D0, .extra_signatures = {}});
    const Workdir dir;
    dir.put("bios.bin", text(flash.image));
    dir.put("other.bin", text(other));
    const Result added = dir.run({"-add", "bios.bin", "added.bin", "other.bin"});
    EXPECT_EQ(added.code, 0) << added.out;
    EXPECT_NE(added.out.find(" |02| 00100460 | 000806EC |    94    | 0000000A | 0000000A | ADDED         |\n"),
              std::string::npos)
        << added.out;
    EXPECT_NE(added.out.find("   FIT: 1 entry added, 0 re-pointed\n   1 added, 0 updated, 1 unchanged: written to "
                             "added.bin\n"),
              std::string::npos)
        << added.out;
    EXPECT_EQ(dir.run({"-fitcheck", "added.bin"}).code, 0);
    EXPECT_EQ(dir.run({"-verify", "added.bin"}).code, 0);
    EXPECT_EQ(dir.run({"-add", "added.bin", "again.bin", "other.bin"}).code, 1);

    const Result removed = dir.run({"-remove", "added.bin", "removed.bin", "0x000806ec"});
    EXPECT_EQ(removed.code, 0) << removed.out;
    EXPECT_NE(removed.out.find("   1 removed, 1 kept: written to removed.bin\n"), std::string::npos) << removed.out;
    const std::string back = read_file(dir.path() / "removed.bin");
    EXPECT_EQ(dir.run({"-fitcheck", "removed.bin"}).code, 0);
    // The updates and the FIT are as they were; the file stays grown.
    EXPECT_EQ(dir.run({"-fit", "removed.bin"}).out, dir.run({"-fit", "bios.bin"}).out);
    EXPECT_EQ(back.substr(flash.pad_data, 16), text(flash.image).substr(flash.pad_data, 16));
    EXPECT_EQ(dir.run({"-remove", "removed.bin", "again.bin", "806EC"}).code, 1);
    EXPECT_EQ(dir.run({"-remove", "removed.bin", "again.bin", "80G"}).code, 4);
    EXPECT_FALSE(fs::exists(dir.path() / "again.bin"));
}

}  // namespace

namespace {

// AMD patches through every command that reads them: a container of two
// families and a bare Zen patch after it, and a bare pre-Zen one.
TEST(Amd, VerifyJsonExtractLatest) {
    const synth::AmdPatch fam10h{};
    const synth::AmdPatch zen{.date = 0x12192023, .patch_id = 0x0800126F, .format = 0x8004, .len = 0, .init = 0,
                              .equiv_id = 0x8012, .size = 0xC80, .checksum = false, .checksum_field = 0};
    Bytes damaged = synth::make_amd_patch(fam10h);
    damaged[0x200] ^= 1;
    Bytes image = synth::make_amd_container({{0x00100F22, 0x1022}, {0x00100F23, 0x1022}, {0x00800F12, 0x8012}},
                                            {synth::make_amd_patch(fam10h), synth::make_amd_patch(zen)});
    synth::append(image, Bytes(0x10, 0xFF));
    synth::append(image, synth::make_amd_patch({.date = 0x02232024, .patch_id = 0x0A0011D5, .format = 0x8005,
                                                .len = 0, .init = 0, .equiv_id = 0xA011, .size = 0x15C0,
                                                .checksum = false, .checksum_field = 0}));
    const Workdir dir;
    dir.put("amd.bin", text(image));
    const std::string amd_heading =
        " +--------------------------------------------------------------------------------------+\n"
        " |No|  Offset  |   CPUID  |  Equiv   | Patch ID |    Date    | Size Hex |    Status     |\n"
        " +--+----------+----------+----------+----------+------------+----------+---------------+\n";
    const std::string rows =
        " |01| 00000054 | 00100F22 |   1022   | 01000083 | 30-04-2008 | 000003C0 | OK            |\n"
        " |  |          | 00100F23 |          |          |            |          |               |\n"
        " |02| 0000041C | 00800F12 |   8012   | 0800126F | 19-12-2023 | 00000C80 | OK            |\n"
        " |03| 000010AC | 00A00F11 |   A011   | 0A0011D5 | 23-02-2024 | 000015C0 | OK            |\n";
    const Result verify = dir.run({"-verify", "amd.bin"});
    EXPECT_EQ(verify.out, amd_heading + rows + latest_rule + "   3 AMD patches: 3 intact, 0 damaged\n");
    EXPECT_EQ(verify.code, 0);

    EXPECT_EQ(jq(".[0].amd | map([.kind, .patch_id, .equiv_id, (.cpuids | join(\" \")), .date, .format, .size, "
                 ".status, .min_revision] | map(tostring) | join(\",\")) | join(\"\\n\")",
                 dir.run({"-json", "amd.bin"}).out),
              "container,0x01000083,0x1022,0x00100F22 0x00100F23,2008-04-30,0x8000,960,ok,null\n"
              "container,0x0800126F,0x8012,0x00800F12,2023-12-19,0x8004,3200,ok,null\n"
              "bare,0x0A0011D5,0xA011,0x00A00F11,2024-02-23,0x8005,5568,ok,null\n");

    const Result extracted = dir.run({"-extract", "amd.bin", "ucode"});
    EXPECT_EQ(extracted.out, "   microcode_amd.bin: 1 AMD patch, 01000083\n"
                             "   microcode_amd_fam17h.bin: 1 AMD patch, 0800126F\n"
                             "   microcode_amd_fam19h.bin: 1 AMD patch, 0A0011D5\n"
                             "   3 files written, 3 AMD patches in them\n");
    EXPECT_EQ(extracted.code, 0);
    EXPECT_EQ(dir.run({"-extract", "amd.bin", "ucode"}).code, 6) << "never over what exists";
    const Result latest = dir.run({"-latest", "amd.bin", "ucode"});
    EXPECT_EQ(latest.code, 0) << latest.out;
    EXPECT_NE(latest.out.find(" |03| 000010AC | 00A00F11 |   A011   | 0A0011D5 | 23-02-2024 | 0A0011D5 | LATEST        |\n"),
              std::string::npos)
        << latest.out;

    // A damaged patch, and a bare one with no processor to map.
    Bytes other = synth::make_amd_container({{0x00100F22, 0x1022}}, {damaged});
    synth::append(other, Bytes(0x10, 0xFF));
    synth::append(other, synth::make_amd_patch({.patch_id = 0x01000090}));
    dir.put("other.bin", text(other));
    const Result v2 = dir.run({"-verify", "other.bin"});
    EXPECT_EQ(v2.code, 7);
    EXPECT_NE(v2.out.find("| BAD CHECKSUM  |"), std::string::npos) << v2.out;
    EXPECT_NE(v2.out.find(" |02| 00000404 |          |   1022   | 01000090 |"), std::string::npos) << v2.out;
    const Result l2 = dir.run({"-latest", "other.bin", "ucode"});
    EXPECT_EQ(l2.code, 7) << l2.out;
    EXPECT_NE(l2.out.find("| 01000090 | 30-04-2008 | 01000083 | LATEST        |"), std::string::npos)
        << "bare 0x01000090 is newer than the folder's" << l2.out;
    const Result e2 = dir.run({"-extract", "other.bin", "out"});
    EXPECT_EQ(e2.out, "   Skipped AMD patch 01 at offset 0x00000034: BAD CHECKSUM\n"
                      "   Skipped AMD patch 02 at offset 0x00000404: bare, with no processor to map it to\n");
    EXPECT_EQ(e2.code, 1);
}

// -advisories as a user runs it: notes plain or gzip (through zlib, in
// every build), from a file or a pipe; what it says where they can't be had.
TEST(Advisories, NotesPlainOrGzipAndWhatGoesWrong) {
    const std::string head =
        "| Processor | Stepping | F-M-S/PI    | Old Ver  | New Ver  | Products\n"
        "|:----------|:---------|:------------|:---------|:---------|:---------\n";
    const std::string notes =
        "# Release Notes\n## [microcode-2022027](https://example.org/)\n### Purpose\n"
        "- Security updates for [INTEL-SA-00528](https://example.org/intel-sa-00528.html)\n"
        "### Updated Platforms\n" + head + "| HSX-E/EP  | Cx/M1    | 06-3f-02/6f | 00000046 | 00000049 | Xeon E5 v3\n"
        "## [microcode-20190312](https://example.org/)\n### Purpose\n- Security updates for [INTEL-SA-00088]\n"
        "### New Platforms\n" + head + "| HSX-E/EP  | Cx/M1    | 06-3f-02/6f |          | 0000003e | Xeon E5 v3\n";
    const Workdir dir;
    Bytes image = synth::make_update({.revision = 0x3D, .signature = 0x306F2, .flags = 0x6F, .extra_signatures = {}});
    synth::append(image, synth::make_update({.revision = 0x14, .signature = 0x406F0, .flags = 0xEF, .extra_signatures = {}}));
    dir.put("img.bin", text(image));
    dir.put("notes.md", notes);
    dir.put("plain.txt", "no release here\n");
    // Two gzip members end to end hold the two halves, as `cat a.gz b.gz` makes.
    ASSERT_EQ(dir.shell("gzip -9nc notes.md >notes.md.gz && head -c 40 notes.md.gz >cut.gz && "
                        "head -c 300 notes.md | gzip -9nc >a.gz && tail -c +301 notes.md | gzip -9nc >b.gz && "
                        "cat a.gz b.gz >twice.gz")
                  .code,
              0);
    const std::string expected =
        "CPUID 000306F2  platform 6F  version 0000003D  missed 2: microcode-20190312 (INTEL-SA-00088), "
        "microcode-2022027 (INTEL-SA-00528)\n"
        "CPUID 000406F0  platform EF  version 00000014  not in the notes\n"
        "1 of 2 updates miss a security release\n";
    for (const char* given : {"notes.md", "notes.md.gz", "twice.gz"}) {
        SCOPED_TRACE(given);
        const Result r = dir.run({"-advisories", "img.bin", given});
        EXPECT_EQ(r.out, expected);
        EXPECT_EQ(r.code, 8);
    }
    if (!windows_build()) {
        const Result piped = dir.run({"-advisories", "img.bin", "/dev/stdin"}, "cat notes.md.gz | ");
        EXPECT_EQ(piped.out, expected) << "gzip through a pipe";
        EXPECT_EQ(piped.code, 8);
    }
    const Result cut = dir.run({"-advisories", "img.bin", "cut.gz"});
    EXPECT_EQ(cut.code, 7);
    EXPECT_EQ(cut.out.rfind("Release notes cut.gz are a damaged gzip file: ", 0), 0u) << cut.out;
    const Result none = dir.run({"-advisories", "img.bin", "plain.txt"});
    EXPECT_EQ(none.code, 7);
    EXPECT_EQ(none.out, "Release notes plain.txt hold no release: no line starts with \"## [microcode-\".\n");
    const Result missing = dir.run({"-advisories", "img.bin", "gone.md.gz"});
    EXPECT_EQ(missing.code, 2);
    EXPECT_EQ(missing.out, "Release notes can't be opened: gone.md.gz. Install the intel-microcode package, or give "
                           "their path: tarnwick -advisories <file> <release notes>\n");
    dir.put("empty.bin", "");
    const Result nothing = dir.run({"-advisories", "empty.bin", "gone.md.gz"});
    EXPECT_EQ(nothing.out, "No intact update in the file.\n") << "the notes are needed only for an intact update";
    EXPECT_EQ(nothing.code, 1);
}

// Debian's and Ubuntu's own notes, and their own microcode: the newest of
// each processor misses nothing.
TEST(Advisories, TheDistributionsOwnNotes) {
    const fs::path notes = "/usr/share/doc/intel-microcode/releasenote.md.gz";
    const fs::path ucode = "/lib/firmware/intel-ucode";
    if (windows_build() || !fs::exists(notes) || !fs::is_directory(ucode)) {
        GTEST_SKIP() << "the intel-microcode package is not installed (" << notes << ", " << ucode << ")";
    }
    const Workdir dir;
    ASSERT_EQ(dir.shell("cat '" + ucode.string() + "'/* >all.bin").code, 0);
    const Result r = dir.run({"-advisories", "all.bin"});
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find(" updates miss a security release\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.rfind("0 of ", r.out.rfind('\n', r.out.size() - 2) + 1), r.out.rfind('\n', r.out.size() - 2) + 1)
        << r.out.substr(r.out.size() > 200 ? r.out.size() - 200 : 0);
}

}  // namespace
