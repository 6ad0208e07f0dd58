// The early form of Wyhash with seed 0.
#include "http/wyhash.h"

#include <array>

namespace http {
namespace {

constexpr std::array<std::uint64_t, 5> Primes = {
    0xa0761d6478bd642f, 0xe7037ed1a0b428db, 0x8ebc6af09c88c6e3, 0x589965cc75374cc3, 0x1d8e4e27c47d124f,
};

/// `n` (1, 2, 4 or 8) bytes at `p` as a little-endian number.
std::uint64_t readLittle(const unsigned char* p, unsigned n) noexcept {
    std::uint64_t value = 0;
    for (unsigned i = 0; i < n; ++i) value |= std::uint64_t{p[i]} << (8 * i);
    return value;
}

/// Eight bytes as two little-endian halves, the first half on top.
std::uint64_t readSwapped8(const unsigned char* p) noexcept { return readLittle(p, 4) << 32 | readLittle(p + 4, 4); }

/// 1 to 8 tail bytes combined the way the early form does: whole 4- and 2-byte reads from
/// the front, shifted up to make room for the bytes behind them.
std::uint64_t readTail(const unsigned char* p, unsigned n) noexcept {
    switch (n) {
        case 1: return readLittle(p, 1);
        case 2: return readLittle(p, 2);
        case 3: return readLittle(p, 2) << 8 | readLittle(p + 2, 1);
        case 4: return readLittle(p, 4);
        case 5: return readLittle(p, 4) << 8 | readLittle(p + 4, 1);
        case 6: return readLittle(p, 4) << 16 | readLittle(p + 4, 2);
        case 7: return readLittle(p, 4) << 24 | readLittle(p + 4, 2) << 8 | readLittle(p + 6, 1);
        default: return readSwapped8(p);
    }
}

__extension__ using Wide = unsigned __int128;

/// The 128-bit product of a and b, its halves folded together with XOR.
std::uint64_t mum(std::uint64_t a, std::uint64_t b) noexcept {
    Wide product = static_cast<Wide>(a) * b;
    return static_cast<std::uint64_t>(product >> 64) ^ static_cast<std::uint64_t>(product);
}

std::uint64_t mix0(std::uint64_t a, std::uint64_t b, std::uint64_t seed) noexcept {
    return mum(a ^ seed ^ Primes[0], b ^ seed ^ Primes[1]);
}

std::uint64_t mix1(std::uint64_t a, std::uint64_t b, std::uint64_t seed) noexcept {
    return mum(a ^ seed ^ Primes[2], b ^ seed ^ Primes[3]);
}

/// Folds the last 0..31 bytes into `seed`.
std::uint64_t foldTail(const unsigned char* p, unsigned n, std::uint64_t seed) noexcept {
    if (n == 0) return seed;
    if (n <= 8) return mix0(readTail(p, n), Primes[4], seed);
    if (n <= 16) return mix0(readSwapped8(p), readTail(p + 8, n - 8), seed);
    std::uint64_t low = mix0(readSwapped8(p), readSwapped8(p + 8), seed);
    if (n <= 24) return low ^ mix1(readTail(p + 16, n - 16), Primes[4], seed);
    return low ^ mix1(readSwapped8(p + 16), readTail(p + 24, n - 24), seed);
}

}  // namespace

std::uint64_t hashString(std::string_view key) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(key.data());
    std::size_t rounds = key.size() / 32;
    std::uint64_t seed = 0;
    for (std::size_t i = 0; i < rounds; ++i, p += 32) {
        seed = mix0(readLittle(p, 8), readLittle(p + 8, 8), seed) ^
               mix1(readLittle(p + 16, 8), readLittle(p + 24, 8), seed);
    }
    seed = foldTail(p, static_cast<unsigned>(key.size() % 32), seed);
    return mum(seed ^ key.size(), Primes[4]);
}

}  // namespace http
