#include "amd/amd.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "search/batch.h"
#include "search/checksum.h"
#include "search/find_pattern.h"
#include "search/lanes.h"

#if defined(TARNWICK_LANES) && defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace tarnwick {

namespace {

constexpr std::array<std::uint8_t, 4> container_magic{0x44, 0x4D, 0x41, 0x00};  // "DMA\0"
constexpr std::uint32_t equiv_table_type = 0;
constexpr std::uint32_t patch_section_type = 1;
constexpr std::size_t section_header_bytes = 8;
constexpr std::size_t equiv_entry_bytes = 16;

bool is_bcd(std::uint8_t b) { return (b & 0x0F) <= 9 && (b >> 4) <= 9; }

// The largest patch Linux's loader takes for a family; no limit past 14h.
std::optional<std::uint64_t> family_max_size(unsigned family) {
    if (family >= 0x10 && family <= 0x12) {
        return 2048;
    }
    if (family == 0x14) {
        return 1824;
    }
    return std::nullopt;
}

// The loader's checks, first failing wins, of the `size` bytes at
// `p.offset` whose header `p.header` has been read where it lies inside.
void judge(Image image, AmdPatch& p, bool header_whole) {
    const std::uint64_t room = image.size() - p.offset;
    if (p.size > room) {
        p.status = AmdStatus::truncated;
        p.missing = p.size - room;
        return;
    }
    if (p.size < amd_header_bytes || !header_whole) {
        p.status = AmdStatus::bad_size;
        return;
    }
    const AmdPatchHeader& h = p.header;
    if (const std::optional<std::uint64_t> most = family_max_size(amd_family(h.equiv_id)); most && p.size > *most) {
        p.status = AmdStatus::bad_size;
        return;
    }
    if (h.nb_dev_id != 0 || h.sb_dev_id != 0) {
        p.status = AmdStatus::bad_chipset;
        return;
    }
    p.min_revision = min_revision(h);
    if (summed_format(h.format)) {
        const std::size_t body = static_cast<std::size_t>(p.size) - amd_header_bytes;
        if (h.checksum != 0 && sum_words(image.subspan(p.offset + amd_header_bytes, body / 4 * 4)) != h.checksum) {
            p.status = AmdStatus::bad_checksum;
        }
    } else if (h.checksum != 0 && !p.min_revision) {
        p.status = AmdStatus::bad_checksum;
    }
}

// A table's entries for one equivalence id are listed in full for each
// patch while they are few, as every real table's are; a crafted table
// with thousands under one id gives them to its first patch only, so that
// output never grows with patches times entries.
constexpr std::size_t few_cpuids = 16;

struct Table {
    std::vector<AmdEquivEntry> entries;  // sorted by equivalence id, stable
    // (equiv id, Zen CPUID) given in full, and to which patch (its offset).
    std::map<std::pair<std::uint16_t, std::uint32_t>, std::size_t> listed;
};

void give_cpuids(AmdPatch& p, Table* table, std::size_t offset) {
    const std::uint32_t own = is_zen(p.header.patch_id) ? zen_cpuid(p.header.patch_id) : 0;
    if (table != nullptr) {
        const auto [first, last] = std::equal_range(
            table->entries.begin(), table->entries.end(), AmdEquivEntry{0, 0, 0, p.header.equiv_id},
            [](const AmdEquivEntry& a, const AmdEquivEntry& b) { return a.equiv_id < b.equiv_id; });
        const auto count = static_cast<std::size_t>(last - first);
        const auto [earlier, first_time] = table->listed.try_emplace({p.header.equiv_id, own}, offset);
        if (count > few_cpuids && !first_time) {
            p.cpuids_as = earlier->second;
        } else {
            p.equiv.assign(first, last);
            for (auto e = first; e != last; ++e) {
                p.cpuids.push_back(e->cpuid);
            }
        }
    }
    if (is_zen(p.header.patch_id) && !p.cpuids_as) {
        p.cpuids.push_back(own);
    }
    std::sort(p.cpuids.begin(), p.cpuids.end());
    p.cpuids.erase(std::unique(p.cpuids.begin(), p.cpuids.end()), p.cpuids.end());
}

// Walks the container whose magic is at `m`; returns where its last section
// ends, or nothing when no container starts there.
std::optional<std::size_t> walk_container(Image image, std::size_t m, std::vector<AmdPatch>& out) {
    if (!fits(image, m, 12) || read_le32(image, m + 4) != equiv_table_type) {
        return std::nullopt;
    }
    const std::size_t length = read_le32(image, m + 8);
    if (length == 0 || length % equiv_entry_bytes != 0 || !fits(image, m + 12, length)) {
        return std::nullopt;
    }
    const std::size_t last = m + 12 + length - equiv_entry_bytes;
    for (std::size_t i = 0; i < equiv_entry_bytes; ++i) {
        if (image[last + i] != 0) {
            return std::nullopt;
        }
    }
    Table table;
    for (std::size_t e = m + 12; e < last; e += equiv_entry_bytes) {
        const AmdEquivEntry entry{read_le32(image, e), read_le32(image, e + 4), read_le32(image, e + 8),
                                  read_le16(image, e + 12)};
        if (entry.cpuid == 0) {
            break;  // the loader's table ends at its first empty entry
        }
        table.entries.push_back(entry);
    }
    std::stable_sort(table.entries.begin(), table.entries.end(),
                     [](const AmdEquivEntry& a, const AmdEquivEntry& b) { return a.equiv_id < b.equiv_id; });
    std::size_t at = m + 12 + length;
    while (fits(image, at, section_header_bytes) && read_le32(image, at) == patch_section_type) {
        AmdPatch p;
        p.offset = at + section_header_bytes;
        p.size = read_le32(image, at + 4);
        const std::optional<AmdPatchHeader> h = view_amd_header(image, p.offset);
        if (h) {
            p.header = *h;
        }
        judge(image, p, h.has_value() && p.size >= amd_header_bytes);
        give_cpuids(p, &table, p.offset);
        out.push_back(std::move(p));
        if (out.back().status == AmdStatus::truncated) {
            return image.size();
        }
        at = out.back().end();
    }
    return at;
}

#if defined(TARNWICK_LANES) && defined(__x86_64__) && defined(__GNUC__)
#define TARNWICK_AMD_AVX2 1
// Where AVX2 is there, 64 quiet positions cost half the instructions: the
// only per-byte work -json adds for AMD. Returns the first i, stepping by 64
// from `i` while i <= `last`, whose 64 positions may hold a candidate (a
// container's "DM", or 0x20 at +1 with 0x80 at +9); past `last` when none
// does. Reads p[i, i + 73) for each i it looks at.
__attribute__((target("avx2"))) std::size_t skip_quiet_avx2(const std::uint8_t* p, std::size_t i, std::size_t last) {
    const __m256i d = _mm256_set1_epi8(0x44);
    const __m256i m = _mm256_set1_epi8(0x4D);
    const __m256i century = _mm256_set1_epi8(0x20);
    const __m256i format = _mm256_set1_epi8(static_cast<char>(0x80));
    for (; i <= last; i += 64) {
        __m256i any = _mm256_setzero_si256();
        for (std::size_t k = 0; k < 64; k += 32) {
            const std::uint8_t* q = p + i + k;
            const __m256i x0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
            const __m256i x1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 1));
            const __m256i x9 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 9));
            any = _mm256_or_si256(any, _mm256_and_si256(_mm256_cmpeq_epi8(x0, d), _mm256_cmpeq_epi8(x1, m)));
            any = _mm256_or_si256(any, _mm256_and_si256(_mm256_cmpeq_epi8(x1, century), _mm256_cmpeq_epi8(x9, format)));
        }
        if (!_mm256_testz_si256(any, any)) {
            return i;
        }
    }
    return i;
}

