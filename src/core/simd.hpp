// The sixteen-byte operations that the text loops use: SSE2 where the
// build has it, else plain loops over the bytes that give the same results.
// Every mask has bit k for byte k of a block.
#pragma once

#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace refsieve::simd {

inline constexpr std::size_t kBlockBytes = 16;

#if defined(__SSE2__)

using Block = __m128i;

inline Block load(const char* bytes) noexcept { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes)); }

inline void store(char* to, Block block) noexcept { _mm_storeu_si128(reinterpret_cast<__m128i*>(to), block); }

// The bytes of 0x80 or more, which no ASCII text holds.
inline unsigned high_bytes(Block block) noexcept { return static_cast<unsigned>(_mm_movemask_epi8(block)); }

inline unsigned bytes_equal_to(Block block, char c) noexcept {
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, _mm_set1_epi8(c))));
}

namespace detail {
// All ones in the bytes from lo to hi (both ASCII); a byte of 0x80 or more
// counts as negative, and so below lo.
inline __m128i in_range(Block block, char lo, char hi) noexcept {
    return _mm_and_si128(_mm_cmpgt_epi8(block, _mm_set1_epi8(static_cast<char>(lo - 1))),
                         _mm_cmplt_epi8(block, _mm_set1_epi8(static_cast<char>(hi + 1))));
}
}  // namespace detail

// The bytes from lo to hi, both ASCII.
inline unsigned bytes_in_range(Block block, char lo, char hi) noexcept {
    return static_cast<unsigned>(_mm_movemask_epi8(detail::in_range(block, lo, hi)));
}

// The block with A to Z lowercased and every other byte as it was.
inline Block ascii_lowercase(Block block) noexcept {
    return _mm_add_epi8(block, _mm_and_si128(detail::in_range(block, 'A', 'Z'), _mm_set1_epi8('a' - 'A')));
}

// The places k < 16 where bytes[k] is first and bytes[k + 1] is second;
// reads bytes[0] to bytes[16].
inline unsigned pair_starts(const char* bytes, char first, char second) noexcept {
    const __m128i here = _mm_cmpeq_epi8(load(bytes), _mm_set1_epi8(first));
    const __m128i next = _mm_cmpeq_epi8(load(bytes + 1), _mm_set1_epi8(second));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(here, next)));
}

#else

struct Block {
    unsigned char bytes[kBlockBytes];
};

inline Block load(const char* bytes) noexcept {
    Block block;
    std::memcpy(block.bytes, bytes, kBlockBytes);
    return block;
}

inline void store(char* to, Block block) noexcept { std::memcpy(to, block.bytes, kBlockBytes); }

namespace detail {
template <class Test>
unsigned mask_of(const Block& block, Test test) noexcept {
    unsigned mask = 0;
    for (std::size_t k = 0; k < kBlockBytes; ++k) mask |= unsigned{test(block.bytes[k])} << k;
    return mask;
}
}  // namespace detail

inline unsigned high_bytes(Block block) noexcept {
    return detail::mask_of(block, [](unsigned char b) { return b >= 0x80; });
}

inline unsigned bytes_equal_to(Block block, char c) noexcept {
    return detail::mask_of(block, [c](unsigned char b) { return b == static_cast<unsigned char>(c); });
}

inline unsigned bytes_in_range(Block block, char lo, char hi) noexcept {
    return detail::mask_of(block, [lo, hi](unsigned char b) { return b >= lo && b <= hi; });
}

inline Block ascii_lowercase(Block block) noexcept {
    for (unsigned char& b : block.bytes) {
        if (b >= 'A' && b <= 'Z') b = static_cast<unsigned char>(b + ('a' - 'A'));
    }
    return block;
}

inline unsigned pair_starts(const char* bytes, char first, char second) noexcept {
    unsigned mask = 0;
    for (std::size_t k = 0; k < kBlockBytes; ++k) mask |= unsigned{bytes[k] == first && bytes[k + 1] == second} << k;
    return mask;
}

#endif

}  // namespace refsieve::simd
