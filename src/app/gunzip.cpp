#include "app/gunzip.h"

#include <algorithm>
#include <climits>

#if defined(TARNWICK_ZLIB)
#include <zlib.h>
#endif

namespace tarnwick {

bool is_gzip(Image bytes) { return bytes.size() >= 2 && bytes[0] == 0x1F && bytes[1] == 0x8B; }

#if defined(TARNWICK_ZLIB)

bool gzip_supported() { return true; }

Gunzipped gunzip(Image compressed, std::size_t most) {
    Gunzipped g;
    z_stream z{};
    // 16 + the largest window: a gzip wrapper, not zlib's own.
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) {
        g.outcome = Gunzipped::Outcome::damaged;
        g.why = "zlib could not start";
        return g;
    }
    std::size_t at = 0;
    std::uint8_t chunk[64 * 1024];
    while (true) {
        if (z.avail_in == 0 && at < compressed.size()) {
            const std::size_t n = std::min<std::size_t>(compressed.size() - at, UINT_MAX);
            z.next_in = const_cast<Bytef*>(compressed.data() + at);
            z.avail_in = static_cast<uInt>(n);
            at += n;
        }
        z.next_out = chunk;
        z.avail_out = sizeof chunk;
        const int status = inflate(&z, Z_NO_FLUSH);
        const std::size_t produced = sizeof chunk - z.avail_out;
        if (produced > most - g.bytes.size()) {
            g.outcome = Gunzipped::Outcome::too_large;
            break;
        }
        g.bytes.insert(g.bytes.end(), chunk, chunk + produced);
        if (status == Z_STREAM_END) {
            // Another member may follow, as `cat a.gz b.gz` makes.
            const std::size_t left = z.avail_in + (compressed.size() - at);
            const Image rest = compressed.subspan(compressed.size() - left);
            if (rest.empty()) {
                break;
            }
            if (!is_gzip(rest)) {
                g.outcome = Gunzipped::Outcome::damaged;
                g.why = "bytes after its end that are no gzip member";
                break;
            }
            inflateReset(&z);
            continue;
        }
        // Z_BUF_ERROR with nothing produced: no input left to go on with.
        if (status != Z_OK && !(status == Z_BUF_ERROR && produced != 0)) {
            g.outcome = Gunzipped::Outcome::damaged;
            g.why = status == Z_BUF_ERROR ? "it ends before its data does" : z.msg != nullptr ? z.msg : "zlib refused it";
            break;
        }
    }
    inflateEnd(&z);
    if (g.outcome != Gunzipped::Outcome::done) {
        g.bytes.clear();
    }
    return g;
}

#else

bool gzip_supported() { return false; }

Gunzipped gunzip(Image, std::size_t) {
    Gunzipped g;
    g.outcome = Gunzipped::Outcome::unsupported;
    return g;
}

#endif

}  // namespace tarnwick
