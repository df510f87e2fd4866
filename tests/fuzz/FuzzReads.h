#pragma once

#include <QByteArrayView>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace velora::fuzz {

// TCP delivers a peer's bytes in reads of any size, and framing must give the
// same texts however they were cut. The first input byte chooses the read
// size (1 to 255 bytes per read; 0 for everything in one read), the rest is
// what the peer sent.
inline std::vector<QByteArrayView> splitIntoReads(const uint8_t *data, size_t size)
{
    std::vector<QByteArrayView> reads;
    if (size == 0)
        return reads;
    const size_t step = data[0] == 0 ? size : data[0];
    const char *bytes = reinterpret_cast<const char *>(data + 1);
    for (size_t at = 0; at < size - 1; at += step)
        reads.emplace_back(bytes + at, qsizetype(std::min(step, size - 1 - at)));
    return reads;
}

// A broken property is a finding like a crash: abort, so that libFuzzer keeps
// the input and prints it.
inline void require(bool holds, const char *what)
{
    if (holds)
        return;
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
}

} // namespace velora::fuzz
