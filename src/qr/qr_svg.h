#pragma once
// The QR code as an SVG image: 8 x 8 units per module, a quiet zone of 4 modules, white
// background and one path whose subpaths are the horizontal runs of dark modules.
#include <cstdint>

// Side of the image in user units for a symbol of `size` modules: 8 x size + 64.
constexpr int qr_svg_width(int size) {
    return 8 * size + 64;
}

// Encodes the text's bytes (byte mode, level M) and draws the symbol as a one-line SVG
// document. Returns newly allocated NUL-terminated text that the caller frees with free(), or
// null when the text cannot be encoded (longer than 213 bytes) or memory runs out.
char* qr_render_svg(const char* text, uint64_t length);
