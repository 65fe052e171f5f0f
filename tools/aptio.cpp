#include "aptio.h"

#include <algorithm>

namespace synth {

namespace {

constexpr std::size_t image_size = 0x200000;
constexpr std::size_t main_base = 0x20000;
constexpr std::size_t boot_base = 0x1E0000;  // the boot block, up to the top

std::size_t align(std::size_t v, std::size_t to) { return (v + to - 1) / to * to; }

void put(Bytes& to, std::size_t at, const Bytes& what) {
    std::copy(what.begin(), what.end(), to.begin() + static_cast<std::ptrdiff_t>(at));
}

Bytes junk(std::size_t n, unsigned seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) {
        b[i] = static_cast<std::uint8_t>((i * 131 + seed * 71 + 0x3D) >> 1);
    }
    return b;
}

const Guid ami_microcode = guid("17088572-377F-44EF-8F4E-B09FFF46A070");
const Guid volume_top = guid("1BA0062E-C779-4582-8566-336AE8F78F09");
const Guid lzma = guid("EE4E5898-3914-4259-9D6E-DC7BD79403CF");

Guid numbered(unsigned n) {
    Guid g = guid("A5C1E000-3B7D-4F21-9E6A-5D0C2B7F9E11");
    g[0] = static_cast<std::uint8_t>(n);
    g[1] = static_cast<std::uint8_t>(n >> 8);
    return g;
}

// Vendors' volumes ask for 64 KiB alignment (128 KiB with `wide`).
Bytes build(const VolumeBuilder& v, std::size_t length, bool wide = false) {
    return v.build(length, wide ? 0x0011FEFF : 0x0010FEFF);
}

Bytes microcode_body(const std::vector<Update>& updates) {
    Bytes body;
    for (const Update& u : updates) {
        body.resize(align(body.size(), 16), 0xFF);
        append(body, make_update(u));
    }
    return body;
}

Bytes driver(std::uint8_t type, std::uint8_t attributes, std::size_t size, unsigned seed) {
    return ffs_file(numbered(seed), type, attributes, section(0x10, junk(size, seed)));  // a PE32 section
}

// A GUID-defined section: its header, the GUID, where its data starts and
// its attributes (processing required), then the data.
Bytes guid_defined(const Guid& g, const Bytes& data) {
    Bytes b(g.begin(), g.end());
    b.push_back(24);
    b.push_back(0);
    b.push_back(0x01);
    b.push_back(0x00);
    append(b, data);
    return section(0x02, b);
}

// A small volume holding one file of `type`, asking for `alignment`.
Bytes inner_volume(std::uint8_t type, std::size_t alignment) {
    Bytes v = volume(0x2000, {driver(type, 0x00, 0x400, 90)});
    unsigned log = 0;
    while ((std::size_t{1} << log) < alignment) {
        ++log;
    }
    // Attributes bits 16-20: the alignment, a power of two.
    v[0x2E] = static_cast<std::uint8_t>(log);
    seal_volume_header(v);
    return v;
}

Bytes aptio_fit(const AptioOptions& o, const std::vector<std::uint64_t>& microcode, std::uint64_t acm,
                std::uint64_t startup, std::uint64_t manifests) {
    std::vector<FitEntrySpec> entries;
    for (const std::uint64_t a : microcode) {
        entries.push_back({a, 0x01});
    }
    for (std::size_t i = 0; i < o.fit_unused; ++i) {
        entries.push_back({~std::uint64_t{0}, 0x7F});
    }
    entries.push_back({acm, 0x02});
    entries.push_back({startup, 0x07, 0x10});
    entries.push_back({manifests, 0x0B, 0x200});
    entries.push_back({manifests + 0x200, 0x0C, 0x200});
    return fit_table(entries, true);
}

std::uint64_t address(std::size_t offset) { return (std::uint64_t{1} << 32) - image_size + offset; }

}  // namespace

Bytes section(std::uint8_t type, const Bytes& body) {
    Bytes s(4);
    const std::size_t size = 4 + body.size();
    s[0] = static_cast<std::uint8_t>(size);
    s[1] = static_cast<std::uint8_t>(size >> 8);
    s[2] = static_cast<std::uint8_t>(size >> 16);
    s[3] = type;
    append(s, body);
    return s;
}

