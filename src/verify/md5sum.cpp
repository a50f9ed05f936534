#include "md5sum.h"

#include <bit>
#include <cstddef>
#include <cstring>

namespace {
using std::uint32_t;

uint32_t load(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void store(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

// The four round functions. Each step adds the terms that do not depend on b, the word the step
// before made, ahead of the one that does, so that fewer operations wait for it: MD5's speed is
// the length of that chain.
#define MD5_STEP(f, a, b, c, d, k, s, t) ((a) = (b) + std::rotl((a) + x[k] + (t) + (f), s))
#define F(a, b, c, d, k, s, t) MD5_STEP((d) ^ ((b) & ((c) ^ (d))), a, b, c, d, k, s, t)
#define G(a, b, c, d, k, s, t) MD5_STEP(((c) & ~(d)) + ((b) & (d)), a, b, c, d, k, s, t)
#define H(a, b, c, d, k, s, t) MD5_STEP((b) ^ (c) ^ (d), a, b, c, d, k, s, t)
#define I(a, b, c, d, k, s, t) MD5_STEP((c) ^ ((b) | ~(d)), a, b, c, d, k, s, t)

// clang-format off
void blocks(uint32_t* state, const unsigned char* p, std::uint64_t count) {
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (; count > 0; --count, p += 64) {
        uint32_t x[16];
        for (int i = 0; i < 16; ++i)
            x[i] = load(p + std::ptrdiff_t(4) * i);
        const uint32_t a0 = a, b0 = b, c0 = c, d0 = d;
        F(a, b, c, d,  0,  7, 0xd76aa478u); F(d, a, b, c,  1, 12, 0xe8c7b756u);
        F(c, d, a, b,  2, 17, 0x242070dbu); F(b, c, d, a,  3, 22, 0xc1bdceeeu);
        F(a, b, c, d,  4,  7, 0xf57c0fafu); F(d, a, b, c,  5, 12, 0x4787c62au);
        F(c, d, a, b,  6, 17, 0xa8304613u); F(b, c, d, a,  7, 22, 0xfd469501u);
        F(a, b, c, d,  8,  7, 0x698098d8u); F(d, a, b, c,  9, 12, 0x8b44f7afu);
        F(c, d, a, b, 10, 17, 0xffff5bb1u); F(b, c, d, a, 11, 22, 0x895cd7beu);
        F(a, b, c, d, 12,  7, 0x6b901122u); F(d, a, b, c, 13, 12, 0xfd987193u);
        F(c, d, a, b, 14, 17, 0xa679438eu); F(b, c, d, a, 15, 22, 0x49b40821u);
        G(a, b, c, d,  1,  5, 0xf61e2562u); G(d, a, b, c,  6,  9, 0xc040b340u);
        G(c, d, a, b, 11, 14, 0x265e5a51u); G(b, c, d, a,  0, 20, 0xe9b6c7aau);
        G(a, b, c, d,  5,  5, 0xd62f105du); G(d, a, b, c, 10,  9, 0x02441453u);
        G(c, d, a, b, 15, 14, 0xd8a1e681u); G(b, c, d, a,  4, 20, 0xe7d3fbc8u);
        G(a, b, c, d,  9,  5, 0x21e1cde6u); G(d, a, b, c, 14,  9, 0xc33707d6u);
        G(c, d, a, b,  3, 14, 0xf4d50d87u); G(b, c, d, a,  8, 20, 0x455a14edu);
        G(a, b, c, d, 13,  5, 0xa9e3e905u); G(d, a, b, c,  2,  9, 0xfcefa3f8u);
        G(c, d, a, b,  7, 14, 0x676f02d9u); G(b, c, d, a, 12, 20, 0x8d2a4c8au);
        H(a, b, c, d,  5,  4, 0xfffa3942u); H(d, a, b, c,  8, 11, 0x8771f681u);
        H(c, d, a, b, 11, 16, 0x6d9d6122u); H(b, c, d, a, 14, 23, 0xfde5380cu);
        H(a, b, c, d,  1,  4, 0xa4beea44u); H(d, a, b, c,  4, 11, 0x4bdecfa9u);
        H(c, d, a, b,  7, 16, 0xf6bb4b60u); H(b, c, d, a, 10, 23, 0xbebfbc70u);
        H(a, b, c, d, 13,  4, 0x289b7ec6u); H(d, a, b, c,  0, 11, 0xeaa127fau);
        H(c, d, a, b,  3, 16, 0xd4ef3085u); H(b, c, d, a,  6, 23, 0x04881d05u);
        H(a, b, c, d,  9,  4, 0xd9d4d039u); H(d, a, b, c, 12, 11, 0xe6db99e5u);
        H(c, d, a, b, 15, 16, 0x1fa27cf8u); H(b, c, d, a,  2, 23, 0xc4ac5665u);
        I(a, b, c, d,  0,  6, 0xf4292244u); I(d, a, b, c,  7, 10, 0x432aff97u);
        I(c, d, a, b, 14, 15, 0xab9423a7u); I(b, c, d, a,  5, 21, 0xfc93a039u);
        I(a, b, c, d, 12,  6, 0x655b59c3u); I(d, a, b, c,  3, 10, 0x8f0ccc92u);
        I(c, d, a, b, 10, 15, 0xffeff47du); I(b, c, d, a,  1, 21, 0x85845dd1u);
        I(a, b, c, d,  8,  6, 0x6fa87e4fu); I(d, a, b, c, 15, 10, 0xfe2ce6e0u);
        I(c, d, a, b,  6, 15, 0xa3014314u); I(b, c, d, a, 13, 21, 0x4e0811a1u);
        I(a, b, c, d,  4,  6, 0xf7537e82u); I(d, a, b, c, 11, 10, 0xbd3af235u);
        I(c, d, a, b,  2, 15, 0x2ad7d2bbu); I(b, c, d, a,  9, 21, 0xeb86d391u);
        a += a0; b += b0; c += c0; d += d0;
    }
    state[0] = a; state[1] = b; state[2] = c; state[3] = d;
}
// clang-format on
} // namespace

void Md5Sum::add(const char* data, std::size_t len) {
    // Nothing to add may come with no buffer at all, which memcpy must not see.
    if (len == 0)
        return;
    const unsigned used = unsigned(length % 64);
    length += len;
    if (used > 0) {
        const std::size_t take = len < 64 - used ? len : 64 - used;
        std::memcpy(pending + used, data, take);
        data += take;
        len -= take;
        if (used + take < 64)
            return;
        blocks(state, pending, 1);
    }
    blocks(state, reinterpret_cast<const unsigned char*>(data), len / 64);
    std::memcpy(pending, data + len / 64 * 64, len % 64);
}

QString Md5Sum::hexResult() {
    const std::uint64_t bits = length * 8;
    char tail[72] = {'\x80'};
    // Padding up to 56 bytes past a block boundary, then the message length in bits.
    const unsigned padding = unsigned((119 - length % 64) % 64) + 1;
    for (int i = 0; i < 8; ++i)
        tail[padding + i] = static_cast<char>(bits >> (8 * i));
    add(tail, padding + 8);
    unsigned char digest[16];
    for (int i = 0; i < 4; ++i)
        store(digest + std::ptrdiff_t(4) * i, state[i]);
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(digest), sizeof digest).toHex());
}
