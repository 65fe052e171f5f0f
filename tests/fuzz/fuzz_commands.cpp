// libFuzzer target: arbitrary bytes as the image, run through every
// command. Output goes to a stream that discards it.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <streambuf>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

#include "advisories/release_notes.h"
#include "bootguard/boot_guard.h"
#include "commands/commands.h"
#include "edit/plan.h"
#include "intel/loader_layout.h"
#include "intel/update_check.h"

namespace {

class NullBuffer : public std::streambuf {
protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// A small database, written once: a known key, words of other shapes, a
// word far longer than a key, CRLF line ends, a byte-order mark. Its name is
// removed at once; the scan opens it through the descriptor kept open, so
// nothing is left behind however the fuzzer ends.
std::string make_database() {
    char path[] = "/tmp/tarnwick-fuzz-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) {
        std::abort();
    }
    ::unlink(path);
    std::string db = "\xEF\xBB\xBF# keys\r\n000306C3000000320000001B0713201600005C001A2B3C4D\r\n";
    db += "000306c3000000320000001b0713201600005c001a2b3c4d\n\t \n";
    for (int i = 0; i < 300; ++i) {
        db += "0123456789ABCDEF";
    }
    db += "\n00000000000000000000000000000000000000000000000";
    if (::write(fd, db.data(), db.size()) != static_cast<ssize_t>(db.size())) {
        std::abort();
    }
    return "/proc/self/fd/" + std::to_string(fd);
}

// Takes the files -extract would write and writes none of them.
class DiscardingSink : public tarnwick::FileSink {
public:
    std::optional<std::string> write_all(const std::vector<tarnwick::OutputFile>& files) override {
        std::size_t bytes = 0;
        for (const tarnwick::OutputFile& f : files) {
            for (const tarnwick::Image& piece : f.pieces) {
                bytes += piece.size();
            }
        }
        return bytes % 2 == 0 ? std::nullopt : std::optional<std::string>("refused");
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string database = make_database();
    static NullBuffer discard;
    static std::ostream sink(&discard);

    const tarnwick::Image image(data, size);
    tarnwick::run_info(image, sink);
    tarnwick::run_check(image, sink);
    tarnwick::run_fit(image, sink);
    tarnwick::run_verify(image, sink);
    tarnwick::run_fitcheck(image, sink);
    // The bytes as release notes, judged for the file's own updates.
    const tarnwick::ReleaseNotes notes =
        tarnwick::read_release_notes(std::string_view(reinterpret_cast<const char*>(data), size));
    tarnwick::run_advisories(image, tarnwick::find_updates(image), notes, size, sink);
    // The manifests' reader on the bytes alone, as if the FIT named them.
    tarnwick::read_manifest(image, tarnwick::fit_type_key_manifest);
    tarnwick::read_manifest(image, tarnwick::fit_type_boot_policy);
    sink << tarnwick::json_line("fuzz", image);
    DiscardingSink files;
    tarnwick::run_extract(image, files, sink);
    // The image as its own reference directory.
    std::vector<tarnwick::LayoutUpdate> reference;
    for (const tarnwick::FoundUpdate& u : tarnwick::find_intact_updates(image)) {
        reference.push_back(tarnwick::layout_update(image, u));
    }
    std::vector<tarnwick::AmdKnown> amd_reference;
    tarnwick::add_known_amd(image, amd_reference);
    tarnwick::run_latest(image, tarnwick::find_updates(image), reference, tarnwick::find_amd_patches(image), amd_reference, sink);
    tarnwick::run_scan_with_database(image, database.c_str(), sink);

    // -update with the image's own intact updates as the source: a newer
    // one of them replaces an older one. A plan whose result fails its own
    // check is a finding, not a refusal.
    std::vector<tarnwick::SourceUpdate> sources;
    tarnwick::add_source_updates(image, sources);
    // -add of the same updates, and -remove of the first one's processor,
    // are held to the same.
    std::vector<std::uint32_t> signatures;
    if (!sources.empty()) {
        signatures.push_back(sources.front().header.processor_signature);
    }
    for (const tarnwick::UpdatePlan& plan :
         {tarnwick::plan_update(image, sources), tarnwick::plan_add(image, sources),
          tarnwick::plan_remove(image, signatures)}) {
        if (plan.outcome == tarnwick::UpdatePlan::Outcome::planned) {
            const std::vector<std::uint8_t> updated = tarnwick::apply_update(image, plan);
            if (tarnwick::check_updated(image, updated, plan)) {
                __builtin_trap();
            }
        }
    }
    return 0;
}
