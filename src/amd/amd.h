#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "search/bytes.h"
#include "intel/loader_layout.h"

namespace tarnwick {

// AMD microcode patches: in the loader's containers ("DMA\0", an
// equivalence table, then patch sections), and bare in BIOS images. All
// fields little-endian; the checks are those of Linux's AMD loader.

inline constexpr std::size_t amd_header_bytes = 64;

// The 64-byte patch header.
struct AmdPatchHeader {
    std::uint32_t date;       // +0: BCD 0xMMDDYYYY, stored YY 20 DD MM
    std::uint32_t patch_id;   // +4
    std::uint16_t format;     // +8: 0x80xx
    std::uint8_t len;         // +0xA
    std::uint8_t init;        // +0xB
    std::uint32_t checksum;   // +0xC: a sum, 0, or a minimum base revision
    std::uint32_t nb_dev_id;  // +0x10
    std::uint32_t sb_dev_id;  // +0x14
    std::uint16_t equiv_id;   // +0x18: the processor revision id
    std::uint8_t bios_api_rev;  // +0x1C
    std::uint8_t reserved[3];   // +0x1D

    std::uint8_t year() const { return static_cast<std::uint8_t>(date); }
    std::uint8_t day() const { return static_cast<std::uint8_t>(date >> 16); }
    std::uint8_t month() const { return static_cast<std::uint8_t>(date >> 24); }
};

// The header at `pos`, or nothing when fewer than 64 bytes remain.
std::optional<AmdPatchHeader> view_amd_header(Image image, std::size_t pos);

// 0xF plus the equivalence id's top nibble: 0x10 for 0x1022.
unsigned amd_family(std::uint16_t equiv_id);
// From family 17h (Zen) on, the patch id names its processor.
inline bool is_zen(std::uint32_t patch_id) { return (patch_id >> 24) >= 8; }
std::uint32_t zen_cpuid(std::uint32_t patch_id);
std::uint16_t zen_equiv_id(std::uint32_t patch_id);

// Formats whose checksum field, where it isn't 0, is the sum of the body's
// words; later formats hold 0 there, or a minimum base revision.
inline bool summed_format(std::uint16_t format) { return format == 0x8000 || format == 0x8003; }

// The minimum base revision a later format's checksum field names: the
// patch id's top 24 bits and a lower value.
std::optional<std::uint32_t> min_revision(const AmdPatchHeader& h);

// The size of a bare patch, which carries none, from its format and family;
// nothing where it isn't known.
std::optional<std::size_t> bare_patch_size(const AmdPatchHeader& h);

// Whether the bytes at `pos` pass the recognition rule for a bare patch.
bool is_bare_patch(Image image, std::size_t pos);

// Writes to `out`, in ascending order, the next positions at or after
// `from` where a container's magic "DMA\0" starts, or whose byte +1 is 0x20
// and byte +9 is 0x80 with a whole header inside the image: the only places
// a bare patch can start. Returns how many it wrote, 0 only when none
// remain, and moves `from` on.
std::size_t find_amd_candidates(Image image, std::size_t& from, std::span<std::size_t> out);

enum class AmdStatus { ok, truncated, bad_size, bad_chipset, bad_checksum };
std::string_view amd_status_word(AmdStatus status);

// One entry of a container's equivalence table.
struct AmdEquivEntry {
    std::uint32_t cpuid;
    std::uint32_t errata_mask;
    std::uint32_t errata_compare;
    std::uint16_t equiv_id;
};

struct AmdPatch {
    std::size_t offset = 0;  // of the header
    bool bare = false;
    AmdPatchHeader header{};
    std::uint64_t size = 0;  // the section's size, or the size a bare patch derives
    AmdStatus status = AmdStatus::ok;
    std::uint64_t missing = 0;  // bytes past the file's end, when truncated
    std::optional<std::uint32_t> min_revision;
    // The processors it serves: its container's table entries for its
    // equivalence id, and for Zen the one its patch id names; sorted, once
    // each.
    std::vector<std::uint32_t> cpuids;
    // Those table entries, with their errata fields.
    std::vector<AmdEquivEntry> equiv;
    // Where a table gives one id thousands of processors (only crafted ones
    // do), they are given in full to the first patch of the container that
    // has that id, and the later ones name it here instead: its index in
    // AmdPatches::patches.
    std::optional<std::size_t> cpuids_as;

    std::size_t end() const { return offset + static_cast<std::size_t>(size); }
    // A bare patch before Zen names none: nothing maps it to a processor.
    bool names_processors() const { return !cpuids.empty() || cpuids_as.has_value(); }
};

struct AmdPatches {
    std::vector<AmdPatch> patches;  // in file order
    // Each container's bytes, from its magic to the end of its last section.
    std::vector<std::pair<std::size_t, std::size_t>> containers;
};

// Every patch of every container, and every bare patch outside them.
AmdPatches find_amd_patches(Image image);

// The same, a candidate at a time, for a walk that already passes over the
// image (-json's one pass): visit every position find_amd_candidates gives,
// ascending. A container's magic is walked where no container walked
// already covers it; bare patches are looked for outside every container,
// and one found is a unit, its bytes not searched again (but for a
// container's magic).
class AmdScanner {
public:
    explicit AmdScanner(Image image) : image_(image) {}
    void visit(std::size_t pos);
    // The patches in file order, each cpuids_as an index among them.
    AmdPatches finish();

private:
    Image image_;
    AmdPatches found_;
    std::vector<AmdPatch> bare_;
    std::size_t covered_ = 0;     // containers end here so far
    std::size_t bare_until_ = 0;  // the last bare patch ends here
};

// An intact patch that a reference folder holds.
struct AmdKnown {
    std::uint16_t equiv_id;
    std::uint32_t patch_id;
};
void add_known_amd(Image image, std::vector<AmdKnown>& to);

// One row per patch of `file`, in its order: newest is the highest patch id
// that `reference` holds for the patch's equivalence id; superseded where
// the file itself holds a newer intact patch for it.
std::vector<CurrencyRow> compare_amd_currency(std::span<const AmdPatch> file, std::span<const AmdKnown> reference);

// The file the Linux loader reads for a family: microcode_amd.bin up to 14h,
// microcode_amd_fam%02xh.bin from 15h on.
std::string amd_loader_file_name(unsigned family);

// A patch to write into a loader container, with its bytes.
struct AmdLayoutPatch {
    Image bytes;
    std::uint16_t equiv_id;
    std::vector<AmdEquivEntry> entries;  // the table entries it brings
};
struct AmdLayoutFile {
    std::string name;
    std::vector<std::size_t> patches;  // indexes into the list given
};

// Which intact patches a loader's folder would hold: for each equivalence
// id the one with the highest patch id, and where that one needs a minimum
// base revision, also the newest that needs none. Bare pre-Zen patches have
// no processor to map and are left out. By family file, sorted by name.
std::vector<AmdLayoutFile> amd_loader_layout(std::span<const AmdPatch> patches);

// One container: "DMA\0", the table of every entry the patches bring and
// its closing zero entry, then a section per patch.
std::vector<std::uint8_t> amd_container(std::span<const AmdLayoutPatch> patches);

}  // namespace tarnwick
