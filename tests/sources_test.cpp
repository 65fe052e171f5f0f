// Reading a source directory headers first gives what reading every file
// whole gives: the same plan for -update and the same comparison for
// -latest, whatever the directory holds.

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/sources.h"
#include "edit/plan.h"
#include "flash.h"
#include "intel/loader_layout.h"
#include "synth.h"

namespace {

namespace fs = std::filesystem;
using synth::Bytes;

synth::Update update(std::uint32_t revision, std::uint32_t signature, std::uint32_t flags, std::uint32_t data = 0x3D0,
                     std::vector<std::uint32_t> extra = {}) {
    return {.revision = revision, .date = 0x07132016, .signature = signature, .flags = flags, .data_size = data,
            .extra_signatures = std::move(extra)};
}

Bytes container(const std::vector<synth::Update>& updates) {
    Bytes b;
    for (const synth::Update& u : updates) {
        synth::append(b, synth::make_update(u));
    }
    return b;
}

// The same update with a byte of its data changed: damaged.
Bytes damaged(const synth::Update& u) {
    Bytes b = synth::make_update(u);
    b[0x100] ^= 0x01;
    return b;
}

struct Directory {
    const char* name;
    std::vector<std::pair<std::string, Bytes>> files;
};

std::vector<Directory> directories() {
    const synth::Update newest = update(0x40, 0x306C3, 0x32, 0x7D0);
    Bytes with_tail = container({update(0x22, 0x906EA, 0x22, 0x3D0, {0x906EB})});
    synth::append(with_tail, Bytes(5, 0x00));
    Bytes image_like(0x300, 0xFF);
    synth::append(image_like, synth::make_update(update(0x33, 0xA0671, 0x02)));
    Bytes newest_damaged = container({update(0x20, 0x306C3, 0x32)});
    synth::append(newest_damaged, damaged(newest));
    return {
        {"containers end to end",
         {{"06-3c-03", container({update(0x20, 0x306C3, 0x32), update(0x21, 0x306C3, 0x02)})},
          {"06-9e-0a", container({update(0x22, 0x906EA, 0x22, 0x7D0, {0x906EB, 0x906EC})})},
          {"06-a7-01", container({update(0x31, 0xA0671, 0x02, 0x1000)})}}},
        {"the newest update damaged", {{"06-3c-03", newest_damaged}, {"06-a7-01", container({update(0x31, 0xA0671, 0x02)})}}},
        {"a damaged update nothing rests on",
         {{"06-3c-03", container({update(0x20, 0x306C3, 0x32)})}, {"06-0f-06", damaged(update(0x09, 0x6F6, 0x01))}}},
        {"bytes after the last update", {{"06-9e-0a", with_tail}, {"06-3c-03", container({update(0x20, 0x306C3, 0x32)})}}},
        {"an image, not a container", {{"bios.bin", image_like}, {"empty", {}}}},
        {"each newer update damaged, file after file",
         {{"a", damaged(update(0x43, 0x306C3, 0x32))},
          {"b", damaged(update(0x42, 0x306C3, 0x32))},
          {"c", container({update(0x21, 0x906EA, 0x22), update(0x41, 0x306C3, 0x32)})},
          {"d", damaged(update(0x44, 0xA0671, 0x02))}}},
    };
}

std::vector<tarnwick::SourceUpdate> whole(const std::vector<std::pair<std::string, Bytes>>& files,
                                          const std::string& dir) {
    std::vector<tarnwick::SourceUpdate> sources;
    static std::vector<Bytes> held;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (!entry.is_regular_file()) {
            continue;
        }
        for (const auto& [name, bytes] : files) {
            if (entry.path().filename() == name) {
                held.push_back(bytes);
            }
        }
        tarnwick::add_source_updates(held.back(), sources);
    }
    return sources;
}

std::vector<tarnwick::LayoutUpdate> layout(std::span<const tarnwick::SourceUpdate> sources) {
    std::vector<tarnwick::LayoutUpdate> l;
    for (const tarnwick::SourceUpdate& s : sources) {
        l.push_back({s.header.update_revision, s.processors});
    }
    return l;
}

