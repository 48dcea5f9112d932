#pragma once
// QR Code encoder (ISO/IEC 18004, Model 2): byte mode without ECI header, error-correction
// level M, versions 1 to 10 (21 x 21 to 57 x 57 modules).
//
// Matrices are size x size bytes in row-major order, 1 = dark, 0 = light, where
// size = 4 x version + 17. Every matrix buffer must hold QR_MAX_MODULES bytes.
//
// Thread safety: the field tables are built once (qr_init_tables) and only read afterwards;
// every other function works on the caller's buffers and its own call-local records, so any
// number of threads may encode at the same time.
#include <cstddef>
#include <cstdint>

constexpr int QR_MIN_VERSION = 1;
constexpr int QR_MAX_VERSION = 10;
constexpr int QR_MAX_SIZE = 57;
constexpr int QR_MAX_MODULES = QR_MAX_SIZE * QR_MAX_SIZE;  // 3249
constexpr int QR_MAX_CODEWORDS = 346;                      // data + error correction, version 10
constexpr int QR_MAX_TEXT_BYTES = 213;                     // longest text version 10 holds

// Result codes below zero, shared by the encoding functions.
constexpr int QR_TOO_LONG = -1;  // length above 2^31 - 1, or more than version 10 holds
constexpr int QR_FAILED = -2;    // text or output missing, or memory ran out

// One encoding pass: the module map and which modules belong to function patterns.
struct QrMatrix {
    int32_t size;
    uint8_t modules[QR_MAX_MODULES];   // 1 = dark
    uint8_t reserved[QR_MAX_MODULES];  // 1 = function module; data and masks skip it
};

// Builds the GF(256) antilog and log tables once; later calls return at once. Start-up calls
// it before the first connection; the encoding functions call it too, so it is never missed.
void qr_init_tables();

// Multiplication in GF(256) with the field polynomial 0x11D (for tests and the encoder).
uint8_t qr_gf_mul(uint8_t a, uint8_t b);

// Smallest version whose data capacity holds a text of this many bytes, or QR_TOO_LONG.
int qr_pick_version(uint64_t length);

// Number of data codewords of a version (16 for version 1 ... 216 for version 10); 0 for a
// version outside 1..10.
int qr_data_codewords(int version);

// Fills out (room for QR_MAX_CODEWORDS bytes) with the final codeword sequence of the text in
// the given version: data codewords then error-correction codewords, interleaved by block.
// Returns the number of codewords, QR_TOO_LONG when the text does not fit that version, or
// QR_FAILED for a missing buffer or a version outside 1..10.
int qr_build_codewords(const char* text, uint64_t length, int version, uint8_t* out);

// Chooses the mask (0 to 7) with the lowest penalty, the lower number winning ties. Every
// candidate is scored with its format modules, dark module and version modules light. When
// scores is not null it receives the eight penalties. Returns the mask, or QR_TOO_LONG /
// QR_FAILED as qr_encode_text.
int qr_choose_mask(const char* text, uint64_t length, int* scores);

// Clears the record, sets its size and draws every function pattern, marking it reserved:
// finders with separators, timing, alignment, version information (version 7 up), and the
// format areas and dark-module position (both reserved and light). With evaluation set the
// version modules stay light too, as mask scoring wants them. A version outside 1..10 leaves
// an empty record of size 0.
void qr_draw_function_patterns(QrMatrix* matrix, int version, int evaluation);

// Places the codewords' bits (most significant first) in the zigzag order over every
// non-reserved module; modules left over after the last bit get 0.
void qr_place_data(QrMatrix* matrix, const uint8_t* codewords, int count);

// Copies the modules to out and inverts each non-reserved module that mask (0 to 7) selects.
void qr_apply_mask(const QrMatrix* matrix, int mask, uint8_t* out);

// The 15-bit format word of level M with this mask (BCH code, XOR 0x5412).
uint16_t qr_format_bits(int mask);

// Penalty rules on any square byte matrix of size 1 to QR_MAX_SIZE (0 outside that range):
// runs of five or more equal modules in rows and columns (length - 2 each); 2 x 2 blocks of
// equal modules (3 each); finder-like 1:1:3:1:1 windows with four light modules on one side
// (40 each); dark balance (10 per whole 5 % away from half).
int qr_penalty_runs(const uint8_t* modules, int size);
int qr_penalty_blocks(const uint8_t* modules, int size);
int qr_penalty_finder_like(const uint8_t* modules, int size);
int qr_penalty_balance(const uint8_t* modules, int size);
// Sum of the four rules.
int qr_penalty(const uint8_t* modules, int size);

// Encodes the text's bytes into the final symbol: fills out (at least QR_MAX_MODULES bytes),
// stores the side length in *size and, when mask is not null, the chosen mask. Returns the
// version (1 to 10), QR_TOO_LONG for a text longer than 213 bytes, or QR_FAILED when text or
// out is null or memory runs out. On failure *size is not written and out is unspecified.
int qr_encode_text(const char* text, uint64_t length, uint8_t* out, int* size, int* mask);
