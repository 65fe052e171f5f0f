#include "bootguard/boot_guard.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string_view>

namespace tarnwick {

namespace {

using Tag = std::array<std::uint8_t, 8>;

constexpr Tag tag(const char (&text)[9]) {
    Tag t{};
    for (std::size_t i = 0; i < 8; ++i) {
        t[i] = static_cast<std::uint8_t>(text[i]);
    }
    return t;
}

constexpr Tag key_manifest_tag = tag("__KEYM__");
constexpr Tag boot_policy_tag = tag("__ACBP__");
constexpr Tag ibb_set_tag = tag("__IBBS__");
constexpr Tag vendor_data_tag = tag("__PMDA__");
constexpr Tag signature_tag = tag("__PMSG__");

// Manifests from version 0x20 on have headers with sizes and offsets.
constexpr std::uint8_t second_version = 0x20;

constexpr std::uint16_t algorithm_rsa = 0x0001;
constexpr std::uint16_t algorithm_sm2 = 0x001B;
constexpr std::uint16_t algorithm_ecc = 0x0023;

// AMI's file of ranges its start-up code hashes: CBC91F44-A4BC-4A5B-8696-703451D0B053.
constexpr Guid ami_protected_ranges{0x44, 0x1F, 0xC9, 0xCB, 0xBC, 0xA4, 0x5B, 0x4A,
                                    0x86, 0x96, 0x70, 0x34, 0x51, 0xD0, 0xB0, 0x53};
constexpr std::uint8_t section_type_raw = 0x19;

// What read_manifest says of bytes that end before the manifest does;
// read_boot_guard says which bound cut it.
constexpr std::string_view cut_short = "cut short";

// The FIT's key and boot policy manifest entries, its header aside.
std::size_t manifest_entries(const FitCheck& fit) {
    return static_cast<std::size_t>(std::count_if(fit.entries.begin() + (fit.entries.empty() ? 0 : 1), fit.entries.end(),
                                                  [](const FitEntry& e) { return names_a_manifest(e.type); }));
}

std::string hex(std::uint64_t v) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(v));
    return text;
}

