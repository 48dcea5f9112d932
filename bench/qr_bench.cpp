// QR benchmark: encoding a 23-byte address and drawing its SVG, in-process, against
// libqrencode encoding the same bytes at level M (8-bit mode) and writing the same document.
// Rounds alternate between the two so that machine noise hits both alike; each round times
// a batch of symbols and the figures are per symbol (min/median/max over the rounds), with the
// ratio ours/libqrencode of each round and the median of those ratios. Target: encode + SVG
// faster per symbol, a median ratio of at most 1.0.
//
// On a busy machine a ratio measures the scheduler, so there is no verdict, only figures, when
// the 1-minute load average is above 1.0 at start or libqrencode's own rounds swing by more
// than 25% ((max - min) / median): it does the same work every round, so such a swing is noise
// from elsewhere. The same limits as bench/benchlib.py.
//
//   qr_bench [symbols-per-round] [rounds]     defaults: 10000 and 7 (at least 5)
#include <qrencode.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/strbuf.h"
#include "qr/qr.h"
#include "qr/qr_svg.h"

namespace {

const char kText[] = "http://192.168.1.5:8620";
const int kTextLength = sizeof kText - 1;

const int kMinRounds = 5;
const double kLoadLimit = 1.0;
const double kSwingLimit = 0.25;

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
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The 1-minute load average, or a negative value where the system does not tell.
double load_average() {
    double load[1];
    return getloadavg(load, 1) == 1 ? load[0] : -1;
}

std::string load_text(double load) {
    if (load < 0) return "unknown";
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", load);
    return text;
}

// Prints the per-round ratios ours/peer and their median; with a target, the verdict too, or
// why there is none.
void report_pair(const Figure& ours, const Figure& peer, double load_at_start, bool judged) {
    std::vector<double> ratios;
    for (size_t i = 0; i < ours.ns.size(); i++) ratios.push_back(ours.ns[i] / peer.ns[i]);
    std::printf("  ratio by round, %s over %s:", ours.name, peer.name);
    for (double r : ratios) std::printf(" %.2f", r);
    double ratio = median(ratios);
    std::printf("\n  median ratio %.2f", ratio);
    if (!judged) {
        std::printf("   (no target; shows where the time goes)\n");
        return;
    }
    std::string why;
    char text[160];
    if (load_at_start < 0) {
        why = "load average unknown at start";
    } else if (load_at_start > kLoadLimit) {
        std::snprintf(text, sizeof text,
                      "machine busy, load average %.2f at start (needs at most %.1f)",
                      load_at_start, kLoadLimit);
        why = text;
    }
    double lo = *std::min_element(peer.ns.begin(), peer.ns.end());
    double hi = *std::max_element(peer.ns.begin(), peer.ns.end());
    double swing = (hi - lo) / median(peer.ns);
    if (swing > kSwingLimit) {
        std::snprintf(text, sizeof text,
                      "%s's rounds swing %.0f%% (max-min over median; needs at most %.0f%%)",
                      peer.name, 100 * swing, 100 * kSwingLimit);
        why += (why.empty() ? "" : "; ") + std::string(text);
    }
    std::string verdict = !why.empty() ? "no verdict: " + why : ratio <= 1.0 ? "met" : "MISSED";
    std::printf("   target <= 1.00: %s\n", verdict.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    double load_at_start = load_average();
    int symbols = argc > 1 ? std::atoi(argv[1]) : 10000;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 7;
    if (symbols < 1 || rounds < 1) {
        std::fprintf(stderr, "usage: qr_bench [symbols-per-round] [rounds]\n");
        return 2;
    }
    std::printf("load average %s at start (a verdict needs at most %.1f)\n",
                load_text(load_at_start).c_str(), kLoadLimit);
    if (rounds < kMinRounds) {
        std::printf("(%d rounds asked for; running %d, the fewest that give a median worth "
                    "reading)\n",
                    rounds, kMinRounds);
        rounds = kMinRounds;
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

    // The names are short so that the ratio lines stay readable.
    Figure figures[] = {{"ours encode+SVG", ours_svg, {}},
                        {"libqrencode encode+SVG", peer_svg_run, {}},
                        {"ours encode", ours_encode, {}},
                        {"libqrencode encode", peer_encode, {}}};
    size_t sink = 0;
    for (Figure& f : figures) time_batch(symbols / 10 + 1, f.fn, &sink);  // warm-up
    for (int r = 0; r < rounds; r++) {
        for (Figure& f : figures) f.ns.push_back(time_batch(symbols, f.fn, &sink));
    }

    std::printf("QR of \"%s\" (%d bytes), %d symbols x %d rounds, per symbol:\n", kText,
                kTextLength, symbols, rounds);
    for (const Figure& f : figures) {
        std::printf("  %-24s min %8.2f us   median %8.2f us   max %8.2f us\n", f.name,
                    *std::min_element(f.ns.begin(), f.ns.end()) / 1000, median(f.ns) / 1000,
                    *std::max_element(f.ns.begin(), f.ns.end()) / 1000);
    }
    report_pair(figures[0], figures[1], load_at_start, true);
    report_pair(figures[2], figures[3], load_at_start, false);
    std::printf("  load average %s at start, %s at the end\n", load_text(load_at_start).c_str(),
                load_text(load_average()).c_str());
    return sink == 0;
}
