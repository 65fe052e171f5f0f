#include "synth.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace synth {

void put_le32(Bytes& b, std::size_t off, std::uint32_t v) {
    if (b.size() < off + 4) {
        b.resize(off + 4);
    }
    for (int i = 0; i < 4; ++i) {
        b[off + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

void put_le64(Bytes& b, std::size_t off, std::uint64_t v) {
    put_le32(b, off, static_cast<std::uint32_t>(v));
    put_le32(b, off + 4, static_cast<std::uint32_t>(v >> 32));
}

void append(Bytes& to, const Bytes& from) { to.insert(to.end(), from.begin(), from.end()); }

namespace {
std::uint32_t word_sum(const Bytes& b, std::size_t from, std::size_t to) {
    std::uint32_t sum = 0;
    for (std::size_t i = from; i + 4 <= to; i += 4) {
        sum += static_cast<std::uint32_t>(b[i] | b[i + 1] << 8 | b[i + 2] << 16) +
               (static_cast<std::uint32_t>(b[i + 3]) << 24);
    }
    return sum;
}
}  // namespace

Bytes make_header(std::uint32_t revision, std::uint32_t date, std::uint32_t signature,
                  std::uint32_t flags, std::uint32_t data_size, std::uint32_t total_size) {
    Bytes h(48, 0);
    put_le32(h, 0, 1);
    put_le32(h, 4, revision);
    put_le32(h, 8, date);
    put_le32(h, 12, signature);
    put_le32(h, 20, 1);  // loader revision
    put_le32(h, 24, flags);
    put_le32(h, 28, data_size);
    put_le32(h, 32, total_size);
    return h;
}

Bytes make_update(const Update& u) {
    const std::size_t data = u.data_size == 0 ? 2000 : u.data_size;
    const std::size_t table =
        u.extra_signatures.empty() ? 0 : 20 + 12 * u.extra_signatures.size();
    const auto total = static_cast<std::uint32_t>(48 + data + table);
    Bytes b = make_header(u.revision, u.date, u.signature, u.flags, u.data_size,
                          u.data_size == 0 ? 0 : total);
    b.resize(total);
    for (std::size_t i = 0; i < data; ++i) {
        b[48 + i] = static_cast<std::uint8_t>(0x40 + (i * 7) % 0xB0);
    }
    put_le32(b, 16, 0u - word_sum(b, 0, 48 + data));
    if (table != 0) {
        const std::size_t t = 48 + data;
        put_le32(b, t, static_cast<std::uint32_t>(u.extra_signatures.size()));
        for (std::size_t i = 0; i < u.extra_signatures.size(); ++i) {
            const std::size_t e = t + 20 + 12 * i;
            put_le32(b, e, u.extra_signatures[i]);
            put_le32(b, e + 4, u.flags);
            // Each entry's checksum is what the main checksum would be for
            // that signature, so the header words still sum to zero with it.
            put_le32(b, e + 8, word_sum(b, 16, 20) + u.signature - u.extra_signatures[i]);
        }
        put_le32(b, t + 4, 0u - word_sum(b, t, total));
    }
    return b;
}

Bytes make_amd_patch(const AmdPatch& p);
Bytes make_amd_container(const std::vector<std::pair<std::uint32_t, std::uint16_t>>& table,
                         const std::vector<Bytes>& patches);

Bytes make_crafted(Crafted shape, std::size_t headers, std::size_t entries) {
    if (shape == Crafted::amd_shared_table) {
        std::vector<std::pair<std::uint32_t, std::uint16_t>> table;
        for (std::size_t k = 0; k < entries; ++k) {
            table.emplace_back(static_cast<std::uint32_t>(0x00100F00 + k), std::uint16_t{0x1022});
        }
        const Bytes patch = make_amd_patch({.patch_id = 0x01000083, .format = 0x8001, .len = 0, .equiv_id = 0x1022,
                                            .size = 64, .checksum = false});
        return make_amd_container(table, std::vector<Bytes>(headers, patch));
    }
    const std::uint32_t date = 0x07132016;
    // Where the first table starts: after every header and some data of the
    // last (a data size of 0 would mean an old-style update).
    const std::size_t table = 48 * headers + 16;
    const std::size_t stagger = shape == Crafted::staggered_tables ? 4 : 0;
    const std::size_t count_bytes = stagger * headers;
    Bytes b(table + count_bytes + 20 + 12 * entries, 0);
    // Only this sum of an entry's three words matters to the checks; with
    // the revisions below every header asks for it.
    const std::uint32_t entry_value = 0u - (2 + 0x1000 + date);
    for (std::size_t i = 0; i < headers; ++i) {
        const std::size_t at = 48 * i;
        const auto data = static_cast<std::uint32_t>(table + stagger * i - at - 48);
        const auto total = static_cast<std::uint32_t>(48 + data + 20 + 12 * entries);
        const std::uint32_t revision = 0x1000 - data - total;
        Bytes h = make_header(revision, date, 0x000906A0, 0x01, data, total);
        if (shape == Crafted::shared_table_intact) {
            put_le32(h, 16, 0u - word_sum(h, 0, 48));
        }
        std::copy(h.begin(), h.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
        if (stagger != 0) {
            put_le32(b, table + stagger * i, static_cast<std::uint32_t>(entries));
        }
    }
    if (stagger == 0) {
        put_le32(b, table, static_cast<std::uint32_t>(entries));
    }
    const std::size_t first = table + (stagger == 0 ? 20 : count_bytes);
    for (std::size_t k = 0; first + 12 * k + 12 <= b.size(); ++k) {
        const std::size_t e = first + 12 * k;
        // Family 0xF with an extended family, model and stepping from k: a
        // file name of its own for each of the first million entries.
        const auto signature = static_cast<std::uint32_t>(0xF00 | (k & 0xF) | ((k >> 4) & 0xF) << 4 |
                                                          ((k >> 8) & 0xF) << 16 | ((k >> 12) & 0xFF) << 20);
        put_le32(b, e, signature);
        put_le32(b, e + 4, 0x01);
        put_le32(b, e + 8, entry_value - signature - 0x01);
    }
    if (shape == Crafted::shared_table_intact) {
        put_le32(b, table + 4, 0u - word_sum(b, table, b.size()));
    }
    return b;
}

void seal_update(Bytes& b, std::size_t at) {
    auto get = [&](std::size_t off) {
        return static_cast<std::uint32_t>(b[at + off] | b[at + off + 1] << 8 | b[at + off + 2] << 16) +
               (static_cast<std::uint32_t>(b[at + off + 3]) << 24);
    };
    const std::size_t data = get(28) == 0 ? 2000 : get(28);
    const std::size_t total = get(28) == 0 ? 2048 : get(32);
    put_le32(b, at + 16, 0);
    put_le32(b, at + 16, 0u - word_sum(b, at, at + 48 + data));
    if (total >= 48 + data + 20) {
        const std::size_t t = at + 48 + data;
        put_le32(b, t + 4, 0);
        put_le32(b, t + 4, 0u - word_sum(b, t, at + total));
    }
}

std::string key_of(const Bytes& u, std::size_t o) {
    auto f = [&](std::size_t at) {
        return static_cast<unsigned>(u[o + at] | u[o + at + 1] << 8 | u[o + at + 2] << 16) +
               (static_cast<unsigned>(u[o + at + 3]) << 24);
    };
    char key[49];
    std::snprintf(key, sizeof key, "%08X%08X%08X%08X%08X%08X", f(12), f(24), f(4), f(8), f(32), f(16));
    return key;
}

void put_fit(Bytes& image, std::size_t offset, const std::vector<std::uint64_t>& addresses) {
    const char signature[] = "_FIT_   ";
    for (std::size_t i = 0; i < 8; ++i) {
        image[offset + i] = static_cast<std::uint8_t>(signature[i]);
    }
    const std::size_t entries = addresses.size() + 2;
    put_le32(image, offset + 8, static_cast<std::uint32_t>(entries));  // 24-bit count, 0 reserved
    image[offset + 12] = 0x00;
    image[offset + 13] = 0x01;  // version 1.00
    image[offset + 14] = 0x00;  // type 0: header
    image[offset + 15] = 0x00;
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        const std::size_t e = offset + 16 * (i + 1);
        put_le64(image, e, addresses[i]);
        put_le64(image, e + 8, 0);
        image[e + 13] = 0x01;
        image[e + 14] = 0x01;  // type 1: microcode update
    }
    const std::size_t last = offset + 16 * (addresses.size() + 1);
    put_le64(image, last, 0xFFFFFFC0);
    put_le64(image, last + 8, 0);
    image[last + 14] = 0x7F;  // type 0x7F: unused entry
}

void put_fit_pointer(Bytes& image, std::uint64_t address) { put_le64(image, image.size() - 0x40, address); }

std::uint64_t address_of(const Bytes& image, std::size_t offset) {
    return (std::uint64_t{1} << 32) - image.size() + offset;
}

Bytes mpdt_record(bool boot) {
    Bytes r = {'M', 'P', 'D', 'T'};
    put_le32(r, 4, boot ? 0x100 : 0);
    put_le32(r, 8, 0x10);
    put_le32(r, 12, 0x100000);
    return r;
}

bool write_file(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(f);
}

bool write_file(const std::string& path, const Bytes& bytes) {
    return write_file(path, std::string(bytes.begin(), bytes.end()));
}

const char* output_dir(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argc > 0 ? argv[0] : "generator");
        return nullptr;
    }
    return argv[1];
}

}  // namespace synth