#endif

bool is_container_magic(Image image, std::size_t pos) {
    return fits(image, pos, container_magic.size()) &&
           std::equal(container_magic.begin(), container_magic.end(), image.begin() + static_cast<std::ptrdiff_t>(pos));
}

}  // namespace

std::optional<AmdPatchHeader> view_amd_header(Image image, std::size_t pos) {
    if (!fits(image, pos, amd_header_bytes)) {
        return std::nullopt;
    }
    const Image h = image.subspan(pos, amd_header_bytes);
    AmdPatchHeader header{read_le32(h, 0),  read_le32(h, 4),  read_le16(h, 8), h[0xA],  h[0xB],
                          read_le32(h, 0xC), read_le32(h, 0x10), read_le32(h, 0x14), read_le16(h, 0x18), h[0x1C],
                          {h[0x1D], h[0x1E], h[0x1F]}};
    return header;
}

unsigned amd_family(std::uint16_t equiv_id) { return 0xF + (equiv_id >> 12); }

std::uint32_t zen_cpuid(std::uint32_t patch_id) {
    const std::uint32_t ext_family = patch_id >> 24;
    const std::uint32_t ext_model = (patch_id >> 20) & 0xF;
    const std::uint32_t model = (patch_id >> 12) & 0xF;
    const std::uint32_t stepping = (patch_id >> 8) & 0xF;
    return ext_family << 20 | ext_model << 16 | 0xF << 8 | model << 4 | stepping;
}