Aptio make_aptio(const AptioOptions& o) {
    using Blocker = AptioOptions::Blocker;
    Aptio a;
    a.image.assign(image_size, 0xFF);

    // The main volume.
    VolumeBuilder main(main_base, 0);
    main.add(driver(0x07, 0x00, 0x1800, 1));
    const Bytes main_microcode = ffs_file(ami_microcode, 0x01, 0x00, microcode_body(o.main_updates));
    a.main_microcode = main.add(main_microcode);
    if (o.pad_first) {
        a.run.push_back(main.add(pad_file(0x400)));
    }
    // The DXE volume, compressed: to this tool, bytes it can't read.
    a.run.push_back(main.add(ffs_file(numbered(2), 0x0B, 0x00, guid_defined(lzma, junk(0x6000, 2)))));
    if (o.aligned_driver) {
        main.align_data(0x1000);
        a.run.push_back(main.add(driver(0x07, 0x28, 0x1200, 3)));  // data alignment 4 KiB
    }
    if (o.aligned_128k) {
        main.align_data(0x20000);
        a.run.push_back(main.add(ffs_file(numbered(4), 0x01, 0x02, junk(0x300, 4))));
    }
    if (o.nested_alignment != 0) {
        // A RAW file whose data is a volume, aligned as it asks.
        main.align_data(o.nested_alignment);
        a.run.push_back(main.add(ffs_file(numbered(5), 0x01, 0x00, inner_volume(0x07, o.nested_alignment))));
    }
    a.run.push_back(main.add(ffs_file(numbered(6), 0x01, 0x00, junk(0x800, 6))));
    a.run.push_back(main.add(ffs_file(numbered(7), 0x01, 0x40, junk(0x700, 7))));
    std::size_t startup_target = 0;  // where the FIT's start-up module entry points, if not the SEC core
    switch (o.blocker) {
        case Blocker::none:
        case Blocker::unwalkable:
            break;
        case Blocker::sec_core: a.run.push_back(main.add(driver(0x03, 0x00, 0x400, 8))); break;
        case Blocker::pei_core: a.run.push_back(main.add(driver(0x04, 0x00, 0x400, 8))); break;
        case Blocker::peim: a.run.push_back(main.add(driver(0x06, 0x00, 0x400, 8))); break;
        case Blocker::combined: a.run.push_back(main.add(driver(0x08, 0x00, 0x400, 8))); break;
        case Blocker::volume_top: a.run.push_back(main.add(ffs_file(volume_top, 0x01, 0x00, junk(0x100, 8)))); break;
        case Blocker::fixed: a.run.push_back(main.add(ffs_file(numbered(8), 0x01, 0x04, junk(0x100, 8)))); break;
        case Blocker::pad_data: {
            Bytes body(0x200, 0xFF);
            body[0x100] = 0xEA;
            Guid ff;
            ff.fill(0xFF);
            a.run.push_back(main.add(ffs_file(ff, 0xF0, 0x00, body)));
            break;
        }
        case Blocker::microcode:
            a.run.push_back(main.add(
                ffs_file(numbered(8), 0x01, 0x00, make_update({.signature = 0x50654, .extra_signatures = {}}))));
            break;
        case Blocker::fit_named:
            startup_target = main.next() + 24;
            a.run.push_back(main.add(ffs_file(numbered(8), 0x01, 0x00, junk(0x100, 8))));
            break;
        case Blocker::nested_peim:
            a.run.push_back(main.add(ffs_file(numbered(8), 0x0B, 0x00, section(0x17, inner_volume(0x06, 8)))));
            break;
        case Blocker::compressed_peim:
            a.run.push_back(main.add(ffs_file(numbered(8), 0x0B, 0x00, guid_defined(lzma, inner_volume(0x06, 8)))));
            break;
    }
    const std::size_t main_length = align(main.used() + o.main_free, 0x1000);
    a.main_volume = main_base;
    put(a.image, main_base, build(main, main_length, o.aligned_128k));
    if (o.blocker == Blocker::unwalkable) {
        // Bytes after the last file where free space should begin.
        const Bytes stray = junk(0x20, 9);
        put(a.image, main_base + align(main.used(), 8), stray);
    }

    // The boot block, at the top: the Boot Guard entries' place (zeros: not
    // provisioned), the ACM, a PEIM, the SEC core, the volume top file.
    VolumeBuilder boot(boot_base, 0);
    const std::size_t manifests = boot.add(ffs_file(numbered(20), 0x01, 0x00, Bytes(0x400, 0x00))) + 24;
    const std::size_t acm = boot.add(ffs_file(numbered(21), 0x01, 0x00, junk(0x4000, 21))) + 24;
    boot.add(driver(0x06, 0x00, 0x1000, 22));
    const std::size_t sec = boot.add(driver(0x03, 0x00, 0x800, 23)) + 24;
    const std::size_t vtf_size = 0x1000;
    const std::size_t vtf_at = image_size - vtf_size;
    boot.add(pad_file(vtf_at - boot.next()));

    // The FIT's volume, after the main one.
    const std::size_t fit_base = align(main_base + main_length, 0x10000);
    VolumeBuilder fitv(fit_base, 0);
    const std::size_t table_size = (o.main_updates.size() + o.fit_updates.size() + o.fit_unused + 5) * 16;
    a.fit_file = fitv.next();
    a.fit = a.fit_file + 24;
    const std::size_t fit_micro_at = align(a.fit_file + 24 + table_size + 16 * o.fit_slots, 8);
    // Each update at the next 16-byte boundary of its file's body.
    std::vector<std::uint64_t> micro;
    for (const auto& [body, updates] : {std::pair{fit_micro_at + 24, &o.fit_updates},
                                        std::pair{a.main_microcode + 24, &o.main_updates}}) {
        std::size_t at = 0;
        for (const Update& u : *updates) {
            at = align(at, 16);
            micro.push_back(address(body + at));
            at += make_update(u).size();
        }
    }
    Bytes fit_body = aptio_fit(o, micro, address(acm), address(startup_target != 0 ? startup_target : sec),
                               address(manifests));
    fit_body.resize(fit_body.size() + 16 * o.fit_slots, 0xFF);
    fitv.add(ffs_file(numbered(30), 0x01, o.fit_checksummed ? 0x40 : 0x00, fit_body));
    a.fit_microcode = fitv.add(ffs_file(ami_microcode, 0x01, 0x00, microcode_body(o.fit_updates)));
    if (o.fit_pad != 0) {
        fitv.add(pad_file(o.fit_pad));
    }
    fitv.add(ffs_file(numbered(31), 0x01, 0x00, junk(0x2000, 31)));
    const std::size_t fit_length = align(fitv.used() + o.fit_free, 0x1000);
    a.fit_volume = fit_base;
    put(a.image, fit_base, build(fitv, fit_length));

    Bytes vtf_body(vtf_size - 24, 0xFF);
    put_le64(vtf_body, vtf_body.size() - 0x40, address(a.fit));
    boot.add(ffs_file(volume_top, 0x01, 0x00, vtf_body));
    put(a.image, boot_base, build(boot, image_size - boot_base));
    return a;
}

}  // namespace synth
