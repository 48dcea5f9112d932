// QR benchmark: encoding a 23-byte address and drawing its SVG, in-process, against
// libqrencode encoding the same bytes at level M (8-bit mode) and writing the same document.
// Rounds alternate between the two so that machine noise hits both alike; each round times
// a batch of symbols and the figures are per symbol (minimum and median over the rounds).
//
//   qr_bench [symbols-per-round] [rounds]     defaults: 10000 and 7
#include <qrencode.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/strbuf.h"
#include "qr/qr.h"
#include "qr/qr_svg.h"

namespace {

const char kText[] = "http://192.168.1.5:8620";
const int kTextLength = sizeof kText - 1;

// The same one-line document as qr_render_svg, written the plain way: one formatted append
// per run of dark modules. libqrencode's matrix keeps the module colour in bit 0.
char* peer_svg(const QRcode* code) {
    int size = code->width, width = 8 * size + 64;
    StrBufOwner sb;
    sb_appendf(sb.get(),
               "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" "
               "viewBox=\"0 0 %d %d\" shape-rendering=\"crispEdges\">",
               width, width, width, width);
    sb_appendf(sb.get(), "<rect width=\"100%%\" height=\"100%%\" fill=\"%s\"/>", "#ffffff");
    sb_appendf(sb.get(), "<path fill=\"%s\" d=\"", "#0f172a");
    for (int r = 0; r < size; r++) {
        const unsigned char* row = code->data + r * size;
        for (int c = 0; c < size;) {
            if (!(row[c] & 1)) {
                c++;
                continue;
            }
            int a = c;
            while (c < size && (row[c] & 1)) c++;
            int n = c - a;
            sb_appendf(sb.get(), "M%d %dh%dv%dh-%dz", 8 * a + 32, 8 * r + 32, 8 * n, 8, 8 * n);
        }
    }
    sb_append_str(sb.get(), "\"/></svg>");
    return sb_detach(sb.get());
}

using Clock = std::chrono::steady_clock;

// Nanoseconds per symbol for one batch; sink keeps the work from being optimised away.
template <typename Fn>
double time_batch(int symbols, Fn fn, size_t* sink) {
    Clock::time_point start = Clock::now();
    for (int i = 0; i < symbols; i++) *sink += fn();
    std::chrono::duration<double, std::nano> spent = Clock::now() - start;
    return spent.count() / symbols;
}

size_t ours_svg() {
    char* svg = qr_render_svg(kText, kTextLength);
    size_t n = svg ? std::strlen(svg) : 0;
    std::free(svg);
    return n;
}

size_t ours_encode() {
    uint8_t matrix[QR_MAX_MODULES];
    int size = 0;
    qr_encode_text(kText, kTextLength, matrix, &size, nullptr);
    return static_cast<size_t>(size) + matrix[size * 8];
}

size_t peer_svg_run() {
    QRcode* code = QRcode_encodeData(kTextLength, reinterpret_cast<const unsigned char*>(kText), 0,
                                     QR_ECLEVEL_M);
    if (!code) return 0;
    char* svg = peer_svg(code);
    size_t n = svg ? std::strlen(svg) : 0;
    std::free(svg);
    QRcode_free(code);
    return n;
}

size_t peer_encode() {
    QRcode* code = QRcode_encodeData(kTextLength, reinterpret_cast<const unsigned char*>(kText), 0,
                                     QR_ECLEVEL_M);
    if (!code) return 0;
    size_t n = static_cast<size_t>(code->width) + code->data[code->width * 8];
    QRcode_free(code);
    return n;
}

struct Figure {
    const char* name;
    size_t (*fn)();
    std::vector<double> ns;
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    int symbols = argc > 1 ? std::atoi(argv[1]) : 10000;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 7;
    if (symbols < 1 || rounds < 1) {
        std::fprintf(stderr, "usage: qr_bench [symbols-per-round] [rounds]\n");
        return 2;
    }
    qr_init_tables();

    // Both must draw a version 2 symbol of this text, or the comparison means nothing.
    QRcode* check = QRcode_encodeData(kTextLength, reinterpret_cast<const unsigned char*>(kText), 0,
                                      QR_ECLEVEL_M);
    if (!check || check->version != 2 || qr_pick_version(kTextLength) != 2) {
        std::fprintf(stderr, "unexpected version\n");
        return 1;
    }
    QRcode_free(check);

    Figure figures[] = {{"ours: encode + SVG", ours_svg, {}},
                        {"libqrencode: encode + SVG", peer_svg_run, {}},
                        {"ours: encode only", ours_encode, {}},
                        {"libqrencode: encode only", peer_encode, {}}};
    size_t sink = 0;
    for (Figure& f : figures) time_batch(symbols / 10 + 1, f.fn, &sink);  // warm-up
    for (int r = 0; r < rounds; r++) {
        for (Figure& f : figures) f.ns.push_back(time_batch(symbols, f.fn, &sink));
    }

    std::printf("QR of \"%s\" (%d bytes), %d symbols x %d rounds, per symbol:\n", kText,
                kTextLength, symbols, rounds);
    for (const Figure& f : figures) {
        std::printf("  %-28s min %8.2f us   median %8.2f us\n", f.name,
                    *std::min_element(f.ns.begin(), f.ns.end()) / 1000, median(f.ns) / 1000);
    }
    std::printf("  ratio libqrencode/ours, encode + SVG (median): %.2f\n",
                median(figures[1].ns) / median(figures[0].ns));
    std::printf("  ratio libqrencode/ours, encode only (median):  %.2f\n",
                median(figures[3].ns) / median(figures[2].ns));
    return sink == 0;
}