std::uint16_t zen_equiv_id(std::uint32_t patch_id) {
    return static_cast<std::uint16_t>(((patch_id >> 24) & 0xF) << 12 | ((patch_id >> 20) & 0xF) << 8 |
                                      ((patch_id >> 12) & 0xF) << 4 | ((patch_id >> 8) & 0xF));
}

std::optional<std::uint32_t> min_revision(const AmdPatchHeader& h) {
    if (summed_format(h.format) || h.checksum == 0 || (h.checksum >> 8) != (h.patch_id >> 8) ||
        h.checksum >= h.patch_id) {
        return std::nullopt;
    }
    return h.checksum;
}

std::optional<std::size_t> bare_patch_size(const AmdPatchHeader& h) {
    if (h.format >= 0x8005 && (h.len != 0 || h.init != 0)) {
        return static_cast<std::size_t>((h.init << 8 | h.len) * 16);
    }
    if (h.len == 0x20) {
        return 0x3C0;
    }
    if (h.len == 0x10) {
        return 0x200;
    }
    const unsigned high = h.equiv_id >> 8;
    if (high == 0x50) {
        return 0x620;
    }
    if (high == 0x58) {
        return 0x567;
    }
    if (high >= 0x60 && high <= 0x67) {
        return 0xA20;
    }
    if (high == 0x68 || high == 0x69) {
        return 0x980;
    }
    if (high == 0x70 || high == 0x73) {
        return 0xD60;
    }
    if ((high >= 0x80 && high <= 0x83) || (high >= 0x85 && high <= 0x8A)) {
        return 0xC80;
    }
    if ((high >= 0xA0 && high <= 0xA7) || high == 0xAA) {
        return 0x15C0;
    }
    if (high == 0xB4) {
        return 0x3820;
    }
    return std::nullopt;
}