bool tag_at(Image bytes, std::size_t at, const Tag& t) {
    return fits(bytes, at, t.size()) && std::equal(t.begin(), t.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
}

// Reads fields one after the other; after the first read that doesn't fit,
// every read gives 0 and ok() is false.
class Reader {
public:
    explicit Reader(Image bytes) : bytes_(bytes) {}
    bool ok() const { return ok_; }
    std::size_t at() const { return at_; }
    void seek(std::size_t at) {
        if (at > bytes_.size()) {
            fail();
        } else if (ok_) {
            at_ = at;
        }
    }
    void skip(std::size_t n) {
        if (!ok_ || !fits(bytes_, at_, n)) {
            fail();
        } else {
            at_ += n;
        }
    }
    std::uint8_t u8() { return take(1) ? bytes_[at_ - 1] : 0; }
    std::uint16_t u16() { return take(2) ? read_le16(bytes_, at_ - 2) : 0; }
    std::uint32_t u32() { return take(4) ? read_le32(bytes_, at_ - 4) : 0; }

private:
    bool take(std::size_t n) {
        skip(n);
        return ok_;
    }
    void fail() {
        ok_ = false;
        at_ = bytes_.size();
    }
    Image bytes_;
    std::size_t at_ = 0;
    bool ok_ = true;
};

std::string why_cut(const Reader& r, std::string why = {}) { return r.ok() ? why : std::string(cut_short); }

// A key or signature size: a whole number of bytes, and some.
bool good_bits(std::uint16_t bits) { return bits != 0 && bits % 8 == 0; }

// The key and signature shared by every manifest version; "" when it reads.
std::string key_signature(Reader& r) {
    r.u8();  // version
    const std::uint16_t algorithm = r.u16();
    if (!r.ok()) {
        return std::string(cut_short);
    }
    std::size_t parts = 0;
    if (algorithm == algorithm_rsa) {
        parts = 1;
    } else if (algorithm == algorithm_ecc || algorithm == algorithm_sm2) {
        parts = 2;  // two coordinates, and a signature of two numbers
    } else {
        return "its key algorithm " + hex(algorithm) + " is none of RSA, ECC and SM2";
    }
    r.u8();  // the key's version
    const std::uint16_t key_bits = r.u16();
    if (r.ok() && !good_bits(key_bits)) {
        return "its key has " + std::to_string(key_bits) + " bits";
    }
    if (algorithm == algorithm_rsa) {
        r.u32();  // exponent
    }
    r.skip(parts * key_bits / 8);
    r.u16();  // signature scheme
    r.u8();   // the signature's version
    const std::uint16_t signature_bits = r.u16();
    if (r.ok() && !good_bits(signature_bits)) {
        return "its signature has " + std::to_string(signature_bits) + " bits";
    }
    r.u16();  // hash algorithm
    r.skip(parts * signature_bits / 8);
    return why_cut(r);
}

void digest(Reader& r) {
    r.u16();  // algorithm
    r.skip(r.u16());
}

void segments(Reader& r, Manifest& m) {
    const std::uint8_t count = r.u8();
    for (std::uint8_t i = 0; i < count && r.ok(); ++i) {
        r.u16();  // reserved
        const std::uint16_t flags = r.u16();
        const std::uint32_t base = r.u32();
        const std::uint32_t size = r.u32();
        if (r.ok()) {
            m.segments.push_back({base, size, (flags & 1) == 0});
        }
    }
}

std::string key_manifest(Image bytes, Manifest& m) {
    Reader r(bytes);
    if (m.version < second_version) {
        r.seek(10);
        m.svn = r.u8();
        m.kmid = r.u8();
        digest(r);
        return r.ok() ? key_signature(r) : std::string(cut_short);
    }
    r.seek(0x0C);
    const std::uint16_t signature_at = r.u16();
    r.seek(18);
    m.svn = r.u8();
    m.kmid = r.u8();
    r.seek(22);
    const std::uint16_t hashes = r.u16();
    for (std::uint16_t i = 0; i < hashes && r.ok(); ++i) {
        r.skip(8);  // usage
        digest(r);
    }
    if (!r.ok()) {
        return std::string(cut_short);
    }
    if (r.at() > signature_at) {
        return "its " + std::to_string(hashes) + " hashes end at +" + hex(r.at()) + ", past its key signature at +" +
               hex(signature_at);
    }
    r.seek(signature_at);
    return key_signature(r);
}

std::string element_name(Image bytes, std::size_t at) {
    std::string name;
    for (std::size_t i = 0; i < 8; ++i) {
        const std::uint8_t c = bytes[at + i];
        name += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    }
    return name;
}

// Version 1: elements carry no size, so each must be one that is known.
std::string boot_policy_v1(Image bytes, Manifest& m) {
    Reader r(bytes);
    r.seek(11);
    m.svn = r.u8();
    m.acm_svn = r.u8();
    std::size_t at = 16;
    std::size_t sets = 0;
    while (true) {
        if (!fits(bytes, at, 9)) {
            return std::string(cut_short);
        }
        r.seek(at);
        if (tag_at(bytes, at, ibb_set_tag)) {
            r.seek(at + 0x84);
            segments(r, m);
            ++sets;
        } else if (tag_at(bytes, at, vendor_data_tag)) {
            r.seek(at + 9);
            r.skip(r.u16());
        } else if (tag_at(bytes, at, signature_tag)) {
            r.seek(at + 9);
            if (std::string why = key_signature(r); !why.empty()) {
                return why;
            }
            break;
        } else {
            return "an element '" + element_name(bytes, at) + "' at +" + hex(at) +
                   ", which a version 1 manifest gives no size to skip";
        }
        if (!r.ok()) {
            return std::string(cut_short);
        }
        at = r.at();
    }
    return sets == 0 ? "it has no __IBBS__ element" : std::string();
}

// One IBB set of version 2, inside its element's bytes.
std::string ibb_set_v2(Image element, std::size_t at, Manifest& m) {
    Reader r(element);
    r.seek(0x3C);
    digest(r);  // post-IBB
    r.u32();    // entry point
    const std::size_t list = r.at();
    const std::uint16_t list_size = r.u16();
    const std::uint16_t count = r.u16();
    for (std::uint16_t i = 0; i < count && r.ok(); ++i) {
        digest(r);
    }
    if (r.ok() && r.at() - list != list_size) {
        return "the digest list of the IBB set at +" + hex(at) + " says " + std::to_string(list_size) +
               " bytes and holds " + std::to_string(r.at() - list);
    }
    digest(r);  // OBB
    r.skip(3);
    segments(r, m);
    return r.ok() ? std::string() : "the IBB set at +" + hex(at) + " runs past its element's " + hex(element.size()) +
                                        " bytes";
}

// Version 2: sized elements, unknown ones skipped, the signature last.
std::string boot_policy_v2(Image bytes, Manifest& m) {
    Reader r(bytes);
    r.seek(0x0C);
    const std::uint16_t signature_at = r.u16();
    r.seek(15);
    m.svn = r.u8();
    m.acm_svn = r.u8();
    if (!r.ok()) {
        return std::string(cut_short);
    }
    std::size_t at = 20;
    std::size_t sets = 0;
    while (true) {
        if (!fits(bytes, at, 12)) {
            return std::string(cut_short);
        }
        if (tag_at(bytes, at, signature_tag)) {
            // Its size field is not one: the key signature follows its header.
            if (at + 12 != signature_at) {
                return "its signature element's key signature is at +" + hex(at + 12) + ", not at +" +
                       hex(signature_at) + " where its header puts it";
            }
            r.seek(at + 12);
            if (std::string why = key_signature(r); !why.empty()) {
                return why;
            }
            break;
        }
        const std::size_t size = read_le16(bytes, at + 10);
        if (size < 12) {
            return "an element at +" + hex(at) + " of " + std::to_string(size) + " bytes, fewer than its header";
        }
        if (size > bytes.size() - at) {
            return std::string(cut_short);
        }
        if (tag_at(bytes, at, ibb_set_tag)) {
            if (std::string why = ibb_set_v2(bytes.subspan(at, size), at, m); !why.empty()) {
                return why;
            }
            ++sets;
        }
        at += size;
    }
    return sets == 0 ? "it has no __IBBS__ element" : std::string();
}

}  // namespace

