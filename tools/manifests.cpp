#include "manifests.h"

#include <cstring>

namespace synth {

namespace {

constexpr std::uint16_t sha256 = 0x000B;

void put_le16(Bytes& b, std::size_t off, std::uint16_t v) {
    if (b.size() < off + 2) {
        b.resize(off + 2);
    }
    b[off] = static_cast<std::uint8_t>(v);
    b[off + 1] = static_cast<std::uint8_t>(v >> 8);
}

void add_u8(Bytes& b, std::uint8_t v) { b.push_back(v); }
void add_u16(Bytes& b, std::uint16_t v) { put_le16(b, b.size(), v); }
void add_u32(Bytes& b, std::uint32_t v) { put_le32(b, b.size(), v); }
void add_u64(Bytes& b, std::uint64_t v) { put_le64(b, b.size(), v); }
void add_tag(Bytes& b, const char* tag) {
    for (std::size_t i = 0; i < 8; ++i) {
        b.push_back(static_cast<std::uint8_t>(tag[i]));
    }
}

// Bytes that look like a digest or a key: no pattern the tool searches for.
void add_noise(Bytes& b, std::size_t n, std::uint8_t seed) {
    for (std::size_t i = 0; i < n; ++i) {
        b.push_back(static_cast<std::uint8_t>((i * 151 + seed * 17 + 0x5B) & 0xFF));
    }
}

void add_digest(Bytes& b, std::uint8_t seed) {
    add_u16(b, sha256);
    add_u16(b, 32);
    add_noise(b, 32, seed);
}

void add_segments(Bytes& b, const std::vector<IbbRange>& ranges) {
    add_u8(b, static_cast<std::uint8_t>(ranges.size()));
    for (const IbbRange& r : ranges) {
        add_u16(b, 0);
        add_u16(b, r.hashed ? 0 : 1);
        add_u32(b, r.base);
        add_u32(b, r.size);
    }
}

// The first layout's IBB set: fixed fields up to the segment count at +0x84.
Bytes ibb_set_v1(const std::vector<IbbRange>& ranges) {
    Bytes b;
    add_tag(b, "__IBBS__");
    add_u8(b, 0x10);
    b.resize(b.size() + 3, 0);  // reserved
    add_u32(b, 0);              // flags
    add_u64(b, 0xFED10000);     // MCH BAR
    add_u64(b, 0xFED90000);     // VT-d BAR
    add_u32(b, 0);
    add_u32(b, 0);
    add_u64(b, 0);
    add_u64(b, 0);
    add_digest(b, 1);         // post-IBB
    add_u32(b, 0xFFFFFFF0);   // entry point
    add_digest(b, 2);         // the IBB's
    add_segments(b, ranges);  // the count lands at +0x84
    return b;
}

Bytes ibb_set_v2(std::uint8_t version, std::uint8_t set, const std::vector<IbbRange>& ranges) {
    Bytes b;
    add_tag(b, "__IBBS__");
    add_u8(b, version);
    add_u8(b, 0);
    add_u16(b, 0);  // its size, set below
    add_u8(b, 0);
    add_u8(b, set);
    add_u8(b, 0);
    add_u8(b, 0x0F);  // PBET
    add_u32(b, 0);
    add_u64(b, 0xFED10000);
    add_u64(b, 0xFED90000);
    add_u32(b, 0);
    add_u32(b, 0);
    add_u64(b, 0);
    add_u64(b, 0);
    add_digest(b, 1);  // post-IBB, at +0x3C
    add_u32(b, 0xFFFFFFF0);
    add_u16(b, 4 + 2 * 36);  // the digest list: its own size and count, then two digests
    add_u16(b, 2);
    add_digest(b, 3);
    add_digest(b, 4);
    add_digest(b, 5);  // OBB
    b.resize(b.size() + 3, 0);
    add_segments(b, ranges);
    put_le16(b, 10, static_cast<std::uint16_t>(b.size()));
    return b;
}

}  // namespace

Bytes key_signature(std::uint16_t bits) {
    Bytes b;
    add_u8(b, 0x10);
    add_u16(b, 0x0001);  // RSA
    add_u8(b, 0x10);
    add_u16(b, bits);
    add_u32(b, 0x10001);
    add_noise(b, bits / 8, 7);
    add_u16(b, 0x0014);  // RSASSA-PSS
    add_u8(b, 0x10);
    add_u16(b, bits);
    add_u16(b, sha256);
    add_noise(b, bits / 8, 9);
    return b;
}

Bytes key_manifest(std::uint8_t version, std::uint8_t svn, std::uint8_t kmid) {
    Bytes b;
    add_tag(b, "__KEYM__");
    add_u8(b, version);
    if (version < 0x20) {
        add_u8(b, 0x10);  // KM version
        add_u8(b, svn);
        add_u8(b, kmid);
        add_digest(b, 6);
    } else {
        add_u8(b, 0);
        add_u16(b, 0);  // its header's size field, 0 in this layout
        add_u16(b, 0);  // the key signature's offset, set below
        b.resize(b.size() + 3, 0);
        add_u8(b, 0x10);
        add_u8(b, svn);
        add_u8(b, kmid);
        add_u16(b, sha256);
        add_u16(b, 1);
        add_u64(b, 1);  // usage: the boot policy manifest
        add_digest(b, 6);
        put_le16(b, 0x0C, static_cast<std::uint16_t>(b.size()));
    }
    append(b, key_signature());
    return b;
}

BootPolicyLayout boot_policy_layout(const BootPolicy& p) {
    BootPolicyLayout l;
    const Bytes whole = boot_policy(p);
    const char* ids[] = {"__IBBS__", "__PMSG__"};
    std::size_t* at[] = {&l.first_set, &l.signature};
    for (std::size_t k = 0; k < 2; ++k) {
        for (std::size_t i = 0; i + 8 <= whole.size(); ++i) {
            if (std::memcmp(whole.data() + i, ids[k], 8) == 0) {
                *at[k] = i;
                break;
            }
        }
    }
    return l;
}

Bytes boot_policy(const BootPolicy& p) {
    Bytes b;
    add_tag(b, "__ACBP__");
    add_u8(b, p.version);
    if (p.version < 0x20) {
        add_u8(b, 0x01);
        add_u8(b, 0x01);  // BPM revision
        add_u8(b, p.svn);
        add_u8(b, p.acm_svn);
        add_u8(b, 0);
        add_u16(b, 0x0020);  // NEM pages
        for (const std::vector<IbbRange>& set : p.sets) {
            append(b, ibb_set_v1(set));
        }
        add_tag(b, "__PMDA__");
        add_u8(b, 0x10);
        add_u16(b, 8);  // version 1, no entries
        add_u32(b, 1);
        add_u32(b, 0);
        add_tag(b, "__PMSG__");
        add_u8(b, 0x10);
        append(b, key_signature());
        return b;
    }
    add_u8(b, 0);
    add_u16(b, 0x14);  // the header's size
    add_u16(b, 0);     // the key signature's offset, set below
    add_u8(b, 0x01);
    add_u8(b, p.svn);
    add_u8(b, p.acm_svn);
    add_u8(b, 0);
    add_u16(b, 0x0020);
    if (p.unknown_element) {
        Bytes e;
        add_tag(e, "__TXTS__");
        add_u8(e, 0x20);
        add_u8(e, 0);
        add_u16(e, 0x24);
        add_noise(e, 0x24 - 12, 11);
        append(b, e);
    }
    for (std::size_t i = 0; i < p.sets.size(); ++i) {
        append(b, ibb_set_v2(p.version, static_cast<std::uint8_t>(i), p.sets[i]));
    }
    add_tag(b, "__PMSG__");
    add_u8(b, 0x20);
    add_u8(b, 0);
    add_u16(b, 0);  // the signature element gives no size
    put_le16(b, 0x0C, static_cast<std::uint16_t>(b.size()));
    append(b, key_signature());
    return b;
}

Bytes protected_range_section(const std::vector<IbbRange>& ranges) {
    const bool wide = ranges.size() > 2;
    Bytes data(wide ? 112 : 80, 0);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i * 29 + 3);
    }
    // Where each range's base and size go, and every place unused first.
    const std::vector<std::pair<std::size_t, std::size_t>> fields =
        wide ? std::vector<std::pair<std::size_t, std::size_t>>{{32, 44}, {36, 48}, {40, 52}, {56, 60}}
             : std::vector<std::pair<std::size_t, std::size_t>>{{32, 36}, {72, 76}};
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const IbbRange r = i < ranges.size() ? ranges[i] : IbbRange{0xFFFFFFFF, 0xFFFFFFFF, true};
        put_le32(data, fields[i].first, r.base);
        put_le32(data, fields[i].second, r.size);
    }
    if (wide) {
        std::fill(data.begin() + 64, data.end(), 0);
    }
    Bytes section(4, 0);
    const std::size_t size = 4 + data.size();
    section[0] = static_cast<std::uint8_t>(size);
    section[1] = static_cast<std::uint8_t>(size >> 8);
    section[2] = 0;
    section[3] = 0x19;  // RAW
    append(section, data);
    return section;
}

}  // namespace synth
