// libFuzzer target: arbitrary bytes as the image, run through all four
// commands. Output goes to a stream that discards it.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <streambuf>
#include <string>

#include "commands/commands.h"

namespace {

class NullBuffer : public std::streambuf {
protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// A small database, written once: a known key, words of other shapes, a
// word far longer than a key, CRLF line ends.
std::string make_database() {
    char dir[] = "/tmp/tarnwick-fuzz-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        std::abort();
    }
    const std::string path = std::string(dir) + "/ZOR.dat";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        std::abort();
    }
    std::fputs("# keys\r\n000306C3000000320000001B0713201600005C001A2B3C4D\r\n", f);
    std::fputs("000306c3000000320000001b0713201600005c001a2b3c4d\n\t \n", f);
    for (int i = 0; i < 300; ++i) {
        std::fputs("0123456789ABCDEF", f);
    }
    std::fputs("\n00000000000000000000000000000000000000000000000", f);
    std::fclose(f);
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string database = make_database();
    static NullBuffer discard;
    static std::ostream sink(&discard);

    const tarnwick::Image image(data, size);
    tarnwick::run_info(image, sink);
    tarnwick::run_check(image, sink);
    tarnwick::run_fit(image, sink);
    tarnwick::run_scan_with_database(image, database.c_str(), sink);
    return 0;
}
