#include "flash.h"

#include <algorithm>
#include <cstdlib>

namespace synth {

namespace {

constexpr std::size_t image_size = 0x200000;

std::size_t align(std::size_t v, std::size_t to) { return (v + to - 1) / to * to; }

std::uint8_t sum8(const Bytes& b, std::size_t from, std::size_t to) {
    unsigned s = 0;
    for (std::size_t i = from; i < to; ++i) {
        s += b[i];
    }
    return static_cast<std::uint8_t>(s);
}

void put(Bytes& to, std::size_t at, const Bytes& what) {
    std::copy(what.begin(), what.end(), to.begin() + static_cast<std::ptrdiff_t>(at));
}

const Guid ami_microcode = guid("17088572-377F-44EF-8F4E-B09FFF46A070");
const Guid edk2_microcode = guid("197DB236-F856-4924-90F8-CDF12FB875F3");
const Guid volume_top = guid("1BA0062E-C779-4582-8566-336AE8F78F09");
const Guid fit_file = guid("CD7F9E68-1A2B-4C3D-8E9F-0A1B2C3D4E5F");
const Guid other_file = guid("5A3E1C9B-7D2F-4B6A-9C8E-1F2E3D4C5B6A");
const Guid boot_guard_file = guid("8D1B2C0E-4A3F-4E5D-9B6C-2E7F1A0B3C4D");
const Guid ami_protected_ranges = guid("CBC91F44-A4BC-4A5B-8696-703451D0B053");

// The microcode file's body: each update at the next 16-byte boundary (the
// body starts on one), then the MPDT record as asked.
Bytes microcode_body(const FlashOptions& o, std::vector<std::size_t>& starts) {
    Bytes body;
    for (const Update& u : o.updates) {
        body.resize(o.spacing != 0 && !body.empty() ? align(body.size(), o.spacing) : align(body.size(), 16), 0xFF);
        starts.push_back(body.size());
        append(body, make_update(u));
    }
    // Odd sizes: 0xFF of an odd length before the record, or after the
    // updates, so that the file's size is no multiple of 8.
    const std::size_t odd = o.odd_sizes ? 0x0B : 0;
    if (o.mpdt != FlashOptions::Mpdt::none) {
        body.resize(align(body.size(), 16) + (o.mpdt == FlashOptions::Mpdt::slack ? 0x400 : 0) + odd, 0xFF);
        append(body, mpdt_record(true));
    } else {
        body.resize(body.size() + odd, 0xFF);
    }
    return body;
}

// Where the Boot Guard entries point, and the sizes they give.
struct GuardEntries {
    std::uint64_t key_manifest = 0, boot_policy = 0;
    std::uint32_t key_manifest_size = 0, boot_policy_size = 0;
};

bool has_guard_entries(const FlashOptions& o) { return o.guard.manifests != GuardOptions::Manifests::none; }

std::size_t fit_entries(const FlashOptions& o) {
    return 1 + (o.fit_microcode ? o.updates.size() : 0) + o.fit_unused + 2 + (has_guard_entries(o) ? 2 : 0);
}

Bytes fit_table(const FlashOptions& o, const std::vector<std::uint64_t>& microcode, std::uint64_t acm,
                std::uint64_t startup, const GuardEntries& guard) {
    std::vector<FitEntrySpec> entries;
    for (std::uint64_t a : microcode) {
        if (o.fit_microcode) {
            entries.push_back({a, 0x01});
        }
    }
    // As vendors' AMI tables have them: unused entries before the later
    // types; community releases move them to the end.
    const std::vector<FitEntrySpec> unused(o.fit_unused, FitEntrySpec{0xFFFFFFFFFFFFFFFF, 0x7F});
    if (!o.unused_at_end) {
        entries.insert(entries.end(), unused.begin(), unused.end());
    }
    entries.push_back({acm, 0x02});
    entries.push_back({startup, 0x07});
    if (has_guard_entries(o)) {
        entries.push_back({guard.key_manifest, 0x0B, guard.key_manifest_size});
        entries.push_back({guard.boot_policy, 0x0C, guard.boot_policy_size});
    }
    if (o.unused_at_end) {
        entries.insert(entries.end(), unused.begin(), unused.end());
    }
    return synth::fit_table(entries, o.fit_checksum);
}

std::uint64_t address(std::size_t offset) { return (std::uint64_t{1} << 32) - image_size + offset; }

}  // namespace

Guid guid(const std::string& text) {
    Guid g{};
    std::string hexes;
    for (char c : text) {
        if (c != '-') {
            hexes += c;
        }
    }
    std::uint8_t raw[16];
    for (std::size_t i = 0; i < 16; ++i) {
        raw[i] = static_cast<std::uint8_t>(std::strtoul(hexes.substr(2 * i, 2).c_str(), nullptr, 16));
    }
    const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    for (std::size_t i = 0; i < 16; ++i) {
        g[i] = raw[order[i]];
    }
    return g;
}

Bytes ffs_file(const Guid& name, std::uint8_t type, std::uint8_t attributes, const Bytes& body) {
    const bool large = (attributes & 0x01) != 0;
    const std::size_t header = large ? 32 : 24;
    Bytes f(header, 0);
    std::copy(name.begin(), name.end(), f.begin());
    f[0x12] = type;
    f[0x13] = attributes;
    const std::size_t size = header + body.size();
    if (large) {
        put_le64(f, 0x18, size);
    } else {
        f[0x14] = static_cast<std::uint8_t>(size);
        f[0x15] = static_cast<std::uint8_t>(size >> 8);
        f[0x16] = static_cast<std::uint8_t>(size >> 16);
    }
    f[0x17] = 0xF8;  // header and data valid, stored inverted
    append(f, body);
    unsigned s = 0;
    for (std::size_t i = 0; i < header; ++i) {
        if (i != 0x10 && i != 0x11 && i != 0x17) {
            s += f[i];
        }
    }
    f[0x10] = static_cast<std::uint8_t>(0x100 - (s & 0xFF));
    f[0x11] = (attributes & 0x40) != 0 ? static_cast<std::uint8_t>(0x100 - sum8(f, header, f.size())) : 0xAA;
    return f;
}

Bytes fit_table(const std::vector<FitEntrySpec>& entries, bool checksum) {
    Bytes t((entries.size() + 1) * 16, 0);
    const char signature[] = "_FIT_   ";
    std::copy(signature, signature + 8, t.begin());
    put_le32(t, 8, static_cast<std::uint32_t>(entries.size() + 1));
    t[13] = 0x01;
    t[14] = checksum ? 0x80 : 0x00;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::size_t e = 16 * (i + 1);
        if (entries[i].type == 0x7F) {
            std::fill(t.begin() + static_cast<std::ptrdiff_t>(e), t.begin() + static_cast<std::ptrdiff_t>(e + 16), 0xFF);
            continue;
        }
        put_le64(t, e, entries[i].address);
        t[e + 8] = static_cast<std::uint8_t>(entries[i].size);
        t[e + 9] = static_cast<std::uint8_t>(entries[i].size >> 8);
        t[e + 10] = static_cast<std::uint8_t>(entries[i].size >> 16);
        t[e + 13] = 0x01;
        t[e + 14] = entries[i].type;
    }
    if (checksum) {
        t[15] = static_cast<std::uint8_t>(0x100 - sum8(t, 0, t.size()));
    }
    return t;
}

