#include "md5sum.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
using std::uint32_t;

uint32_t load(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void store(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

// The four round functions, for one word or a vector of words, one per lane. Each step adds the
// terms that do not depend on b, the word the step before made, ahead of the one that does, so that
// fewer operations wait for it: MD5's speed is the length of that chain.
#define MD5_STEP(f, a, b, c, d, k, s, t)                                                           \
    do {                                                                                           \
        (a) = (a) + x[k] + (t) + (f);                                                              \
        (a) = (b) + (((a) << (s)) | ((a) >> (32 - (s))));                                          \
    } while (false)
#define F(a, b, c, d, k, s, t) MD5_STEP((d) ^ ((b) & ((c) ^ (d))), a, b, c, d, k, s, t)
#define G(a, b, c, d, k, s, t) MD5_STEP(((c) & ~(d)) + ((b) & (d)), a, b, c, d, k, s, t)
#define H(a, b, c, d, k, s, t) MD5_STEP((b) ^ (c) ^ (d), a, b, c, d, k, s, t)
#define I(a, b, c, d, k, s, t) MD5_STEP((c) ^ ((b) | ~(d)), a, b, c, d, k, s, t)

// One block: x holds its 16 words.
// clang-format off
template <class V>
[[gnu::always_inline]] inline void rounds(V& a, V& b, V& c, V& d, const V* x) {
    const V a0 = a, b0 = b, c0 = c, d0 = d;
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
// clang-format on

void blocks(uint32_t* state, const unsigned char* p, std::uint64_t count) {
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (; count > 0; --count, p += 64) {
        uint32_t x[16];
        for (int i = 0; i < 16; ++i)
            x[i] = load(p + std::ptrdiff_t(4) * i);
        rounds(a, b, c, d, x);
    }
    state[0] = a;
    state[1] = b;
    state[2] = c;
    state[3] = d;
}

// The lanes keep their state as 4 rows of up to 16 words: row i, column j is word i of lane j.
using LaneState = uint32_t[4][16];

// count blocks of every lane: lane j's at p[j].
template <class V, int N>
[[gnu::always_inline]] inline void laneBlocks(LaneState& state, const unsigned char* const* p,
                                              std::size_t count) {
    V a, b, c, d;
    std::memcpy(&a, state[0], sizeof a);
    std::memcpy(&b, state[1], sizeof b);
    std::memcpy(&c, state[2], sizeof c);
    std::memcpy(&d, state[3], sizeof d);
    for (std::size_t at = 0; at < count * 64; at += 64) {
        V x[16];
        for (int k = 0; k < 16; ++k)
            for (int j = 0; j < N; ++j)
                x[k][j] = load(p[j] + at + std::size_t(4) * k);
        rounds(a, b, c, d, x);
    }
    std::memcpy(state[0], &a, sizeof a);
    std::memcpy(state[1], &b, sizeof b);
    std::memcpy(state[2], &c, sizeof c);
    std::memcpy(state[3], &d, sizeof d);
}

using LaneBlocks = void (*)(LaneState&, const unsigned char* const*, std::size_t);
using V4 = uint32_t __attribute__((vector_size(16)));
void laneBlocks4(LaneState& state, const unsigned char* const* p, std::size_t count) {
    laneBlocks<V4, 4>(state, p, count);
}
#if defined(__x86_64__)
using V8 = uint32_t __attribute__((vector_size(32)));
using V16 = uint32_t __attribute__((vector_size(64)));
[[gnu::target("avx2")]] void laneBlocks8(LaneState& state, const unsigned char* const* p,
                                         std::size_t count) {
    laneBlocks<V8, 8>(state, p, count);
}
[[gnu::target("avx512f")]] void laneBlocks16(LaneState& state, const unsigned char* const* p,
                                             std::size_t count) {
    laneBlocks<V16, 16>(state, p, count);
}
#endif

// What each lane reads of its file at a time.
constexpr std::size_t LaneChunk = std::size_t(64) * 1024;
// What lanes without a file hash, and throw away.
unsigned char idleLane[LaneChunk];

struct Lane {
    int fd = -1;
    std::size_t id = 0;
    std::uint64_t left = 0;   // of the file, still to read
    std::uint64_t hashed = 0; // through the lane's blocks
    std::size_t at = 0;       // buffer[at, end) is read and not yet hashed
    std::size_t end = 0;
    unsigned char* buffer = nullptr;
};

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

int Md5Lanes::widest() {
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx512f"))
        return 16;
    if (__builtin_cpu_supports("avx2"))
        return 8;
#endif
    return 4;
}

void Md5Lanes::hashFiles(const std::function<bool(QString& path, std::size_t& id)>& next,
                         const std::function<void(std::size_t id, const QString& sum)>& done,
                         int lanes) {
    const int width =
        (lanes == 4 || lanes == 8 || lanes == 16) && lanes <= widest() ? lanes : widest();
    LaneBlocks vector = laneBlocks4;
#if defined(__x86_64__)
    if (width == 16)
        vector = laneBlocks16;
    else if (width == 8)
        vector = laneBlocks8;
#endif
    // Only the pages a lane uses become memory of the process.
    const std::unique_ptr<unsigned char[]> buffers(new unsigned char[width * LaneChunk]);
    Lane lane[16];
    // Lanes without a file hash garbage, but not from unset memory.
    LaneState state{};
    for (int j = 0; j < width; ++j)
        lane[j].buffer = buffers.get() + j * LaneChunk;

    const auto finish = [&](int j, bool read) {
        Lane& l = lane[j];
        QString sum;
        if (read) {
            Md5Sum tail;
            for (int i = 0; i < 4; ++i)
                tail.state[i] = state[i][j];
            tail.length = l.hashed;
            tail.add(reinterpret_cast<const char*>(l.buffer + l.at), l.end - l.at);
            sum = tail.hexResult();
        }
        ::close(l.fd);
        l.fd = -1;
        done(l.id, sum);
    };
    // Gives lane j the next file that opens; false when next() has no more.
    bool more = true;
    const auto take = [&](int j) {
        QString path;
        std::size_t id = 0;
        while ((more = more && next(path, id))) {
            // Not blocking: a pipe in place of a file must fail, not wait for a writer.
            const int fd =
                ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
            struct stat info {};
            if (fd >= 0 && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
                // A disk then reads ahead further in each of the files read side by side.
                ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
                Lane& l = lane[j];
                l.fd = fd;
                l.id = id;
                l.left = std::uint64_t(info.st_size);
                l.hashed = l.at = l.end = 0;
                const Md5Sum fresh;
                for (int i = 0; i < 4; ++i)
                    state[i][j] = fresh.state[i];
                return true;
            }
            if (fd >= 0)
                ::close(fd);
            done(id, QString());
        }
        return false;
    };

    for (;;) {
        // Every lane with a file gets at least one block, reading or taking the next file.
        int active = 0;
        std::size_t count = LaneChunk / 64;
        for (int j = 0; j < width; ++j) {
            Lane& l = lane[j];
            while ((l.fd >= 0 || take(j)) && l.end - l.at < 64) {
                if (l.left == 0) {
                    finish(j, true);
                    continue;
                }
                // The partial block moves to the front, and the file's next bytes go behind it.
                std::memmove(l.buffer, l.buffer + l.at, l.end - l.at);
                l.end -= l.at;
                l.at = 0;
                const ssize_t got = ::read(l.fd, l.buffer + l.end,
                                           std::min<std::uint64_t>(l.left, LaneChunk - l.end));
                if (got < 0 && errno == EINTR)
                    continue;
                if (got <= 0) {
                    finish(j, false);
                    continue;
                }
                l.end += std::size_t(got);
                l.left -= std::uint64_t(got);
            }
            if (l.fd >= 0) {
                ++active;
                count = std::min(count, (l.end - l.at) / 64);
            }
        }
        if (active == 0)
            return;
        // The vector costs as much for one lane as for all: a few files are hashed one by one.
        if (active < 4) {
            for (int j = 0; j < width; ++j) {
                Lane& l = lane[j];
                if (l.fd < 0)
                    continue;
                const std::size_t blockCount = (l.end - l.at) / 64;
                uint32_t words[4] = {state[0][j], state[1][j], state[2][j], state[3][j]};
                blocks(words, l.buffer + l.at, blockCount);
                for (int i = 0; i < 4; ++i)
                    state[i][j] = words[i];
                l.at += blockCount * 64;
                l.hashed += blockCount * 64;
            }
            continue;
        }
        const unsigned char* p[16];
        for (int j = 0; j < width; ++j)
            p[j] = lane[j].fd >= 0 ? lane[j].buffer + lane[j].at : idleLane;
        vector(state, p, count);
        for (int j = 0; j < width; ++j) {
            if (lane[j].fd >= 0) {
                lane[j].at += count * 64;
                lane[j].hashed += count * 64;
            }
        }
    }
}
