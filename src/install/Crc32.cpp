#include "install/Crc32.h"

#include <zlib.h>

#include <algorithm>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define KESTREL_FOLDED_CRC 1
#endif

namespace kestrel::install {

namespace {

#ifdef KESTREL_FOLDED_CRC
// Every staged byte has its CRC taken twice, as it is written and as it is read back in place,
// and zlib's table-driven CRC costs about as much as writing the bytes. Processors that multiply
// without carries (every x86-64 since 2010) fold 64 bytes at a time instead, several times
// faster, by the method Intel published for the reflected CRC-32: the constants are powers of x
// modulo the zip polynomial, and the last 64 bits come down to 32 by a Barrett reduction.
__attribute__((target("pclmul,sse4.1"))) inline __m128i fold(__m128i x, __m128i k, __m128i next)
{
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x11), _mm_clmulepi64_si128(x, k, 0x00)), next);
}

__attribute__((target("pclmul,sse4.1"))) inline __m128i load(const unsigned char *at)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(at));
}

// The CRC register (the CRC inverted) after size bytes, size a multiple of 16 and at least 64.
__attribute__((target("pclmul,sse4.1"))) std::uint32_t folded(std::uint32_t state, const unsigned char *p,
                                                            std::size_t size)
{
    const __m128i by512 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
    const __m128i by128 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
    const __m128i by64 = _mm_set_epi64x(0, 0x0163cd6124);
    const __m128i barrett = _mm_set_epi64x(0x01f7011641, 0x01db710641);
    __m128i x1 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(state)));
    __m128i x2 = load(p + 16);
    __m128i x3 = load(p + 32);
    __m128i x4 = load(p + 48);
    for (p += 64, size -= 64; size >= 64; p += 64, size -= 64) {
        x1 = fold(x1, by512, load(p));
        x2 = fold(x2, by512, load(p + 16));
        x3 = fold(x3, by512, load(p + 32));
        x4 = fold(x4, by512, load(p + 48));
    }
    x1 = fold(fold(fold(x1, by128, x2), by128, x3), by128, x4);
    for (; size >= 16; p += 16, size -= 16)
        x1 = fold(x1, by128, load(p));
    const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, by128, 0x10));
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), by64, 0x00), _mm_srli_si128(x1, 4));
    const __m128i quotient = _mm_and_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), barrett, 0x10), low32);
    x1 = _mm_xor_si128(x1, _mm_clmulepi64_si128(quotient, barrett, 0x00));
    return static_cast<std::uint32_t>(_mm_extract_epi32(x1, 1));
}

bool canFold()
{
    static const bool supported = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    return supported;
}
#endif

} // namespace

std::uint32_t crc32Of(std::uint32_t crc, const char *data, std::size_t size)
{
#ifdef KESTREL_FOLDED_CRC
    if (size >= 64 && canFold()) {
        const std::size_t whole = size & ~static_cast<std::size_t>(15);
        crc = ~folded(~crc, reinterpret_cast<const unsigned char *>(data), whole);
        data += whole;
        size -= whole;
    }
#endif
    while (size > 0) {
        const auto part = static_cast<uInt>(std::min<std::size_t>(size, 1U << 30));
        crc = static_cast<std::uint32_t>(::crc32(crc, reinterpret_cast<const Bytef *>(data), part));
        data += part;
        size -= part;
    }
    return crc;
}

} // namespace kestrel::install
