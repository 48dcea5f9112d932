#pragma once
// What every fuzz target shares: a property that does not hold is a finding, reported like a
// sanitizer's and ending the run with the input saved by libFuzzer.
#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_CHECK(condition)                                                                \
    do {                                                                                     \
        if (!(condition)) {                                                                  \
            fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
            abort();                                                                         \
        }                                                                                    \
    } while (0)

// Takes bytes off the front of the fuzzer's input: control values first, the rest as data.
struct FuzzInput {
    const unsigned char* data;
    size_t size;

    unsigned take_byte() {
        if (size == 0) return 0;
        size--;
        return *data++;
    }
    // A value in [0, bound) from up to four bytes; 0 when the input is used up.
    unsigned take_below(unsigned bound) {
        unsigned value = 0;
        for (unsigned span = 1; span < bound && span < (1u << 24); span <<= 8)
            value = value << 8 | take_byte();
        return bound ? value % bound : 0;
    }
    // Up to max bytes; they stop early at a byte equal to stop (which is consumed) so that
    // the mutator can shape several fields of one input.
    std::string take_field(size_t max, int stop = -1) {
        std::string out;
        while (size > 0 && out.size() < max) {
            unsigned char c = take_byte();
            if (static_cast<int>(c) == stop) break;
            out.push_back(static_cast<char>(c));
        }
        return out;
    }
    std::string take_rest() {
        std::string out(reinterpret_cast<const char*>(data), size);
        data += size;
        size = 0;
        return out;
    }
};