bool is_bare_patch(Image image, std::size_t pos) {
    const std::optional<AmdPatchHeader> header = view_amd_header(image, pos);
    if (!header) {
        return false;
    }
    const AmdPatchHeader& h = *header;
    // A BCD date 20YY-MM-DD; month 13 only where AMD shipped it.
    const std::uint8_t month_13_ok = h.patch_id == 0x03000027 ? 0x13 : 0x12;
    if (((h.date >> 8) & 0xFF) != 0x20 || !is_bcd(h.year()) || !is_bcd(h.day()) || !is_bcd(h.month()) ||
        h.day() == 0 || h.day() > 0x31 || h.month() == 0 || h.month() > month_13_ok) {
        return false;
    }
    if ((h.format >> 8) != 0x80) {
        return false;
    }
    const auto chipset_ok = [](std::uint32_t id) { return (id & 0xFFFF) == 0 || (id & 0xFFFF) == 0x1022; };
    if (!chipset_ok(h.nb_dev_id) || !chipset_ok(h.sb_dev_id) || h.bios_api_rev > 1) {
        return false;
    }
    const std::uint8_t filler = h.format == 0x8000 || h.format == 0x8001 || h.format == 0x8003 ? 0xAA : 0x00;
    if (h.reserved[0] != filler || h.reserved[1] != filler || h.reserved[2] != filler) {
        return false;
    }
    if ((h.equiv_id >> 12) != (h.patch_id >> 24) || (h.patch_id >> 24) == 0) {
        return false;
    }
    if (is_zen(h.patch_id) && (((h.patch_id >> 16) & 0xF) != 0 || h.equiv_id != zen_equiv_id(h.patch_id))) {
        return false;
    }
    const std::optional<std::size_t> size = bare_patch_size(h);
    if (!size) {
        return false;
    }
    if (summed_format(h.format)) {
        // The sum can be checked only where the whole patch lies in the file.
        if (h.checksum != 0 && fits(image, pos, *size) &&
            sum_words(image.subspan(pos + amd_header_bytes, (*size - amd_header_bytes) / 4 * 4)) != h.checksum) {
            return false;
        }
    } else if (h.checksum != 0 && !min_revision(h)) {
        return false;
    }
    return true;
}

std::size_t find_amd_candidates(Image image, std::size_t& from, std::span<std::size_t> out) {
    constexpr std::size_t date_offset = 1;    // byte +1: the date's "20"
    constexpr std::size_t format_offset = 9;  // byte +9: the format's 0x80
    const std::size_t size = image.size();
    const std::uint8_t* const p = image.data();
    std::size_t i = from;
    Batch batch(out, from);
    if (out.empty()) {
        return batch.end(size);
    }
    const auto bare_shape = [p](std::size_t at) { return p[at + date_offset] == 0x20 && p[at + format_offset] == 0x80; };
#if defined(TARNWICK_LANES)
    // As the Intel walk: 64 positions at once where neither pair occurs, as
    // nearly everywhere; then 16 at once. A block at i runs only while its
    // last position still has a whole header inside the image.
    constexpr std::size_t block = lanes::width;
    constexpr std::size_t reach = block - 1 + amd_header_bytes;
    constexpr std::size_t wide_reach = lanes::stride - 1 + amd_header_bytes;
    while (size >= reach && i <= size - reach) {
#if defined(TARNWICK_AMD_AVX2)
        if (size >= wide_reach && i <= size - wide_reach && lanes::has_avx2()) {
            i = skip_quiet_avx2(p, i, size - wide_reach);
            if (i > size - wide_reach) {
                continue;
            }
        }
#endif
        if (size >= wide_reach && i <= size - wide_reach &&
            !lanes::any_of_two_pairs_64(p + i, container_magic[0], 1, container_magic[1], date_offset, 0x20,
                                        format_offset - date_offset, 0x80)) {
            i += lanes::stride;
            continue;
        }
        std::uint64_t mask = (lanes::equal(p + i + date_offset, 0x20) & lanes::equal(p + i + format_offset, 0x80)) |
                             (lanes::equal(p + i, container_magic[0]) & lanes::equal(p + i + 1, container_magic[1]));
        for (; mask != 0; mask &= mask - 1) {
            const std::size_t at = i + lanes::lowest(mask);
            if ((bare_shape(at) || is_container_magic(image, at)) && batch.take(at)) {
                return batch.count();
            }
        }
        i += block;
    }
#endif
    // Near the end only a container's magic still fits.
    for (; i < size; ++i) {
        const bool bare = size - i >= amd_header_bytes && bare_shape(i);
        if ((bare || is_container_magic(image, i)) && batch.take(i)) {
            return batch.count();
        }
    }
    return batch.end(size);
}

