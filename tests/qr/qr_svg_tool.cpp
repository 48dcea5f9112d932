// Test-only tool: reads a text from standard input and prints what the encoder makes of it,
// so that independent programs (an SVG renderer, a QR decoder, another encoder) can check it.
//
//   qr_svg_tool          the SVG document
//   qr_svg_tool --info   "version size mask score0 ... score7", then the symbol, one row of
//                        0/1 characters per line
// Exit code 1 when the text cannot be encoded.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qr/qr.h"
#include "qr/qr_svg.h"

namespace {

std::string read_stdin() {
    std::string text;
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, stdin)) > 0) text.append(chunk, n);
    return text;
}

int print_info(const std::string& text) {
    uint8_t matrix[QR_MAX_MODULES];
    int size = 0, mask = 0, scores[8];
    int version = qr_encode_text(text.data(), text.size(), matrix, &size, &mask);
    if (version < 0 || qr_choose_mask(text.data(), text.size(), scores) != mask) return 1;
    std::printf("%d %d %d", version, size, mask);
    for (int s : scores) std::printf(" %d", s);
    std::printf("\n");
    for (int r = 0; r < size; r++) {
        for (int c = 0; c < size; c++) std::putchar(matrix[r * size + c] ? '1' : '0');
        std::putchar('\n');
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    qr_init_tables();
    std::string text = read_stdin();
    if (argc > 1 && std::strcmp(argv[1], "--info") == 0) return print_info(text);
    char* svg = qr_render_svg(text.data(), text.size());
    if (!svg) return 1;
    std::fputs(svg, stdout);
    std::free(svg);
    return 0;
}