namespace synth {

Bytes make_amd_patch(const AmdPatch& p) {
    Bytes b(p.size, 0);
    put_le32(b, 0, p.date);
    put_le32(b, 4, p.patch_id);
    b[8] = static_cast<std::uint8_t>(p.format);
    b[9] = static_cast<std::uint8_t>(p.format >> 8);
    b[0xA] = p.len;
    b[0xB] = p.init;
    b[0x18] = static_cast<std::uint8_t>(p.equiv_id);
    b[0x19] = static_cast<std::uint8_t>(p.equiv_id >> 8);
    const std::uint8_t filler = p.format == 0x8000 || p.format == 0x8001 || p.format == 0x8003 ? 0xAA : 0x00;
    b[0x1D] = b[0x1E] = b[0x1F] = filler;
    for (std::size_t i = 64; i < b.size(); ++i) {
        b[i] = static_cast<std::uint8_t>(0x31 + (i * 13) % 0xC0);
    }
    put_le32(b, 0xC, p.checksum ? word_sum(b, 64, b.size()) : p.checksum_field);
    return b;
}

Bytes make_amd_container(const std::vector<std::pair<std::uint32_t, std::uint16_t>>& table,
                         const std::vector<Bytes>& patches) {
    Bytes b = {'D', 'M', 'A', 0};
    put_le32(b, 4, 0);
    put_le32(b, 8, static_cast<std::uint32_t>((table.size() + 1) * 16));
    for (const auto& [cpuid, equiv] : table) {
        const std::size_t e = b.size();
        b.resize(e + 16, 0);
        put_le32(b, e, cpuid);
        put_le32(b, e + 12, equiv);
    }
    b.resize(b.size() + 16, 0);
    for (const Bytes& p : patches) {
        const std::size_t s = b.size();
        put_le32(b, s, 1);
        put_le32(b, s + 4, static_cast<std::uint32_t>(p.size()));
        append(b, p);
    }
    return b;
}

}  // namespace synth