Manifest read_manifest(Image bytes, std::uint8_t type) {
    Manifest m;
    m.type = type;
    if (bytes.size() < 9) {
        m.state = ManifestState::malformed;
        m.why = cut_short;
        return m;
    }
    m.version = bytes[8];
    std::string why;
    if (type == fit_type_key_manifest) {
        why = key_manifest(bytes, m);
    } else {
        why = m.version < second_version ? boot_policy_v1(bytes, m) : boot_policy_v2(bytes, m);
    }
    m.state = why.empty() ? ManifestState::present : ManifestState::malformed;
    m.why = std::move(why);
    if (m.state != ManifestState::present) {
        m.segments.clear();
    }
    return m;
}

std::vector<VendorRange> vendor_ranges(Image image, const FfsFile& file) {
    std::vector<VendorRange> ranges;
    if (file.end() > image.size()) {
        return ranges;
    }
    const std::optional<SectionHeader> first = section_header(image.subspan(0, file.end()), file.body());
    if (!first || first->type != section_type_raw) {
        return ranges;
    }
    const Image data = image.subspan(file.body() + first->header, first->size - first->header);
    std::vector<std::pair<std::size_t, std::size_t>> fields;  // where each base and size lie
    if (data.size() == 80) {
        fields = {{32, 36}, {72, 76}};  // two of {digest, base, size}
    } else if (data.size() == 112) {
        fields = {{32, 44}, {36, 48}, {40, 52}, {56, 60}};  // a digest, three bases, three sizes, one nested pair
    }
    for (const auto& [b, s] : fields) {
        const std::uint32_t base = read_le32(data, b);
        const std::uint32_t length = read_le32(data, s);
        if (base != 0xFFFFFFFF && length != 0 && length != 0xFFFFFFFF) {
            ranges.push_back({file.offset, base, length});
        }
    }
    return ranges;
}