TEST(Sources, HeadersFirstGiveWhatWholeFilesGive) {
    synth::FlashOptions o;
    o.updates = {update(0x10, 0x306C3, 0x32), update(0x20, 0x906EA, 0x22, 0x7B0, {0x906EB}), update(0x05, 0x6F6, 0x01),
                 update(0x30, 0xA0671, 0x02)};
    const synth::Flash flash = synth::make_flash(o);
    const tarnwick::FoundUpdates found = tarnwick::find_updates(flash.image);
    for (const Directory& d : directories()) {
        SCOPED_TRACE(d.name);
        const fs::path dir = fs::temp_directory_path() / ("tarnwick-sources-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir / "a directory, passed over");
        for (const auto& [name, bytes] : d.files) {
            ASSERT_TRUE(synth::write_file((dir / name).string(), bytes));
        }
        const std::vector<tarnwick::SourceUpdate> all = whole(d.files, dir.string());

        std::optional<tarnwick::HeaderFirstSource> source = tarnwick::HeaderFirstSource::open(dir.string());
        ASSERT_TRUE(source.has_value());
        const tarnwick::UpdatePlan expected = tarnwick::plan_update(flash.image, all);
        const tarnwick::UpdatePlan got = tarnwick::plan_update(flash.image, *source);
        ASSERT_EQ(got.outcome, expected.outcome) << got.reason;
        ASSERT_EQ(got.rows.size(), expected.rows.size());
        for (std::size_t i = 0; i < got.rows.size(); ++i) {
            EXPECT_EQ(got.rows[i].status, expected.rows[i].status) << i;
            EXPECT_TRUE(std::equal(got.rows[i].bytes.begin(), got.rows[i].bytes.end(), expected.rows[i].bytes.begin(),
                                   expected.rows[i].bytes.end()))
                << i;
        }
        if (got.outcome == tarnwick::UpdatePlan::Outcome::planned) {
            EXPECT_EQ(tarnwick::apply_update(flash.image, got), tarnwick::apply_update(flash.image, expected));
        }

        // -latest, from a second reading.
        std::optional<tarnwick::HeaderFirstSource> reference = tarnwick::HeaderFirstSource::open(dir.string(), true);
        ASSERT_TRUE(reference.has_value());
        std::vector<tarnwick::LayoutUpdate> read = layout(reference->updates());
        while (!reference->check(tarnwick::currency_sources(flash.image, found.updates, read))) {
            read = layout(reference->updates());
        }
        const auto rows = tarnwick::compare_currency(flash.image, found.updates, read);
        const auto rows_whole = tarnwick::compare_currency(flash.image, found.updates, layout(all));
        ASSERT_EQ(rows.size(), rows_whole.size());
        for (std::size_t i = 0; i < rows.size(); ++i) {
            EXPECT_EQ(rows[i].currency, rows_whole[i].currency) << i;
            EXPECT_EQ(rows[i].newest, rows_whole[i].newest) << i;
        }
        fs::remove_all(dir);
    }
    EXPECT_FALSE(tarnwick::HeaderFirstSource::open("/nonexistent/tarnwick").has_value());
}

// What is read whole is only what the choice rests on.
TEST(Sources, OnlyTheUpdatesChosenAreRead) {
    const fs::path dir = fs::temp_directory_path() / ("tarnwick-sources-read-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    ASSERT_TRUE(synth::write_file((dir / "c").string(),
                                  container({update(0x20, 0x306C3, 0x32), update(0x21, 0x906EA, 0x22),
                                             update(0x22, 0xA0671, 0x02)})));
    std::optional<tarnwick::HeaderFirstSource> source = tarnwick::HeaderFirstSource::open((dir / "c").string());
    ASSERT_TRUE(source.has_value());
    ASSERT_EQ(source->updates().size(), 3u);
    for (const tarnwick::SourceUpdate& u : source->updates()) {
        EXPECT_TRUE(u.bytes.empty()) << "nothing read but headers";
    }
    const std::size_t second[] = {1};
    EXPECT_TRUE(source->confirm(second));
    EXPECT_TRUE(source->updates()[0].bytes.empty());
    EXPECT_EQ(source->updates()[1].bytes.size(), 0x400u);
    EXPECT_TRUE(source->updates()[2].bytes.empty());
    EXPECT_FALSE(tarnwick::HeaderFirstSource::open(dir.string() + "/c", true).has_value()) << "a file, not a directory";
    fs::remove_all(dir);
}

}  // namespace
