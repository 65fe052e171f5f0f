#pragma once

// Made-up Boot Guard manifests, laid out as Intel's key manifest (KM) and
// boot policy manifest (BPM) are, and AMI's file of protected ranges. The
// keys, digests and signatures are invented bytes: nothing here verifies.

#include <cstdint>
#include <vector>

#include "synth.h"

namespace synth {

struct IbbRange {
    std::uint32_t base = 0;  // physical
    std::uint32_t size = 0;
    bool hashed = true;      // false sets flags bit 0: excluded from the hash
};

// An RSA key and signature of `bits`, as every manifest version ends.
Bytes key_signature(std::uint16_t bits = 2048);

// A key manifest of `version` (below 0x20: the first layout; 0x21: the second).
Bytes key_manifest(std::uint8_t version, std::uint8_t svn = 2, std::uint8_t kmid = 1);

struct BootPolicy {
    std::uint8_t version = 0x10;  // 0x10, or 0x22, 0x25 and the like
    std::uint8_t svn = 3;
    std::uint8_t acm_svn = 2;
    // One IBB set each; the first layout has one.
    std::vector<std::vector<IbbRange>> sets;
    // The second layout: an element the reader doesn't know, before the sets.
    bool unknown_element = false;
};
Bytes boot_policy(const BootPolicy& p);

// Where fields of a boot policy manifest lie, for tests that break them.
struct BootPolicyLayout {
    std::size_t first_set = 0;        // the first __IBBS__ element
    std::size_t signature = 0;        // the __PMSG__ element
};
BootPolicyLayout boot_policy_layout(const BootPolicy& p);

// The body of AMI's protected-range file: one RAW section of 80 bytes (two
// ranges) or, with three or four ranges, 112 (three and a nested one).
// Unused places hold base 0xFFFFFFFF.
Bytes protected_range_section(const std::vector<IbbRange>& ranges);

}  // namespace synth