std::string_view amd_status_word(AmdStatus status) {
    switch (status) {
        case AmdStatus::ok: return "OK";
        case AmdStatus::truncated: return "TRUNCATED";
        case AmdStatus::bad_size: return "BAD SIZE";
        case AmdStatus::bad_chipset: return "BAD CHIPSET";
        case AmdStatus::bad_checksum: return "BAD CHECKSUM";
    }
    return "?";
}

void AmdScanner::visit(std::size_t pos) {
    if (pos < covered_) {
        return;
    }
    if (is_container_magic(image_, pos)) {
        if (const std::optional<std::size_t> end = walk_container(image_, pos, found_.patches)) {
            found_.containers.emplace_back(pos, *end);
            covered_ = *end;
            return;
        }
    }
    if (pos < bare_until_ || !is_bare_patch(image_, pos)) {
        return;
    }
    AmdPatch p;
    p.offset = pos;
    p.bare = true;
    p.header = *view_amd_header(image_, pos);
    p.size = *bare_patch_size(p.header);
    judge(image_, p, true);
    give_cpuids(p, nullptr, 0);
    bare_until_ = static_cast<std::size_t>(std::min<std::uint64_t>(image_.size(), p.end()));
    bare_.push_back(std::move(p));
}

AmdPatches AmdScanner::finish() {
    AmdPatches found = std::move(found_);
    if (!bare_.empty()) {
        std::vector<AmdPatch> all;
        all.reserve(found.patches.size() + bare_.size());
        std::merge(std::make_move_iterator(found.patches.begin()), std::make_move_iterator(found.patches.end()),
                   std::make_move_iterator(bare_.begin()), std::make_move_iterator(bare_.end()),
                   std::back_inserter(all), [](const AmdPatch& a, const AmdPatch& b) { return a.offset < b.offset; });
        found.patches = std::move(all);
    }
    // Until now cpuids_as held the earlier patch's offset: indexes move as
    // bare patches merge in.
    for (AmdPatch& p : found.patches) {
        if (p.cpuids_as) {
            const auto earlier =
                std::lower_bound(found.patches.begin(), found.patches.end(), *p.cpuids_as,
                                 [](const AmdPatch& a, std::size_t at) { return a.offset < at; });
            p.cpuids_as = static_cast<std::size_t>(earlier - found.patches.begin());
        }
    }
    return found;
}

AmdPatches find_amd_patches(Image image) {
    AmdScanner scanner(image);
    std::size_t at[256];
    std::size_t from = 0;
    while (const std::size_t n = find_amd_candidates(image, from, at)) {
        for (std::size_t k = 0; k < n; ++k) {
            scanner.visit(at[k]);
        }
    }
    return scanner.finish();
}

void add_known_amd(Image image, std::vector<AmdKnown>& to) {
    for (const AmdPatch& p : find_amd_patches(image).patches) {
        if (p.status == AmdStatus::ok) {
            to.push_back({p.header.equiv_id, p.header.patch_id});
        }
    }
}

