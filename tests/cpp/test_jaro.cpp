// Jaro and Jaro–Winkler similarity: known pairs, the search window, the
// transposition count, the prefix bonus and its threshold, and the rule that
// texts are compared by code point rather than by byte. The cases run on the
// textbook computation (generic over the element type); the known pairs run
// on the shipped bit-parallel one too.
#include "core/jaro.hpp"

#include <gtest/gtest.h>

#include "same_double.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <iomanip>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "core/jaro_bitparallel.hpp"
#include "core/utf8.hpp"
#include "reference/jaro.hpp"

namespace {

using refsieve::winkler_adjust;
using refsieve::reference::generic_jaro;
using refsieve::reference::jaro_winkler;

// The shipped computation of the Jaro and the Jaro–Winkler value.
double shipped_jaro(std::u32string_view a, std::u32string_view b) {
    refsieve::JaroScratch scratch;
    const std::span<const char32_t> sa(a.data(), a.size()), sb(b.data(), b.size());
    return refsieve::generic_jaro(sa, sb, refsieve::KeyPattern(sb), scratch);
}
double shipped_jaro_winkler(std::string_view a, std::string_view b) {
    refsieve::JaroScratch scratch;
    const std::vector<char32_t> ca = refsieve::utf8::decode(a), cb = refsieve::utf8::decode(b);
    return refsieve::jaro_winkler(ca, cb, refsieve::KeyPattern(cb), scratch);
}

double jaro_u32(std::u32string_view a, std::u32string_view b) {
    return generic_jaro(std::span<const char32_t>(a.data(), a.size()), std::span<const char32_t>(b.data(), b.size()));
}

// The Jaro value for A and B elements with m matches and t transpositions,
// in the grouping the similarity is defined with.
double jaro_of(std::size_t len_a, std::size_t len_b, std::size_t m, std::size_t t) {
    const double md = static_cast<double>(m);
    return ((md / static_cast<double>(len_a) + md / static_cast<double>(len_b)) + static_cast<double>(m - t) / md) /
           3.0;
}

// The Winkler step for a Jaro value above 0.7 and a prefix of l elements.
double winkler_of(double sim, int l) { return sim + (0.1 * static_cast<double>(l)) * (1.0 - sim); }

struct KnownPair {
    const char* a;       // UTF-8
    const char* b;       // UTF-8
    const char32_t* ua;  // the same texts as code points
    const char32_t* ub;
    double jaro;
    double jaro_winkler;
};

void PrintTo(const KnownPair& p, std::ostream* os) { *os << "'" << p.a << "' vs '" << p.b << "'"; }

class JaroKnownPairs : public ::testing::TestWithParam<KnownPair> {};

TEST_P(JaroKnownPairs, JaroOfCodePoints) {
    const KnownPair& p = GetParam();
    EXPECT_TRUE(SameDouble(p.jaro, jaro_u32(p.ua, p.ub)));
    EXPECT_TRUE(SameDouble(p.jaro, shipped_jaro(p.ua, p.ub)));
}

TEST_P(JaroKnownPairs, JaroWinklerOfUtf8) {
    const KnownPair& p = GetParam();
    EXPECT_TRUE(SameDouble(p.jaro_winkler, jaro_winkler(p.a, p.b)));
    EXPECT_TRUE(SameDouble(p.jaro_winkler, shipped_jaro_winkler(p.a, p.b)));
}

INSTANTIATE_TEST_SUITE_P(
    Table, JaroKnownPairs,
    ::testing::Values(KnownPair{"martha", "marhta", U"martha", U"marhta", 0.9444444444444445, 0.9611111111111111},
                      KnownPair{"dwayne", "duane", U"dwayne", U"duane", 0.8222222222222223, 0.8400000000000001},
                      KnownPair{"dixon", "dicksonx", U"dixon", U"dicksonx", 0.7666666666666666, 0.8133333333333332},
                      KnownPair{"abcd", "abdc", U"abcd", U"abdc", 0.9166666666666666, 0.9333333333333333},
                      KnownPair{"abcdefgh", "abcdefgx", U"abcdefgh", U"abcdefgx", 0.9166666666666666, 0.95},
                      KnownPair{"jellyfish", "smellyfish", U"jellyfish", U"smellyfish", 0.8962962962962964,
                                0.8962962962962964},
                      KnownPair{"caf\u00e9", "cafe", U"caf\u00e9", U"cafe", 0.8333333333333334, 0.8833333333333334},
                      KnownPair{"abcxyz", "abcpqr", U"abcxyz", U"abcpqr", 0.6666666666666666, 0.6666666666666666},
                      KnownPair{"abc", "cba", U"abc", U"cba", 0.5555555555555555, 0.5555555555555555},
                      KnownPair{"ab", "ba", U"ab", U"ba", 0.0, 0.0}, KnownPair{"", "", U"", U"", 1.0, 1.0},
                      KnownPair{"", "a", U"", U"a", 0.0, 0.0}, KnownPair{"a", "", U"a", U"", 0.0, 0.0}));

// Hand-worked pairs beyond the table, each with A, B, m, t and the prefix.
struct WorkedPair {
    const char* name;
    const char* a;
    const char* b;
    std::size_t len_a, len_b, m, t;
    int prefix;  // -1: the Jaro value is 0.7 or less, no prefix bonus
};

class JaroWorkedPairs : public ::testing::TestWithParam<WorkedPair> {};

TEST_P(JaroWorkedPairs, MatchesHandCount) {
    const WorkedPair& p = GetParam();
    const double sim = jaro_of(p.len_a, p.len_b, p.m, p.t);
    const double expected = p.prefix < 0 ? sim : winkler_of(sim, p.prefix);
    if (p.prefix < 0) {
        ASSERT_FALSE(sim > 0.7);
    } else {
        ASSERT_TRUE(sim > 0.7);
    }
    EXPECT_TRUE(SameDouble(expected, jaro_winkler(p.a, p.b)));
}

INSTANTIATE_TEST_SUITE_P(Worked, JaroWorkedPairs,
                         ::testing::Values(
                             // Radius 1: a->b[1], b->b[0], c->b[3], d->b[2]; four unequal pairs, t = 2.
                             WorkedPair{"all_swapped_pairs", "abcd", "badc", 4, 4, 4, 2, 0},
                             // Radius 2: a, b, c match c a b out of order; three unequal pairs halve to t = 1.
                             WorkedPair{"odd_unequal_pairs_round_down", "abcxyz", "cabxyz", 6, 6, 6, 1, 0},
                             // The earlier 'a' takes b[0], leaving b[1] for the later 'a' (window 1..3).
                             WorkedPair{"leftmost_free_match_first", "axay", "aazz", 4, 4, 2, 0, -1},
                             // Prefix stops at the end of the shorter text.
                             WorkedPair{"prefix_ends_with_shorter_text", "ab", "abc", 2, 3, 2, 0, 2},
                             // Prefix of three gives the weight 0.1 * 3, which is not the double 0.3.
                             WorkedPair{"prefix_of_three", "abcd", "abcx", 4, 4, 3, 0, 3},
                             // A single equal element: radius saturates at zero and still admits position 0.
                             WorkedPair{"single_equal_elements", "a", "a", 1, 1, 1, 0, 1},
                             // Radius is taken from the longer text: 3 for lengths 3 and 8.
                             WorkedPair{"radius_from_longer_text", "abc", "xyzaklmn", 3, 8, 1, 0, -1},
                             // Jaro of exactly 0.85 with no common prefix: the ratio is 85.0.
                             WorkedPair{"no_prefix_no_bonus", "abcd", "bacdx", 4, 5, 4, 1, 0}),
                         [](const ::testing::TestParamInfo<WorkedPair>& info) { return std::string(info.param.name); });

TEST(JaroWindow, SingleDifferentElementsDoNotMatch) {
    EXPECT_TRUE(SameDouble(0.0, jaro_winkler("a", "b")));
    // Radius 0 for lengths 1 and 2: 'a' cannot reach b[1].
    EXPECT_TRUE(SameDouble(0.0, jaro_winkler("a", "ba")));
    EXPECT_TRUE(SameDouble(0.0, jaro_winkler("ba", "a")));
}

// For every length n, the radius R is floor(n / 2) - 1 saturated at 0. An
// element R positions away is in the window; one R + 1 away is not. Checked in
// both directions (the partner earlier or later than the element).
TEST(JaroWindow, RadiusBoundaryForEachLength) {
    struct Case {
        std::size_t n;
        std::size_t radius;
    };
    const Case cases[] = {{2, 0}, {3, 0}, {4, 1}, {5, 1}, {6, 2}, {7, 2}, {8, 3}, {9, 3}, {10, 4}, {11, 4}, {12, 5}};
    const std::string a_fill = "bcdefghijklmnop";  // letters never used in b's filler
    const std::string b_fill = "qrstuvwxyz0123456";
    for (const Case& c : cases) {
        SCOPED_TRACE("n = " + std::to_string(c.n));
        const std::string a = std::string("a").append(a_fill, 0, c.n - 1);
        const double one_match = jaro_of(c.n, c.n, 1, 0);  // below 0.7 for every n >= 2
        for (std::size_t pos = 0; pos < c.n; ++pos) {
            std::string b = b_fill.substr(0, c.n);
            b[pos] = 'a';
            const double expected = pos <= c.radius ? one_match : 0.0;
            EXPECT_TRUE(SameDouble(expected, jaro_winkler(a, b))) << "partner at " << pos;
            EXPECT_TRUE(SameDouble(expected, jaro_winkler(b, a))) << "partner at " << pos << ", swapped";
        }
    }
}

TEST(JaroGeneric, WorksOnAnyEqualityComparableElements) {
    const std::vector<int> a = {1, 2, 3, 4};
    const std::vector<int> b = {1, 2, 4, 3};
    // The same shape as 'abcd' against 'abdc'.
    EXPECT_TRUE(SameDouble(0.9166666666666666, generic_jaro(std::span<const int>(a), std::span<const int>(b))));

    const std::vector<std::string> wa = {"graph", "methods", "in", "practice"};
    const std::vector<std::string> wb = {"graph", "methods", "practice"};
    // Lengths 4 and 3, radius 1: graph, methods match in place, practice (i=3)
    // reaches b[2]; m = 3, t = 0.
    EXPECT_TRUE(SameDouble(jaro_of(4, 3, 3, 0),
                           generic_jaro(std::span<const std::string>(wa), std::span<const std::string>(wb))));

    const std::vector<int> empty;
    EXPECT_TRUE(SameDouble(1.0, generic_jaro(std::span<const int>(empty), std::span<const int>(empty))));
    EXPECT_TRUE(SameDouble(0.0, generic_jaro(std::span<const int>(empty), std::span<const int>(a))));
}

TEST(JaroWinklerThreshold, ExactlyPointSevenIsNotAdjusted) {
    const std::u32string_view a = U"abcd";
    const std::span<const char32_t> s(a.data(), a.size());
    EXPECT_TRUE(SameDouble(0.7, winkler_adjust(0.7, s, s)));
    const double above = std::nextafter(0.7, 1.0);
    EXPECT_TRUE(SameDouble(above + 0.4 * (1.0 - above), winkler_adjust(above, s, s)));
    const double below = std::nextafter(0.7, 0.0);
    EXPECT_TRUE(SameDouble(below, winkler_adjust(below, s, s)));
}

TEST(JaroWinklerThreshold, PrefixWeightsAreTenthsCappedAtFour) {
    // Same sim, prefixes 0 to 6: the weight stops growing after four.
    const double sim = 0.8;
    const std::u32string_view base = U"abcdefg";
    const std::u32string_view others[] = {U"xbcdefg", U"axcdefg", U"abxdefg", U"abcxefg",
                                          U"abcdxfg", U"abcdexg", U"abcdefx"};
    const double weights[] = {0.0, 0.1, 0.2, 0.30000000000000004, 0.4, 0.4, 0.4};
    const std::span<const char32_t> sa(base.data(), base.size());
    for (std::size_t l = 0; l < 7; ++l) {
        const std::span<const char32_t> sb(others[l].data(), others[l].size());
        EXPECT_TRUE(SameDouble(sim + weights[l] * (1.0 - sim), winkler_adjust(sim, sa, sb))) << "prefix " << l;
    }
}

TEST(JaroWinklerThreshold, NeverExceedsOne) {
    EXPECT_TRUE(SameDouble(1.0, jaro_winkler("abcdefgh", "abcdefgh")));
    EXPECT_TRUE(SameDouble(1.0, jaro_winkler("\u00e9t\u00e9", "\u00e9t\u00e9")));
}

// Lengths, windows and prefixes count code points, however many bytes each takes.
TEST(JaroUnits, MultiByteCharactersAreSingleUnits) {
    // Two bytes: 'café' against 'cafe' has A = B = 4 (by bytes it would be 5 and 4).
    EXPECT_TRUE(SameDouble(jaro_of(4, 4, 3, 0), jaro_u32(U"caf\u00e9", U"cafe")));
    EXPECT_TRUE(SameDouble(winkler_of(jaro_of(4, 4, 3, 0), 3), jaro_winkler("caf\u00e9", "cafe")));
    // 'é' against 'e': one unit each, no match (by bytes two partial matches would be possible).
    EXPECT_TRUE(SameDouble(0.0, jaro_winkler("\u00e9", "e")));
    // Three bytes: lengths 3 and 2, radius 0, two matches in place, prefix 2.
    EXPECT_TRUE(SameDouble(winkler_of(jaro_of(3, 2, 2, 0), 2), jaro_winkler("\u65e5\u672c\u8a9e", "\u65e5\u672c")));
    // Four bytes: lengths 2 and 2, radius 0, one match; 2/3 gets no prefix bonus.
    EXPECT_TRUE(SameDouble(jaro_of(2, 2, 1, 0), jaro_winkler("\U0001F600a", "\U0001F600b")));
    // Characters sharing lead or continuation bytes are still different units.
    EXPECT_TRUE(SameDouble(0.0, jaro_winkler("\u00e9", "\u00e8")));
    EXPECT_TRUE(SameDouble(0.0, jaro_winkler("\U0001F600", "\U0001F601")));
}

}  // namespace