BootGuard read_boot_guard(Image image, const FitCheck& fit, const VolumeScan& volumes) {
    BootGuard g;
    if (fit.pointer.outcome != FitPointer::Outcome::found) {
        return g;
    }
    // Real images name one manifest of each kind. Each entry's manifest is
    // read whole, and many entries could name one huge manifest: past a few,
    // the work would grow with their product.
    constexpr std::size_t most_manifests = 8;
    const std::size_t named = manifest_entries(fit);
    g.entries = named;
    if (named > most_manifests) {
        g.state = ManifestState::malformed;
        g.why = "the FIT has " + std::to_string(named) + " key and boot policy manifest entries, more than the " +
                std::to_string(most_manifests) + " any real image comes near";
    }
    for (std::size_t i = 1; i < fit.entries.size() && named <= most_manifests; ++i) {
        const FitEntry& e = fit.entries[i];
        if (!names_a_manifest(e.type)) {
            continue;
        }
        Manifest m;
        const std::optional<std::size_t> offset = offset_of_address(e.address, image.size());
        const std::string which = std::string("the ") + std::string(fit_type_name(e.type)) + " of FIT entry " +
                                  std::to_string(i);
        if (!offset) {
            m.state = ManifestState::malformed;
            m.why = which + ": its address " + hex(e.address) + " maps outside the file";
        } else if (!tag_at(image, *offset, e.type == fit_type_key_manifest ? key_manifest_tag : boot_policy_tag)) {
            m.state = ManifestState::absent;
        } else {
            const std::size_t room = std::min<std::size_t>(e.size, image.size() - *offset);
            m = read_manifest(image.subspan(*offset, room), e.type);
            if (m.why == cut_short) {
                m.why = room < e.size ? "runs past the end of the file"
                                      : "runs past the " + hex(e.size) + " bytes its FIT entry gives it";
            }
            if (!m.why.empty()) {
                m.why = which + ", at offset " + hex(*offset) + ": " + m.why;
            }
        }
        m.fit_index = i;
        m.type = e.type;
        m.address = e.address;
        m.fit_size = e.size;
        m.offset = offset;
        if (m.state == ManifestState::malformed && g.state != ManifestState::malformed) {
            g.state = ManifestState::malformed;
            g.why = m.why;
        } else if (m.state == ManifestState::present && g.state == ManifestState::absent) {
            g.state = ManifestState::present;
        }
        g.manifests.push_back(std::move(m));
    }
    if (!g.named()) {
        return g;
    }
    for (const FirmwareVolume& v : volumes.volumes) {
        for (const FfsFile& f : v.files) {
            if (f.name == ami_protected_ranges && f.in_use(v.erase_polarity_one())) {
                const std::vector<VendorRange> found = vendor_ranges(image, f);
                g.vendor.insert(g.vendor.end(), found.begin(), found.end());
            }
        }
    }
    return g;
}

BootGuard read_boot_guard(Image image, const FitCheck& fit) {
    if (fit.pointer.outcome != FitPointer::Outcome::found || manifest_entries(fit) == 0) {
        return {};
    }
    return read_boot_guard(image, fit, find_volumes(image));
}

const Manifest* BootGuard::first_present(std::uint8_t type) const {
    for (const Manifest& m : manifests) {
        if (m.type == type && m.state == ManifestState::present) {
            return &m;
        }
    }
    return nullptr;
}

std::vector<IbbSegment> BootGuard::ibb() const {
    std::vector<IbbSegment> all;
    for (const Manifest& m : manifests) {
        if (m.type == fit_type_boot_policy && m.state == ManifestState::present) {
            all.insert(all.end(), m.segments.begin(), m.segments.end());
        }
    }
    return all;
}

std::vector<ProtectedRange> protected_ranges(const BootGuard& guard, std::size_t image_size) {
    std::vector<ProtectedRange> ranges;
    if (guard.state != ManifestState::present || image_size > four_gib) {
        return ranges;
    }
    const std::uint64_t low = four_gib - image_size;  // where the image's first byte sits
    auto add = [&](std::uint32_t base, std::uint32_t size, bool vendor) {
        const std::uint64_t from = std::max<std::uint64_t>(base, low);
        const std::uint64_t to = std::min<std::uint64_t>(std::uint64_t{base} + size, four_gib);
        if (from < to) {
            ranges.push_back({static_cast<std::size_t>(from - low), static_cast<std::size_t>(to - low), base, size,
                              vendor});
        }
    };
    for (const IbbSegment& s : guard.ibb()) {
        if (s.hashed) {
            add(s.base, s.size, false);
        }
    }
    for (const VendorRange& v : guard.vendor) {
        add(v.base, v.size, true);
    }
    return ranges;
}

std::vector<std::pair<std::size_t, std::size_t>> range_union(const std::vector<ProtectedRange>& ranges) {
    std::vector<std::pair<std::size_t, std::size_t>> spans;
    spans.reserve(ranges.size());
    for (const ProtectedRange& r : ranges) {
        spans.emplace_back(r.begin, r.end);
    }
    std::sort(spans.begin(), spans.end());
    std::vector<std::pair<std::size_t, std::size_t>> merged;
    for (const auto& s : spans) {
        if (!merged.empty() && s.first <= merged.back().second) {
            merged.back().second = std::max(merged.back().second, s.second);
        } else {
            merged.push_back(s);
        }
    }
    return merged;
}

std::optional<std::string> boot_guard_error(const BootGuard& guard) {
    if (guard.state != ManifestState::malformed) {
        return std::nullopt;
    }
    return "Boot Guard: " + guard.why;
}

std::string_view manifest_state_word(ManifestState state) {
    switch (state) {
        case ManifestState::absent: return "absent";
        case ManifestState::present: return "present";
        case ManifestState::malformed: return "malformed";
    }
    return "?";
}

}  // namespace tarnwick