std::vector<CurrencyRow> compare_amd_currency(std::span<const AmdPatch> file, std::span<const AmdKnown> reference) {
    std::map<std::uint16_t, std::uint32_t> known;
    for (const AmdKnown& k : reference) {
        auto [at, inserted] = known.try_emplace(k.equiv_id, k.patch_id);
        at->second = std::max(at->second, k.patch_id);
    }
    std::map<std::uint16_t, std::uint32_t> own;
    for (const AmdPatch& p : file) {
        if (p.status == AmdStatus::ok) {
            auto [at, inserted] = own.try_emplace(p.header.equiv_id, p.header.patch_id);
            at->second = std::max(at->second, p.header.patch_id);
        }
    }
    std::vector<CurrencyRow> rows;
    rows.reserve(file.size());
    for (const AmdPatch& p : file) {
        if (p.status != AmdStatus::ok) {
            rows.push_back({Currency::damaged, std::nullopt});
        } else if (own.at(p.header.equiv_id) > p.header.patch_id) {
            rows.push_back({Currency::superseded, std::nullopt});
        } else if (const auto k = known.find(p.header.equiv_id); k == known.end()) {
            rows.push_back({Currency::unknown, std::nullopt});
        } else {
            rows.push_back({p.header.patch_id >= k->second ? Currency::latest : Currency::outdated, k->second});
        }
    }
    return rows;
}

std::string amd_loader_file_name(unsigned family) {
    if (family < 0x15) {
        return "microcode_amd.bin";
    }
    char name[40];
    std::snprintf(name, sizeof name, "microcode_amd_fam%02xh.bin", family);
    return name;
}

std::vector<AmdLayoutFile> amd_loader_layout(std::span<const AmdPatch> patches) {
    // The newest, and the newest that needs no base revision, per id.
    struct Pick {
        std::optional<std::size_t> newest, unconditional;
    };
    std::map<std::uint16_t, Pick> picks;
    auto better = [&](std::optional<std::size_t> current, std::size_t i) {
        return !current || patches[i].header.patch_id > patches[*current].header.patch_id;
    };
    for (std::size_t i = 0; i < patches.size(); ++i) {
        const AmdPatch& p = patches[i];
        if (p.status != AmdStatus::ok || !p.names_processors()) {
            continue;
        }
        Pick& pick = picks[p.header.equiv_id];
        if (better(pick.newest, i)) {
            pick.newest = i;
        }
        if (!p.min_revision && better(pick.unconditional, i)) {
            pick.unconditional = i;
        }
    }
    std::map<std::string, std::set<std::size_t>> files;
    for (const auto& [equiv, pick] : picks) {
        const std::string name = amd_loader_file_name(amd_family(equiv));
        files[name].insert(*pick.newest);
        if (patches[*pick.newest].min_revision && pick.unconditional) {
            files[name].insert(*pick.unconditional);
        }
    }
    std::vector<AmdLayoutFile> layout;
    for (auto& [name, members] : files) {
        layout.push_back({name, std::vector<std::size_t>(members.begin(), members.end())});
    }
    return layout;
}

std::vector<std::uint8_t> amd_container(std::span<const AmdLayoutPatch> patches) {
    std::vector<std::uint8_t> out(container_magic.begin(), container_magic.end());
    auto put32 = [&out](std::uint32_t v) {
        for (int k = 0; k < 4; ++k) {
            out.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
        }
    };
    // Each entry once, in the order the patches bring them.
    std::vector<AmdEquivEntry> entries;
    std::set<std::pair<std::uint32_t, std::uint16_t>> seen;
    for (const AmdLayoutPatch& p : patches) {
        for (const AmdEquivEntry& e : p.entries) {
            if (seen.insert({e.cpuid, e.equiv_id}).second) {
                entries.push_back(e);
            }
        }
    }
    put32(equiv_table_type);
    put32(static_cast<std::uint32_t>((entries.size() + 1) * equiv_entry_bytes));
    for (const AmdEquivEntry& e : entries) {
        put32(e.cpuid);
        put32(e.errata_mask);
        put32(e.errata_compare);
        put32(e.equiv_id);  // and 16 reserved bits
    }
    out.insert(out.end(), equiv_entry_bytes, 0);
    for (const AmdLayoutPatch& p : patches) {
        put32(patch_section_type);
        put32(static_cast<std::uint32_t>(p.bytes.size()));
        out.insert(out.end(), p.bytes.begin(), p.bytes.end());
    }
    return out;
}

}  // namespace tarnwick
