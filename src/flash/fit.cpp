#include "flash/fit.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "search/checksum.h"

namespace tarnwick {

namespace {

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
std::string format(const char* fmt, ...) {
    char text[256];
    std::va_list args;
    va_start(args, fmt);
    const int n = std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return std::string(text, n < 0 ? 0 : static_cast<std::size_t>(n) < sizeof text ? static_cast<std::size_t>(n) : sizeof text - 1);
}

unsigned long long ull(std::uint64_t v) { return static_cast<unsigned long long>(v); }

bool is_signature_at(Image image, std::size_t off) {
    return fits(image, off, fit_signature.size()) &&
           std::equal(fit_signature.begin(), fit_signature.end(), image.begin() + static_cast<std::ptrdiff_t>(off));
}

}  // namespace

std::optional<std::size_t> offset_of_address(std::uint64_t address, std::size_t size) {
    if (size > four_gib || address >= four_gib || address < four_gib - size) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(address - (four_gib - size));
}

FitPointer read_fit_pointer(Image image) {
    FitPointer p;
    if (image.size() < fit_pointer_from_end) {
        return p;
    }
    p.pointer = read_le64(image, image.size() - fit_pointer_from_end);
    const std::optional<std::size_t> offset = offset_of_address(p.pointer, image.size());
    if (!offset) {
        p.outcome = FitPointer::Outcome::outside;
        return p;
    }
    p.offset = *offset;
    p.outcome = is_signature_at(image, *offset) ? FitPointer::Outcome::found : FitPointer::Outcome::not_a_fit;
    return p;
}

std::optional<std::size_t> fit_listing_offset(Image image) {
    const FitPointer p = read_fit_pointer(image);
    if (p.outcome == FitPointer::Outcome::found) {
        return p.offset;
    }
    return find_pattern(image, 0, fit_signature);
}

std::optional<std::size_t> fit_listing_offset(const FitCheck& c) {
    if (c.pointer.outcome == FitPointer::Outcome::found) {
        return c.pointer.offset;
    }
    // Without a FIT at the pointer, every signature is another one.
    if (!c.other_signatures.empty()) {
        return c.other_signatures.front();
    }
    return std::nullopt;
}

std::string_view fit_type_name(std::uint8_t type) {
    switch (type) {
        case 0x00: return "header";
        case 0x01: return "microcode";
        case 0x02: return "startup ACM";
        case 0x03: return "diagnostic ACM";
        case 0x07: return "BIOS startup module";
        case 0x08: return "TPM policy";
        case 0x09: return "BIOS policy";
        case 0x0A: return "TXT policy";
        case 0x0B: return "key manifest";
        case 0x0C: return "boot policy manifest";
        case 0x10: return "CSE secure boot";
        case 0x7F: return "unused";
        default: return {};
    }
}

std::string_view slot_word(FitMicrocode::Slot slot) {
    switch (slot) {
        case FitMicrocode::Slot::outside: return "OUTSIDE";
        case FitMicrocode::Slot::empty: return "EMPTY";
        case FitMicrocode::Slot::not_an_update: return "NOT AN UPDATE";
        case FitMicrocode::Slot::update: return "UPDATE";
    }
    return "?";
}

namespace {

constexpr std::size_t header_bytes = 48;
constexpr std::uint8_t unused_type = 0x7F;

FitMicrocode look_at_microcode(Image image, UpdateChecker& checker, std::size_t index, std::uint64_t address) {
    FitMicrocode m{index, address, offset_of_address(address, image.size()), FitMicrocode::Slot::outside};
    if (!m.offset || !fits(image, *m.offset, header_bytes)) {
        m.slot = FitMicrocode::Slot::outside;
        return m;
    }
    const Image at = image.subspan(*m.offset, header_bytes);
    bool all_ff = true;
    for (std::uint8_t b : at) {
        all_ff = all_ff && b == 0xFF;
    }
    if (all_ff) {
        m.slot = FitMicrocode::Slot::empty;
        return m;
    }
    const std::optional<MicrocodeUpdateHeader> h = view_header(image, *m.offset);
    if (!h || !is_qualifying_header(*h)) {
        m.slot = FitMicrocode::Slot::not_an_update;
        return m;
    }
    m.slot = FitMicrocode::Slot::update;
    m.header = *h;
    // One checker for the table: many entries may name one large update.
    m.status = checker.check(*m.offset).status;
    return m;
}

}  // namespace

FitCheck check_fit(Image image) {
    std::vector<std::size_t> signatures;
    for_each_match(image, fit_signature, [&](std::size_t at) { signatures.push_back(at); });
    return check_fit(image, signatures);
}

FitCheck check_fit(Image image, std::span<const std::size_t> signatures) {
    FitCheck c;
    c.pointer = read_fit_pointer(image);
    const bool found = c.pointer.outcome == FitPointer::Outcome::found;
    for (std::size_t at : signatures) {
        if (!found || at != c.pointer.offset) {
            c.other_signatures.push_back(at);
        }
    }
    for (std::size_t at : c.other_signatures) {
        c.warnings.push_back(format("a _FIT_ signature at offset 0x%08llX that the pointer does not name: tools "
                                    "that take the first signature may read that table instead",
                                    ull(at)));
    }
    if (!found) {
        return c;
    }

    const std::size_t base = c.pointer.offset;
    const Image fit = image.subspan(base);
    if (fit.size() < fit_entry_size) {
        c.errors.push_back(format("the table at offset 0x%08llX runs %llu bytes past the end of the file", ull(base),
                                  ull(fit_entry_size - fit.size())));
        return c;
    }
    c.count = read_le32(fit, 8) & 0xFFFFFF;
    c.version = static_cast<std::uint16_t>(fit[12] | fit[13] << 8);
    const std::uint8_t header_type = fit[14];
    c.checksum_valid = (header_type & 0x80) != 0;

    if (c.count == 0) {
        c.errors.push_back(format("the header entry at offset 0x%08llX counts 0 entries; it counts itself at least",
                                  ull(base)));
    }
    // Every entry that lies whole in the file is listed, even past a count
    // that runs off its end; a count of 0 still has its header entry.
    const std::size_t whole_entries = fit.size() / fit_entry_size;
    const std::size_t counted = c.count == 0 ? 1 : c.count;
    const bool table_fits = counted <= whole_entries;
    if (!table_fits) {
        c.errors.push_back(format("the table at offset 0x%08llX has %u entries and runs %llu bytes past the end of the "
                                  "file",
                                  ull(base), static_cast<unsigned>(counted),
                                  ull(counted * fit_entry_size - fit.size())));
    }
    if (c.version != 0x0100) {
        c.errors.push_back(format("the header entry's version is 0x%04X, not 0x0100", c.version));
    }
    if ((header_type & 0x7F) != 0) {
        c.errors.push_back(format("the header entry's type is 0x%02X, not 0", header_type & 0x7F));
    }
    if (c.checksum_valid && table_fits) {
        const unsigned sum = sum_bytes(fit.subspan(0, counted * fit_entry_size));
        if (sum != 0) {
            c.errors.push_back(format("the table's checksum is wrong: its %u entries sum to 0x%02X, not 0",
                                      static_cast<unsigned>(counted), sum));
        }
    }

    const std::size_t listed = table_fits ? counted : whole_entries;
    c.entries.reserve(listed);
    std::optional<std::size_t> last_ordered;  // the last entry after the header that is not 0x7F
    UpdateChecker checker(image);
    for (std::size_t i = 0; i < listed; ++i) {
        const std::size_t e = i * fit_entry_size;
        const FitEntry entry{read_le64(fit, e), read_le32(fit, e + 8) & 0xFFFFFF,
                             static_cast<std::uint16_t>(fit[e + 12] | fit[e + 13] << 8),
                             static_cast<std::uint8_t>(fit[e + 14] & 0x7F), (fit[e + 14] & 0x80) != 0};
        c.entries.push_back(entry);
        if (i == 0) {
            // The header's address field is the signature, and its type is
            // checked above.
            continue;
        }
        if (entry.type != unused_type && last_ordered) {
            const std::uint8_t before = c.entries[*last_ordered].type;
            if (entry.type < before) {
                c.errors.push_back(format("entry %u (type 0x%02X) follows entry %u of type 0x%02X: types must not "
                                          "decrease",
                                          static_cast<unsigned>(i), entry.type, static_cast<unsigned>(*last_ordered),
                                          before));
            }
        }
        if (entry.type != unused_type) {
            last_ordered = i;
        }
        if (entry.type != fit_type_microcode) {
            continue;
        }
        const FitMicrocode m = look_at_microcode(image, checker, i, entry.address);
        c.microcode.push_back(m);
        switch (m.slot) {
            case FitMicrocode::Slot::outside:
                c.errors.push_back(format("microcode entry %u: address 0x%08llX maps outside the file",
                                          static_cast<unsigned>(i), ull(m.address)));
                break;
            case FitMicrocode::Slot::empty:
                c.warnings.push_back(format("microcode entry %u: offset 0x%08llX is an empty slot (all 0xFF)",
                                            static_cast<unsigned>(i), ull(*m.offset)));
                break;
            case FitMicrocode::Slot::not_an_update:
                c.errors.push_back(format("microcode entry %u: offset 0x%08llX holds no microcode update",
                                          static_cast<unsigned>(i), ull(*m.offset)));
                break;
            case FitMicrocode::Slot::update:
                if (m.status != UpdateStatus::ok) {
                    c.errors.push_back(format("microcode entry %u: the update at offset 0x%08llX is damaged (%s)",
                                              static_cast<unsigned>(i), ull(*m.offset),
                                              std::string(status_word(m.status)).c_str()));
                }
                break;
        }
    }
    return c;
}

}  // namespace tarnwick
