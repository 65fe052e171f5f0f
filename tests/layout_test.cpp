// The loader's file names, the layout rule that picks which update goes into
// which file, and the comparison with a reference set.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "intel/loader_layout.h"
#include "synth.h"

namespace {

using tarnwick::Currency;
using tarnwick::LayoutUpdate;

TEST(LoaderFileName, FamilyModelStepping) {
    const std::vector<std::pair<std::uint32_t, std::string>> cases = {
        {0x000906A3, "06-9a-03"},  // family 6: extended model
        {0x000306C3, "06-3c-03"},
        {0x00000F29, "0f-02-09"},  // family 0xF without an extended family
        {0x00400F31, "13-03-01"},  // family 0xF + 4
        {0x00010F43, "0f-14-03"},  // family 0xF: extended model counts
        {0x00010543, "05-04-03"},  // below family 6: extended model ignored
        {0x000006F6, "06-0f-06"},
        {0x00003F29, "0f-02-09"},  // processor type bits play no part
        {0x0FF00F00, "10e-00-00"},  // largest extended family
    };
    for (const auto& [signature, name] : cases) {
        EXPECT_EQ(tarnwick::loader_file_name(signature), name) << std::hex << signature;
    }
}

LayoutUpdate u(std::uint32_t revision, std::vector<tarnwick::ServedProcessor> processors) {
    return {revision, std::move(processors)};
}

TEST(LoaderLayout, WhichFileHoldsWhichUpdate) {
    struct Case {
        const char* name;
        std::vector<LayoutUpdate> updates;
        std::vector<std::pair<std::string, std::vector<std::size_t>>> files;
    };
    const std::uint32_t a = 0x000906A3;  // 06-9a-03
    const std::uint32_t b = 0x000906A4;  // 06-9a-04
    const std::vector<Case> cases = {
        {"one update", {u(1, {{a, 0x80}})}, {{"06-9a-03", {0}}}},
        {"newer wins its bit", {u(1, {{a, 0x80}}), u(2, {{a, 0x80}})}, {{"06-9a-03", {1}}}},
        {"older kept for a bit the newer lacks", {u(1, {{a, 0x81}}), u(2, {{a, 0x80}})}, {{"06-9a-03", {0, 1}}}},
        {"older without a bit of its own goes", {u(1, {{a, 0x01}}), u(2, {{a, 0x81}})}, {{"06-9a-03", {1}}}},
        {"equal revisions: the first found", {u(5, {{a, 0x02}}), u(5, {{a, 0x02}})}, {{"06-9a-03", {0}}}},
        {"same update twice, as in a backup region", {u(3, {{a, 0x22}}), u(1, {{b, 1}}), u(3, {{a, 0x22}})},
         {{"06-9a-03", {0}}, {"06-9a-04", {1}}}},
        {"revisions compare unsigned", {u(0x80000000, {{a, 1}}), u(0x7FFFFFFF, {{a, 1}})}, {{"06-9a-03", {0}}}},
        {"flags 0 compete only with flags 0", {u(9, {{a, 0x01}}), u(1, {{a, 0}}), u(2, {{a, 0}})},
         {{"06-9a-03", {0, 2}}}},
        {"flags past the low byte don't count", {u(1, {{a, 0x100}}), u(2, {{a, 0x00}})}, {{"06-9a-03", {1}}}},
        {"two signatures through an extended table", {u(7, {{a, 0x80}, {b, 0x40}}), u(8, {{b, 0x40}})},
         {{"06-9a-03", {0}}, {"06-9a-04", {1}}}},
        {"extended signature keeps its own flags", {u(7, {{a, 0x80}, {b, 0x40}}), u(8, {{b, 0x80}})},
         {{"06-9a-03", {0}}, {"06-9a-04", {0, 1}}}},
        {"two signatures into one file, written once", {u(7, {{a, 0x80}, {0x000916A3, 0x80}})}, {{"06-9a-03", {0}}}},
        {"file order kept", {u(9, {{a, 0x02}}), u(1, {{a, 0x01}})}, {{"06-9a-03", {0, 1}}}},
        {"nothing", {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::pair<std::string, std::vector<std::size_t>>> files;
        for (const tarnwick::LayoutFile& f : tarnwick::loader_layout(c.updates)) {
            files.emplace_back(f.name, f.updates);
        }
        EXPECT_EQ(files, c.files);
    }
}

// An extended table at offset 0 of this image, whose one entry names
// processor 0x906A4 on platform bit 1.
const synth::Bytes table_image = [] {
    synth::Bytes b(32, 0);
    synth::put_le32(b, 0, 1);
    synth::put_le32(b, 20, 0x906A4);
    synth::put_le32(b, 24, 0x02);
    return b;
}();

// A found update with the given fields, intact unless `damaged`; `table`
// gives it table_image's table.
tarnwick::FoundUpdate found(std::uint32_t cpuid, std::uint32_t flags, std::uint32_t revision, bool damaged = false,
                            bool table = false) {
    tarnwick::FoundUpdate f{};
    f.header.processor_signature = cpuid;
    f.header.processor_flags = flags;
    f.header.update_revision = revision;
    f.check.status = damaged ? tarnwick::UpdateStatus::bad_checksum : tarnwick::UpdateStatus::ok;
    if (table) {
        f.check.extended = tarnwick::ExtendedTable{0, 1};
        f.shown = tarnwick::TableShown::listed;
    }
    return f;
}

TEST(CompareCurrency, Rows) {
    struct Row {
        Currency currency;
        std::optional<std::uint32_t> newest;
        bool operator==(const Row&) const = default;
    };
    struct Case {
        const char* name;
        std::vector<tarnwick::FoundUpdate> file;
        std::vector<LayoutUpdate> reference;
        std::vector<Row> rows;
    };
    const std::uint32_t p4 = 0x00000F48;  // 0f-04-08
    const std::vector<LayoutUpdate> intel_0f_04_08 = {u(0x07, {{p4, 0x5F}}), u(0x0C, {{p4, 0x01}}),
                                                      u(0x0E, {{p4, 0x02}})};
    const std::vector<Case> cases = {
        {"0f-04-08: revision 7 serves the bits nothing newer has",
         {found(p4, 0x5F, 0x07), found(p4, 0x01, 0x0C), found(p4, 0x02, 0x0E)}, intel_0f_04_08,
         {{Currency::latest, 0x07}, {Currency::latest, 0x0C}, {Currency::latest, 0x0E}}},
        {"alone, revision 7 is outdated by 0x0E on bit 1", {found(p4, 0x5F, 0x07)}, intel_0f_04_08,
         {{Currency::outdated, 0x0E}}},
        {"an old copy beside a new one", {found(p4, 0x02, 0x05), found(p4, 0x02, 0x0E)}, intel_0f_04_08,
         {{Currency::superseded, std::nullopt}, {Currency::latest, 0x0E}}},
        {"a CPUID the reference lacks", {found(0x906A3, 0x80, 1)}, intel_0f_04_08, {{Currency::unknown, std::nullopt}}},
        {"newer in the reference on one of two bits", {found(0x906A3, 0x81, 3)},
         {u(3, {{0x906A3, 0x81}}), u(4, {{0x906A3, 0x80}})}, {{Currency::outdated, 4}}},
        {"newer in the reference on a bit the row lacks", {found(0x906A3, 0x01, 3)},
         {u(3, {{0x906A3, 0x01}}), u(4, {{0x906A3, 0x80}})}, {{Currency::latest, 3}}},
        {"newer than the reference", {found(0x906A3, 0x01, 9)}, {u(3, {{0x906A3, 0x01}})}, {{Currency::latest, 3}}},
        {"reference through an extended signature", {found(0x906A4, 0x02, 3)}, {u(5, {{0x906A3, 0x02}, {0x906A4, 0x02}})},
         {{Currency::outdated, 5}}},
        {"a file's extended signature supersedes", {found(0x906A4, 0x02, 3), found(0x906A3, 0x02, 5, false, true)},
         {}, {{Currency::superseded, std::nullopt}, {Currency::unknown, std::nullopt}}},
        {"a damaged row is not compared, nor supersedes", {found(p4, 0x02, 0x20, true), found(p4, 0x02, 0x05)},
         intel_0f_04_08, {{Currency::damaged, std::nullopt}, {Currency::outdated, 0x0E}}},
        {"flags 0", {found(0x6F6, 0, 1)}, {u(2, {{0x6F6, 0}}), u(9, {{0x6F6, 1}})}, {{Currency::outdated, 2}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Row> rows;
        for (const tarnwick::CurrencyRow& r : tarnwick::compare_currency(table_image, c.file, c.reference)) {
            rows.push_back({r.currency, r.newest});
        }
        EXPECT_EQ(rows, c.rows);
    }
}

}  // namespace
