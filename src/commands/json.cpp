#include <cctype>
#include <cstdio>
#include <ostream>
#include <string>

#include "commands/commands.h"
#include "commands/json_writer.h"
#include "survey/image_scan.h"
#include "amd/amd.h"
#include "bootguard/boot_guard.h"
#include "flash/fit.h"
#include "intel/update_check.h"

namespace tarnwick {

namespace {

// The version of the JSON format, not of the tool: it changes only when a
// line's meaning does, so that scripts over corpora made by different
// releases can tell.
constexpr const char* json_format_version = "0.5.0";

// A table's status word as a JSON value: "BAD EXT SIG" is "bad_ext_sig".
std::string json_word(std::string_view word) {
    std::string w(word);
    for (char& c : w) {
        c = c == ' ' ? '_' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return w;
}

void begin(JsonWriter& j, const char* path) {
    j.begin_object().key("tarnwick").string(json_format_version).key("file").string(path);
}

void write_update(JsonWriter& j, Image image, std::size_t no, const FoundUpdate& u) {
    const MicrocodeUpdateHeader& h = u.header;
    char date[16];
    std::snprintf(date, sizeof date, "%02X%02X-%02X-%02X", h.century(), h.year(), h.month(), h.day());
    char key[64];
    const MicrocodeKey k = microcode_key(h);
    std::snprintf(key, sizeof key, "%08X%08X%08X%08X%08X%08X", k[0], k[1], k[2], k[3], k[4], k[5]);
    j.begin_object()
        .key("no").number(no)
        .key("offset").number(u.offset)
        .key("cpuid").hex(h.processor_signature)
        .key("platform").hex(h.processor_flags)
        .key("revision").hex(h.update_revision)
        .key("date").string(date)
        .key("data_size").number(h.data_size)
        .key("total_size").number(h.effective_total_size())
        .key("key").string(key)
        .key("status").string(json_word(status_word(u.check.status)));
    // A table that an earlier update lists is named by that update's number.
    if (u.shown == TableShown::same_as || u.shown == TableShown::overlaps) {
        j.key(u.shown == TableShown::same_as ? "extended_as" : "extended_overlaps").number(u.table_row + 1);
        j.end_object();
        return;
    }
    j.key("extended").begin_array();
    if (u.shown == TableShown::listed) {
        for (std::size_t i = 0; i < u.check.extended->count; ++i) {
            const ExtendedSignature e = extended_signature(image, *u.check.extended, i, u.header);
            j.begin_object()
                .key("cpuid").hex(e.signature)
                .key("platform").hex(e.flags)
                .key("status").string(e.ok ? "ok" : "bad_ext_sig")
                .end_object();
        }
    }
    j.end_array().end_object();
}

void write_amd(JsonWriter& j, const AmdPatch& p) {
    const AmdPatchHeader& h = p.header;
    char date[16];
    std::snprintf(date, sizeof date, "20%02X-%02X-%02X", h.year(), h.month(), h.day());
    j.begin_object()
        .key("offset").number(p.offset)
        .key("kind").string(p.bare ? "bare" : "container")
        .key("patch_id").hex(h.patch_id)
        .key("equiv_id").hex(h.equiv_id, 4);
    if (p.cpuids_as) {
        j.key("cpuids_as").number(*p.cpuids_as + 1);
    } else {
        j.key("cpuids").begin_array();
        for (std::uint32_t c : p.cpuids) {
            j.hex(c);
        }
        j.end_array();
    }
    j.key("date").string(date)
        .key("format").hex(h.format, 4)
        .key("size").number(p.size)
        .key("status").string(json_word(amd_status_word(p.status)))
        .key("min_revision");
    if (p.min_revision) {
        j.hex(*p.min_revision);
    } else {
        j.null();
    }
    j.end_object();
}

void write_fit(JsonWriter& j, const FitCheck& c, const std::optional<std::string>& guard_error) {
    j.begin_object()
        .key("pointer").hex(c.pointer.pointer)
        .key("offset").number(c.pointer.offset)
        .key("version").hex(c.version, 4)
        .key("checksum_valid").boolean(c.checksum_valid)
        .key("entries").begin_array();
    for (const FitEntry& e : c.entries) {
        j.begin_object()
            .key("type").number(e.type)
            .key("address").hex(e.address)
            .key("size").number(e.size)
            .key("version").hex(e.version, 4)
            .end_object();
    }
    j.end_array().key("microcode").begin_array();
    for (const FitMicrocode& m : c.microcode) {
        j.begin_object().key("address").hex(m.address).key("offset");
        if (m.offset) {
            j.number(*m.offset);
        } else {
            j.null();
        }
        const bool update = m.slot == FitMicrocode::Slot::update;
        j.key("status").string(json_word(update ? status_word(m.status) : slot_word(m.slot)));
        if (update) {
            j.key("cpuid").hex(m.header.processor_signature).key("revision").hex(m.header.update_revision);
        } else {
            j.key("cpuid").null().key("revision").null();
        }
        j.end_object();
    }
    j.end_array().key("errors").begin_array();
    for (const std::string& e : c.errors) {
        j.string(e);
    }
    if (guard_error) {
        j.string(*guard_error);
    }
    j.end_array().key("warnings").begin_array();
    for (const std::string& w : c.warnings) {
        j.string(w);
    }
    j.end_array().key("other_signatures").begin_array();
    for (std::size_t at : c.other_signatures) {
        j.number(at);
    }
    j.end_array().end_object();
}

void write_boot_guard(JsonWriter& j, const BootGuard& g) {
    j.begin_object().key("state").string(manifest_state_word(g.state)).key("key_manifest");
    if (const Manifest* km = g.first_present(fit_type_key_manifest)) {
        j.begin_object()
            .key("offset").number(*km->offset)
            .key("version").number(km->version)
            .key("svn").number(km->svn)
            .key("kmid").number(km->kmid)
            .end_object();
    } else {
        j.null();
    }
    j.key("boot_policy");
    if (const Manifest* bpm = g.first_present(fit_type_boot_policy)) {
        j.begin_object()
            .key("offset").number(*bpm->offset)
            .key("version").number(bpm->version)
            .key("svn").number(bpm->svn)
            .key("acm_svn").number(bpm->acm_svn)
            .end_object();
    } else {
        j.null();
    }
    j.key("ibb").begin_array();
    for (const IbbSegment& s : g.ibb()) {
        j.begin_object().key("base").number(s.base).key("size").number(s.size).key("hashed").boolean(s.hashed).end_object();
    }
    j.end_array().key("vendor").begin_array();
    for (const VendorRange& v : g.vendor) {
        j.begin_object().key("offset").number(v.file_offset).key("base").number(v.base).key("size").number(v.size).end_object();
    }
    j.end_array();
    if (g.state == ManifestState::malformed) {
        j.key("why").string(g.why);
    }
    j.end_object();
}

}  // namespace

std::string json_line(const char* path, Image image) {
    JsonWriter j;
    begin(j, path);
    j.key("size").number(image.size());

    // Both vendors' walks ride on the image's one pass.
    UpdateFinder finder(image);
    AmdScanner amd_scanner(image);
    const ImageScan scan = scan_image(image, finder, amd_scanner);
    const FoundUpdates found = finder.finish();
    const AmdPatches amd = amd_scanner.finish();
    j.key("updates").begin_array();
    for (std::size_t i = 0; i < found.updates.size(); ++i) {
        write_update(j, image, i + 1, found.updates[i]);
    }
    j.end_array();

    j.key("amd").begin_array();
    for (const AmdPatch& p : amd.patches) {
        write_amd(j, p);
    }
    j.end_array();

    const char* mpdt = "none";
    switch (scan.mpdt) {
        case MpdtRecord::boot: mpdt = "boot"; break;
        case MpdtRecord::noboot: mpdt = "noboot"; break;
        case MpdtRecord::none: break;
    }
    j.key("mpdt").string(mpdt);

    j.key("checksum").begin_object().key("sum").hex(scan.sum).key("ok").boolean(scan.sum == 0).end_object();

    const FitCheck fit = check_fit(image, scan.fit_signatures);
    const std::optional<std::size_t> listed = fit_listing_offset(fit);
    j.key("fit_listing");
    if (listed) {
        j.begin_object().key("offset").number(*listed).key("microcode").begin_array();
        for_each_listed_microcode_entry(image, *listed, [&](std::uint32_t address) { j.hex(address); });
        j.end_array().end_object();
    } else {
        j.null();
    }
    const BootGuard guard = read_boot_guard(image, fit);
    j.key("fit");
    if (fit.pointer.outcome == FitPointer::Outcome::found) {
        write_fit(j, fit, boot_guard_error(guard));
    } else {
        j.null();
    }
    j.key("boot_guard");
    if (guard.named()) {
        write_boot_guard(j, guard);
    } else {
        j.null();
    }
    j.end_object();
    return j.text() + '\n';
}

std::string json_error_line(const char* path, std::string_view message) {
    JsonWriter j;
    begin(j, path);
    j.key("error").string(message).end_object();
    return j.text() + '\n';
}

}  // namespace tarnwick
