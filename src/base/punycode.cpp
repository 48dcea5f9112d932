#include "base/punycode.h"

#include <cstring>

namespace {

// The parameters RFC 3492 fixes for host names.
constexpr uint32_t BASE = 36;
constexpr uint32_t TMIN = 1;
constexpr uint32_t TMAX = 26;
constexpr uint32_t SKEW = 38;
constexpr uint32_t DAMP = 700;
constexpr uint32_t INITIAL_BIAS = 72;
constexpr uint32_t INITIAL_N = 0x80;
constexpr uint32_t MAX_CODE_POINT = 0x10FFFF;

// Appends one byte while room is left for the terminator.
struct Output {
    char* text;
    size_t size;
    size_t len;
    bool full;

    void put(char c) {
        if (len + 1 >= size) {
            full = true;
            return;
        }
        text[len++] = c;
        text[len] = '\0';
    }
};

char digit_char(uint32_t digit) {
    return static_cast<char>(digit < 26 ? 'a' + digit : '0' + (digit - 26));
}

uint32_t adapt(uint32_t delta, uint32_t points, bool first) {
    delta = first ? delta / DAMP : delta / 2;
    delta += delta / points;
    uint32_t k = 0;
    while (delta > ((BASE - TMIN) * TMAX) / 2) {
        delta /= BASE - TMIN;
        k += BASE;
    }
    return k + (BASE - TMIN + 1) * delta / (delta + SKEW);
}

// Writes q as a generalised variable-length integer under the current bias.
void put_variable_integer(Output* out, uint32_t q, uint32_t bias) {
    for (uint32_t k = BASE;; k += BASE) {
        uint32_t t = k <= bias ? TMIN : k >= bias + TMAX ? TMAX : k - bias;
        if (q < t) break;
        out->put(digit_char(t + (q - t) % (BASE - t)));
        q = (q - t) / (BASE - t);
    }
    out->put(digit_char(q));
}

// Decodes one UTF-8 character at p (at most left bytes): the code point and its length, or
// 0 for a malformed, overlong or surrogate sequence.
size_t decode_utf8(const unsigned char* p, size_t left, uint32_t* cp) {
    unsigned char lead = p[0];
    size_t len;
    uint32_t value, least;
    if (lead < 0x80) {
        *cp = lead;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        len = 2, value = lead & 0x1F, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        len = 3, value = lead & 0x0F, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        len = 4, value = lead & 0x07, least = 0x10000;
    } else {
        return 0;
    }
    if (len > left) return 0;
    for (size_t i = 1; i < len; i++) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        value = (value << 6) | (p[i] & 0x3F);
    }
    if (value < least || value > MAX_CODE_POINT || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    *cp = value;
    return len;
}

// Appends one label (len bytes of UTF-8 at label) in its ASCII form.
int put_label(Output* out, const char* label, size_t len) {
    uint32_t points[PUNYCODE_MAX_LABEL_CHARS];
    size_t count = 0;
    bool ascii = true;
    const auto* bytes = reinterpret_cast<const unsigned char*>(label);
    for (size_t i = 0; i < len;) {
        if (count == PUNYCODE_MAX_LABEL_CHARS) return -1;
        size_t step = decode_utf8(bytes + i, len - i, &points[count]);
        if (step == 0) return -1;
        if (points[count] >= 0x80) ascii = false;
        count++;
        i += step;
    }
    if (ascii) {
        for (size_t i = 0; i < len; i++) out->put(label[i]);
        return out->full ? -1 : 0;
    }
    char encoded[256];
    if (punycode_encode(points, count, encoded, sizeof encoded) != 0) return -1;
    for (const char* p = "xn--"; *p; p++) out->put(*p);
    for (const char* p = encoded; *p; p++) out->put(*p);
    return out->full ? -1 : 0;
}

}  // namespace

int punycode_encode(const uint32_t* code_points, size_t count, char* out, size_t out_size) {
    if (!out || out_size == 0) return -1;
    out[0] = '\0';
    if (count > PUNYCODE_MAX_LABEL_CHARS) return -1;
    Output text{out, out_size, 0, false};
    uint32_t basic = 0;
    for (size_t i = 0; i < count; i++) {
        if (code_points[i] > MAX_CODE_POINT) return -1;
        if (code_points[i] < INITIAL_N) {
            text.put(static_cast<char>(code_points[i]));
            basic++;
        }
    }
    if (basic > 0) text.put('-');
    // With at most 63 code points below U+110000, delta stays below 64 * 0x110000 + 64 * 64,
    // far inside 32 bits.
    uint32_t n = INITIAL_N, delta = 0, bias = INITIAL_BIAS;
    for (uint32_t handled = basic; handled < count;) {
        uint32_t next = MAX_CODE_POINT + 1;
        for (size_t i = 0; i < count; i++) {
            if (code_points[i] >= n && code_points[i] < next) next = code_points[i];
        }
        delta += (next - n) * (handled + 1);
        n = next;
        for (size_t i = 0; i < count; i++) {
            if (code_points[i] < n) delta++;
            if (code_points[i] != n) continue;
            put_variable_integer(&text, delta, bias);
            bias = adapt(delta, handled + 1, handled == basic);
            delta = 0;
            handled++;
        }
        delta++;
        n++;
    }
    return text.full ? -1 : 0;
}

int punycode_host_to_ascii(const char* name, char* out, size_t out_size) {
    if (!name || !out || out_size == 0) return -1;
    out[0] = '\0';
    Output text{out, out_size, 0, false};
    const char* label = name;
    for (;;) {
        const char* dot = strchr(label, '.');
        size_t len = dot ? static_cast<size_t>(dot - label) : strlen(label);
        if (put_label(&text, label, len) != 0) return -1;
        if (!dot) return 0;
        text.put('.');
        label = dot + 1;
    }
}
