// CRC-32 of the ZIP format (reflected polynomial 0xEDB88320). Packing is bound by how fast
// the bytes pass through, so the checksum has two engines with identical results: a
// carry-less multiplication fold on x86 processors that have it, and tables sliced by 16
// everywhere else and for the short tail of each call.
#include <cstdint>

#include "zip/zip.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define ZIP_CRC_CLMUL 1
#endif

namespace {

// ---------------------------------------------------------------------------------------------
// Tables sliced by 16: table k gives the CRC contribution of a byte followed by k zero bytes,
// so sixteen input bytes are folded in with sixteen independent lookups instead of a chain of
// sixteen dependent ones.

constexpr uint32_t CRC_POLYNOMIAL = 0xEDB88320u;
constexpr int CRC_SLICES = 16;

struct CrcTables {
    uint32_t t[CRC_SLICES][256];
};

constexpr CrcTables make_crc_tables() {
    CrcTables tables{};
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i;
        for (int bit = 0; bit < 8; bit++) c = (c & 1) ? (c >> 1) ^ CRC_POLYNOMIAL : c >> 1;
        tables.t[0][i] = c;
    }
    for (int slice = 1; slice < CRC_SLICES; slice++) {
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t prev = tables.t[slice - 1][i];
            tables.t[slice][i] = (prev >> 8) ^ tables.t[0][prev & 0xFF];
        }
    }
    return tables;
}

// Built by the compiler: complete before any archive exists and never changed.
constexpr CrcTables kCrc = make_crc_tables();

inline uint32_t load_le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Continues the raw register c (not inverted) over len bytes.
uint32_t crc_tables(uint32_t c, const uint8_t* p, size_t len) {
    const auto& t = kCrc.t;
    while (len >= 16) {
        uint32_t a = load_le32(p) ^ c;
        uint32_t b = load_le32(p + 4);
        uint32_t d = load_le32(p + 8);
        uint32_t e = load_le32(p + 12);
        c = t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^ t[12][a >> 24] ^
            t[11][b & 0xFF] ^ t[10][(b >> 8) & 0xFF] ^ t[9][(b >> 16) & 0xFF] ^ t[8][b >> 24] ^
            t[7][d & 0xFF] ^ t[6][(d >> 8) & 0xFF] ^ t[5][(d >> 16) & 0xFF] ^ t[4][d >> 24] ^
            t[3][e & 0xFF] ^ t[2][(e >> 8) & 0xFF] ^ t[1][(e >> 16) & 0xFF] ^ t[0][e >> 24];
        p += 16;
        len -= 16;
    }
    while (len--) c = t[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
    return c;
}

#ifdef ZIP_CRC_CLMUL
// ---------------------------------------------------------------------------------------------
// Folding with carry-less multiplication (Gopal, Ozturk et al., "Fast CRC Computation for
// Generic Polynomials Using PCLMULQDQ Instruction", Intel 2009): four 128-bit lanes are
// folded 64 bytes ahead at a time, then into one lane, then reduced to 32 bits with Barrett's
// method. The constants are powers of x modulo the polynomial, in the bit-reflected domain.

constexpr size_t CLMUL_MIN_BYTES = 64;

// Folds the 128-bit remainder acc over the next 16 bytes.
__attribute__((target("pclmul,sse4.1"))) inline __m128i fold16(__m128i acc, __m128i next,
                                                               __m128i k) {
    __m128i lo = _mm_clmulepi64_si128(acc, k, 0x00);
    __m128i hi = _mm_clmulepi64_si128(acc, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(hi, next), lo);
}

// Continues the raw register c over len bytes; len is at least 64 and a multiple of 16.
__attribute__((target("pclmul,sse4.1"))) uint32_t crc_clmul(uint32_t c, const uint8_t* p,
                                                            size_t len) {
    const __m128i k1k2 = _mm_set_epi64x(0x01C6E41596, 0x0154442BD4);  // x^(4*128+-32) folds
    const __m128i k3k4 = _mm_set_epi64x(0x00CCAA009E, 0x01751997D0);  // x^(128+-32) folds
    const __m128i k5 = _mm_set_epi64x(0, 0x0163CD6124);               // 64 to 32 bits
    const __m128i poly = _mm_set_epi64x(0x01F7011641, 0x01DB710641);  // mu and P
    const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);

    __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 0x00));
    __m128i x2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 0x10));
    __m128i x3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 0x20));
    __m128i x4 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 0x30));
    x1 = _mm_xor_si128(x1, _mm_cvtsi32_si128(static_cast<int>(c)));
    p += 64;
    len -= 64;

    while (len >= 64) {
        __m128i x5 = _mm_clmulepi64_si128(x1, k1k2, 0x00);
        __m128i x6 = _mm_clmulepi64_si128(x2, k1k2, 0x00);
        __m128i x7 = _mm_clmulepi64_si128(x3, k1k2, 0x00);
        __m128i x8 = _mm_clmulepi64_si128(x4, k1k2, 0x00);
        x1 = _mm_clmulepi64_si128(x1, k1k2, 0x11);
        x2 = _mm_clmulepi64_si128(x2, k1k2, 0x11);
        x3 = _mm_clmulepi64_si128(x3, k1k2, 0x11);
        x4 = _mm_clmulepi64_si128(x4, k1k2, 0x11);
        x1 = _mm_xor_si128(_mm_xor_si128(x1, x5),
                           _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 0x00)));
        x2 = _mm_xor_si128(_mm_xor_si128(x2, x6),
                           _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 0x10)));
        x3 = _mm_xor_si128(_mm_xor_si128(x3, x7),
                           _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 0x20)));
        x4 = _mm_xor_si128(_mm_xor_si128(x4, x8),
                           _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 0x30)));
        p += 64;
        len -= 64;
    }

    // Four lanes into one, then any further 16-byte blocks.
    x1 = fold16(x1, x2, k3k4);
    x1 = fold16(x1, x3, k3k4);
    x1 = fold16(x1, x4, k3k4);
    while (len >= 16) {
        x1 = fold16(x1, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), k3k4);
        p += 16;
        len -= 16;
    }

    // 128 bits to 64, then 64 to 32.
    __m128i x = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, k3k4, 0x10));
    __m128i high = _mm_srli_si128(x, 4);
    x = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x, low32), k5, 0x00), high);

    // Barrett reduction to the 32-bit remainder.
    __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x, low32), poly, 0x10);
    t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), poly, 0x00);
    x = _mm_xor_si128(x, t);
    return static_cast<uint32_t>(_mm_extract_epi32(x, 1));
}

bool cpu_has_clmul() {
    static const bool has = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    return has;
}
#endif

}  // namespace

uint32_t crc32_update(uint32_t crc, const void* bytes, size_t len) {
    const auto* p = static_cast<const uint8_t*>(bytes);
    uint32_t c = ~crc;
#ifdef ZIP_CRC_CLMUL
    if (len >= CLMUL_MIN_BYTES && cpu_has_clmul()) {
        size_t whole = len & ~static_cast<size_t>(15);
        c = crc_clmul(c, p, whole);
        p += whole;
        len -= whole;
    }
#endif
    return ~crc_tables(c, p, len);
}
