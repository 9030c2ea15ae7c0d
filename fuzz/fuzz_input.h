// Shared by the fuzz targets: reading an input as a stream of small fields,
// and the check that turns a broken invariant into a crash libFuzzer keeps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                                                               \
    do {                                                                                                               \
        if (!(cond)) {                                                                                                 \
            fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #cond);                               \
            abort();                                                                                                   \
        }                                                                                                              \
    } while (0)

// Reads past the end yield zeros and empty ranges, so a target never has to
// reject a short input.
struct fuzz_input {
    const uint8_t *pos;
    size_t rem;

    bool empty() const { return rem == 0; }
    uint8_t byte()
    {
        if (!rem)
            return 0;
        rem--;
        return *pos++;
    }
    uint16_t u16()
    {
        uint16_t high = byte();
        return uint16_t(high << 8 | byte());
    }
    // Up to `want` bytes; returns how many *out holds.
    size_t take(size_t want, const uint8_t **out)
    {
        size_t n = want < rem ? want : rem;
        *out = pos;
        pos += n;
        rem -= n;
        return n;
    }
};
