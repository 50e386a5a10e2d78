// The relay benchmark's own datagrams and figures. No sockets: the driver and its checks
// share these.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace benchwire {

// "KB" + 16 hex digits of the sequence number + 16 of the send time (ns) + 'x' padding.
// Printable and without blanks, so the proxy never takes it for control traffic.
inline constexpr std::size_t GameHeaderBytes = 34;

inline void writeHex(char *out, std::uint64_t value)
{
    static const char digits[] = "0123456789abcdef";
    for (int i = 15; i >= 0; --i) {
        out[i] = digits[value & 0xf];
        value >>= 4;
    }
}

inline bool readHex(const char *in, std::uint64_t *value)
{
    std::uint64_t v = 0;
    for (int i = 0; i < 16; ++i) {
        const char c = in[i];
        int d = 0;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else
            return false;
        v = (v << 4) | std::uint64_t(d);
    }
    *value = v;
    return true;
}

// Fills size bytes (at least GameHeaderBytes) of out.
inline void gameDatagram(char *out, std::size_t size, std::uint64_t seq, std::uint64_t sentNs)
{
    out[0] = 'K';
    out[1] = 'B';
    writeHex(out + 2, seq);
    writeHex(out + 18, sentNs);
    if (size > GameHeaderBytes)
        std::memset(out + GameHeaderBytes, 'x', size - GameHeaderBytes);
}

// True for one of our datagrams arriving whole and unchanged.
inline bool parseGameDatagram(const char *data, std::size_t size, std::uint64_t *seq, std::uint64_t *sentNs)
{
    if (size < GameHeaderBytes || data[0] != 'K' || data[1] != 'B')
        return false;
    if (!readHex(data + 2, seq) || !readHex(data + 18, sentNs))
        return false;
    for (std::size_t i = GameHeaderBytes; i < size; ++i) {
        if (data[i] != 'x')
            return false;
    }
    return true;
}

// Nearest-rank percentile (0..100) of the samples; 0 for none. Sorts its copy.
inline double percentile(std::vector<double> samples, double p)
{
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    const double rank = p / 100.0 * double(samples.size());
    std::size_t index = rank <= 1 ? 0 : std::size_t(rank + 0.999999) - 1;
    return samples[std::min(index, samples.size() - 1)];
}

} // namespace benchwire
