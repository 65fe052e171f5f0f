#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "flash/ffs.h"
#include "flash/fit.h"
#include "search/bytes.h"

namespace tarnwick {

// Boot Guard as the image describes it: the key manifest (KM) and boot
// policy manifest (BPM) that the FIT names, the IBB segments whose hash
// the BPM holds, and AMI's own list of ranges that its start-up code checks
// later. What the processor verifies is known from these; whether the
// board enforces it is fused into the chipset and can't be read here.

inline constexpr std::uint8_t fit_type_key_manifest = 0x0B;
inline constexpr std::uint8_t fit_type_boot_policy = 0x0C;
inline bool names_a_manifest(std::uint8_t fit_type) {
    return fit_type == fit_type_key_manifest || fit_type == fit_type_boot_policy;
}

enum class ManifestState {
    absent,     // the entry names no manifest: Boot Guard isn't provisioned there
    present,    // a manifest that reads whole
    malformed,  // outside the file, or it doesn't read whole within its bounds
};

// One address range of an IBB set: hashed unless its flags' bit 0 excludes it.
struct IbbSegment {
    std::uint32_t base = 0;  // physical
    std::uint32_t size = 0;
    bool hashed = true;
};

// A manifest named by one FIT entry.
struct Manifest {
    std::size_t fit_index = 0;  // the entry's index in the table
    std::uint8_t type = 0;      // fit_type_key_manifest or fit_type_boot_policy
    std::uint64_t address = 0;
    std::uint32_t fit_size = 0;          // in bytes, for these types
    std::optional<std::size_t> offset;   // in the file, where the address maps into it
    ManifestState state = ManifestState::absent;
    std::string why;  // for a malformed one: what is wrong, in a few words
    // For a present one:
    std::uint8_t version = 0;  // the byte at +8
    std::uint8_t svn = 0;      // the KM's SVN, or the BPM's BP SVN
    std::uint8_t kmid = 0;     // a KM's
    std::uint8_t acm_svn = 0;  // a BPM's
    std::vector<IbbSegment> segments;  // a BPM's, every set's in order
};

// A range that AMI's protected-range file lists and counts.
struct VendorRange {
    std::size_t file_offset = 0;  // of the file that lists it
    std::uint32_t base = 0;       // physical
    std::uint32_t size = 0;
};

struct BootGuard {
    std::size_t entries = 0;          // the FIT's key and boot policy manifest entries
    std::vector<Manifest> manifests;  // in FIT order; none past a count no real image has
    ManifestState state = ManifestState::absent;
    std::string why;  // the first malformed manifest's, with where it is
    std::vector<VendorRange> vendor;

    bool named() const { return entries != 0; }
    // The first present manifest of `type`, if any.
    const Manifest* first_present(std::uint8_t type) const;
    // Every present BPM's segments, BPMs in FIT order.
    std::vector<IbbSegment> ibb() const;
};

// Reads the manifests that the FIT at the pointer names, and AMI's file
// among `volumes`. With no FIT at the pointer, or no KM or BPM entry in it,
// the result names nothing.
BootGuard read_boot_guard(Image image, const FitCheck& fit, const VolumeScan& volumes);
// The same, finding the volumes only where the FIT names a manifest.
BootGuard read_boot_guard(Image image, const FitCheck& fit);

// What one manifest's bytes read as, `bytes` being all it may take: the
// state is present or malformed. For the tests and the fuzzer as much as
// for read_boot_guard.
Manifest read_manifest(Image bytes, std::uint8_t type);

// The ranges AMI's protected-range file at `file` lists, counted ones only.
std::vector<VendorRange> vendor_ranges(Image image, const FfsFile& file);

// A range of the file that Boot Guard (or AMI's later check) verifies.
struct ProtectedRange {
    std::size_t begin = 0, end = 0;  // file offsets, clipped to the image
    std::uint32_t base = 0, size = 0;  // as the manifest or AMI's file gives it
    bool vendor = false;               // from AMI's file
};

// Where a manifest is present: the hashed segments and AMI's counted
// ranges, each clipped to the image; ranges wholly outside it are left out.
// Nothing where no manifest is present.
std::vector<ProtectedRange> protected_ranges(const BootGuard& guard, std::size_t image_size);

// The ranges' union as sorted, disjoint [begin, end) pairs: what a check of
// the bytes must look at once, however the ranges overlap.
std::vector<std::pair<std::size_t, std::size_t>> range_union(const std::vector<ProtectedRange>& ranges);

// The FIT error a malformed manifest is, as -fitcheck prints it.
std::optional<std::string> boot_guard_error(const BootGuard& guard);

std::string_view manifest_state_word(ManifestState state);

}  // namespace tarnwick