std::size_t VolumeBuilder::add(Bytes file) {
    const std::size_t at = next();
    used_ = align(used_, 8) + file.size();
    files_.push_back(std::move(file));
    return at;
}

void VolumeBuilder::align_data(std::size_t to) {
    const std::size_t pos = align(used_, 8);
    if ((pos + 24) % to != 0) {
        add(pad_file(align(pos + 24 + 24, to) - 24 - pos));  // room for the pad's own header
    }
}

Bytes VolumeBuilder::build() const { return volume(length_, files_, ffs3_); }

Bytes VolumeBuilder::build(std::size_t length, std::uint32_t attributes) const {
    return volume(length, files_, ffs3_, attributes);
}

Bytes pad_file(std::size_t size) {
    Guid ff;
    ff.fill(0xFF);
    return ffs_file(ff, 0xF0, 0x00, Bytes(size - 24, 0xFF));
}

void seal_volume_header(Bytes& v) {
    const std::size_t length = static_cast<std::size_t>(v[0x30] | v[0x31] << 8);
    v[0x32] = v[0x33] = 0;
    unsigned sum = 0;
    for (std::size_t i = 0; i + 1 < length && i + 1 < v.size(); i += 2) {
        sum += static_cast<unsigned>(v[i] | v[i + 1] << 8);
    }
    const auto fix = static_cast<std::uint16_t>(0x10000 - (sum & 0xFFFF));
    v[0x32] = static_cast<std::uint8_t>(fix);
    v[0x33] = static_cast<std::uint8_t>(fix >> 8);
}

Bytes volume(std::size_t length, const std::vector<Bytes>& files, bool ffs3) {
    return volume(length, files, ffs3, 0x0004FEFF);  // erase polarity 1 among the rest
}

Bytes volume(std::size_t length, const std::vector<Bytes>& files, bool ffs3, std::uint32_t attributes) {
    Bytes v(length, 0xFF);
    std::fill(v.begin(), v.begin() + 0x48, 0);
    const Guid fs = ffs3 ? guid("5473C07A-3DCB-4DCA-BD6F-1E9689E7349A") : guid("8C8CE578-8A3D-4F1C-9935-896185C32DD3");
    std::copy(fs.begin(), fs.end(), v.begin() + 0x10);
    put_le64(v, 0x20, length);
    put(v, 0x28, {'_', 'F', 'V', 'H'});
    put_le32(v, 0x2C, attributes);
    v[0x30] = 0x48;
    v[0x37] = 2;
    put_le32(v, 0x38, static_cast<std::uint32_t>(length / 0x1000));
    put_le32(v, 0x3C, 0x1000);
    seal_volume_header(v);
    std::size_t at = 0x48;
    for (const Bytes& f : files) {
        at = align(at, 8);
        put(v, at, f);
        at += f.size();
    }
    return v;
}

Flash make_flash(const FlashOptions& o) {
    Flash flash;
    flash.image.assign(image_size, 0xFF);
    Bytes& image = flash.image;
    std::vector<std::size_t> starts;
    const Bytes body = microcode_body(o, starts);

    if (o.legacy) {
        const std::size_t at = 0x10000;
        put(image, at, body);
        std::vector<std::uint64_t> micro;
        for (std::size_t s : starts) {
            micro.push_back(address(at + s));
        }
        flash.fit = 0x1F0000;
        const GuardEntries entries{address(0x1E0100), address(0x1E0400), 0x100, 0x400};
        put(image, flash.fit, fit_table(o, micro, address(0x1E0000), address(0x1E8000), entries));
        put_fit_pointer(image, address(flash.fit));
        return flash;
    }

    const std::uint8_t attributes = static_cast<std::uint8_t>((o.checksummed ? 0x40 : 0) | (o.large ? 0x01 : 0));
    const Bytes microcode = ffs_file(o.edk2 ? edk2_microcode : ami_microcode, 0x01, attributes, body);
    const std::size_t header = o.large ? 32 : 24;

    VolumeBuilder main(0x100000, 0x100000, o.large);
    std::size_t micro_at = 0;
    if (o.edk2) {
        // The microcode alone in a volume, free space after it; the rest of
        // the firmware in the main volume above it.
        VolumeBuilder micro(0x100000, 0x40000);
        micro_at = micro.add(microcode);
        put(image, micro.base(), micro.build());
        main = VolumeBuilder(0x140000, 0xC0000);
    } else {
        micro_at = main.add(microcode);
        if (o.pad != 0) {
            Bytes pad_body(o.pad - 24, 0xFF);
            if (o.pad_data != 0) {
                // A far jump, as the start-up vector for application processors.
                const Bytes vector = {0xEA, 0xD0, 0xFF, 0x00, 0xF0, 0x00, 0x00, 0x00,
                                      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
                put(pad_body, pad_body.size() - o.pad_data, vector);
            }
            Guid ff;
            ff.fill(0xFF);
            const Bytes pad = ffs_file(ff, 0xF0, o.pad_checksummed ? 0x40 : 0x00, pad_body);
            flash.files.push_back(main.add(pad));
            flash.pad_data = o.pad_data != 0 ? flash.files.back() + o.pad - o.pad_data : 0;
        }
    }
    flash.microcode_files.push_back(micro_at);

    Bytes other(o.odd_sizes ? 0xA04 - 24 : 0x1000);
    for (std::size_t i = 0; i < other.size(); ++i) {
        other[i] = static_cast<std::uint8_t>(i * 37 + 11);
    }
    const std::size_t other_at = main.add(ffs_file(other_file, 0x01, 0x40, other));
    flash.files.push_back(other_at);

    std::vector<std::uint64_t> micro;
    for (std::size_t s : starts) {
        micro.push_back(address(micro_at + header + s));
    }
    if (o.fit_to_data) {
        micro.front() += 0x100;
    }
    // The second volume's file, with the same updates or others.
    const Bytes copy_microcode = o.copy_updates.empty() ? microcode : [&] {
        FlashOptions other_updates = o;
        other_updates.updates = o.copy_updates;
        std::vector<std::size_t> unused;
        return ffs_file(ami_microcode, 0x01, attributes, microcode_body(other_updates, unused));
    }();
    const std::size_t copy_at = 0x80000 + 0x48;

    // The FIT's file, then (with Boot Guard entries) a file of manifests and
    // AMI's protected-range file, then a pad up to the volume-top file,
    // which ends the volume and the image.
    const std::size_t fit_file_at = main.next();
    flash.fit = o.fit_outside ? 0x40000 : fit_file_at + 24;
    const std::size_t table_size = fit_entries(o) * 16;
    const std::size_t vtf_size = 0x1000;
    const std::size_t vtf_at = main.end() - vtf_size;
    const GuardOptions& g = o.guard;
    using Manifests = GuardOptions::Manifests;
    GuardEntries entries;
    Bytes manifests;
    if (g.manifests == Manifests::other_bytes) {
        entries = {address(other_at + 0x100), address(other_at + 0x400), 0x100, 0x400};
    } else if (g.manifests != Manifests::none) {
        const std::size_t manifests_at =
            o.fit && !o.fit_outside ? align(flash.fit + table_size + 16 * o.fit_slots + o.fit_slack, 8) : fit_file_at;
        auto extent = [&](Cover c) -> std::pair<std::size_t, std::size_t> {
            switch (c) {
                case Cover::startup_block: return {vtf_at, vtf_size};
                case Cover::microcode_file: return {micro_at, microcode.size()};
                case Cover::fit: return {flash.fit, table_size};
                case Cover::pad_start: return {micro_at + align(microcode.size(), 8), 0x100};
                case Cover::copy_microcode_file: return {copy_at, copy_microcode.size()};
            }
            return {0, 0};
        };
        auto range = [&](Cover c, bool hashed) {
            const auto [at, size] = extent(c);
            return IbbRange{static_cast<std::uint32_t>(address(at)), static_cast<std::uint32_t>(size), hashed};
        };
        BootPolicy policy{.version = g.bpm_version, .sets = {{}}, .unknown_element = g.unknown_element};
        if (g.two_sets) {
            policy.sets.emplace_back();
        }
        for (std::size_t i = 0; i < g.segments.size(); ++i) {
            const bool second = g.two_sets && i >= (g.segments.size() + 1) / 2;
            policy.sets[second ? 1 : 0].push_back(range(g.segments[i].over, g.segments[i].hashed));
        }
        Bytes km = key_manifest(g.km_version);
        Bytes bpm = boot_policy(policy);
        const std::size_t bpm_in_body = align(km.size(), 16);
        if (g.manifests != Manifests::real) {
            const std::uint8_t fill = g.manifests == Manifests::zeros ? 0x00 : 0xFF;
            std::fill(km.begin(), km.end(), fill);
            std::fill(bpm.begin(), bpm.end(), fill);
        }
        Bytes both = km;
        both.resize(bpm_in_body, g.manifests == Manifests::zeros ? 0x00 : 0xFF);
        append(both, bpm);
        manifests = ffs_file(boot_guard_file, 0x01, 0x00, both);
        flash.key_manifest = manifests_at + 24;
        flash.boot_policy = manifests_at + 24 + bpm_in_body;
        entries = {address(flash.key_manifest), address(flash.boot_policy), static_cast<std::uint32_t>(km.size()),
                   static_cast<std::uint32_t>(bpm.size() - g.bpm_cut)};
    }
    const Bytes table = fit_table(o, micro, address(other_at + 24), address(other_at + 0x800), entries);
    if (o.fit && !o.fit_outside) {
        Bytes with_slots = table;
        with_slots.resize(table.size() + 16 * o.fit_slots + o.fit_slack, 0xFF);
        if (o.fit_slot_data) {
            with_slots[table.size() + 5] = 0x00;
        }
        Guid ff;
        ff.fill(0xFF);
        flash.files.push_back(main.add(o.fit_in_pad ? ffs_file(ff, 0xF0, 0x00, with_slots)
                                                    : ffs_file(fit_file, 0x01, 0x40, with_slots)));
    }
    if (!manifests.empty()) {
        flash.files.push_back(main.add(manifests));
    }
    if (!g.vendor.empty()) {
        std::vector<IbbRange> ranges;
        for (const Cover c : g.vendor) {
            const std::size_t at = c == Cover::microcode_file ? micro_at : c == Cover::startup_block ? vtf_at : flash.fit;
            const std::size_t size = c == Cover::microcode_file ? microcode.size() : c == Cover::startup_block ? vtf_size
                                                                                                           : table_size;
            ranges.push_back({static_cast<std::uint32_t>(address(at)), static_cast<std::uint32_t>(size), true});
        }
        flash.protected_ranges = main.add(ffs_file(ami_protected_ranges, 0x02, 0x00, protected_range_section(ranges)));
        flash.files.push_back(flash.protected_ranges);
    }
    flash.files.push_back(main.add(pad_file(vtf_at - main.next())));
    Bytes vtf_body(vtf_size - 24, 0xFF);
    if (o.fit && o.fit_pointer) {
        // The FIT pointer at 4 GiB - 0x40.
        put_le64(vtf_body, vtf_body.size() - 0x40, address(flash.fit));
    }
    flash.files.push_back(main.add(ffs_file(volume_top, 0x01, 0x00, vtf_body)));
    put(image, main.base(), main.build());
    if (o.fit && o.fit_outside) {
        put(image, flash.fit, table);
    }

    if (o.copy) {
        VolumeBuilder backup(0x80000, 0x80000);
        flash.microcode_files.push_back(backup.add(copy_microcode));
        if (o.pad != 0) {
            flash.files.push_back(backup.add(pad_file(o.pad)));
        }
        put(image, backup.base(), backup.build());
    }
    return flash;
}

}  // namespace synth
