// Normalisation (Unicode lowercasing, Final_Sigma, whitespace collapsing),
// byte-order token sorting and the token-sort ratio. Every ratio comes from
// the shipped token_sort_ratio_f64 and is checked against the reference.
#include "core/normalize.hpp"
#include "core/token_sort.hpp"

#include <gtest/gtest.h>

#include "same_double.hpp"

#include <bit>
#include <cstdint>
#include <iomanip>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "core/utf8.hpp"
#include "reference/text.hpp"

namespace {

using refsieve::normalize;
using refsieve::normalize_into;
using refsieve::reference::tokenize_and_sort;

// UTF-8 encoding of one code point, written out here so the tests do not
// depend on the encoder they exercise.
std::string utf8(char32_t c) {
    std::string out;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

std::string hex(char32_t c) {
    std::ostringstream out;
    out << "U+" << std::uppercase << std::hex << std::setw(4) << std::setfill('0') << static_cast<std::uint32_t>(c);
    return out.str();
}

std::vector<std::string> as_strings(const std::vector<std::string_view>& views) { return {views.begin(), views.end()}; }

double jaro_of(std::size_t len_a, std::size_t len_b, std::size_t m, std::size_t t) {
    const double md = static_cast<double>(m);
    return ((md / static_cast<double>(len_a) + md / static_cast<double>(len_b)) + static_cast<double>(m - t) / md) /
           3.0;
}

// The token-sort ratio as the module computes it; the straightforward
// computation must give the same bits.
double ratio(std::string_view s1, std::string_view s2) {
    const double shipped = refsieve::token_sort_ratio_f64(s1, s2);
    EXPECT_TRUE(SameDouble(refsieve::reference::token_sort_ratio_f64(s1, s2), shipped))
        << "('" << s1 << "', '" << s2 << "')";
    return shipped;
}

const char32_t kWhiteSpace[] = {0x0009, 0x000A, 0x000B, 0x000C, 0x000D, 0x0020, 0x0085, 0x00A0, 0x1680,
                                0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006, 0x2007, 0x2008,
                                0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};

const char32_t kJoiners[] = {0x001C, 0x001D, 0x001E, 0x001F, 0x180E, 0x200B, 0x2060, 0xFEFF};

// ---------------------------------------------------------------- normalize

TEST(Normalize, CollapsesAndTrimsWhitespaceAndLowercases) {
    EXPECT_EQ("smith, john", normalize("  Smith,\tJOHN\n"));
    EXPECT_EQ("graph methods in practice", normalize("graph  methods in PRACTICE"));
    EXPECT_EQ("a b c", normalize("\r\na \x0b\x0c b\t\t\tc   "));
}

TEST(Normalize, EmptyAndWhitespaceOnlyGiveEmpty) {
    EXPECT_EQ("", normalize(""));
    EXPECT_EQ("", normalize("   "));
    EXPECT_EQ("", normalize("\t\n\u00a0\u3000\u2028 "));
}

class NormalizeWhiteSpace : public ::testing::TestWithParam<char32_t> {};

TEST_P(NormalizeWhiteSpace, SeparatesTokens) {
    const std::string ws = utf8(GetParam());
    EXPECT_EQ("a b", normalize("A" + ws + "B"));
    EXPECT_EQ("a b", normalize(ws + "A" + ws + ws + "B" + ws));
    EXPECT_EQ("", normalize(ws));
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), as_strings(tokenize_and_sort("b" + ws + "a")));
}

INSTANTIATE_TEST_SUITE_P(AllWhiteSpace, NormalizeWhiteSpace, ::testing::ValuesIn(kWhiteSpace),
                         [](const ::testing::TestParamInfo<char32_t>& info) {
                             std::string name = hex(info.param);
                             return name.erase(1, 1);  // U+0009 -> U0009
                         });

class NormalizeJoiner : public ::testing::TestWithParam<char32_t> {};

TEST_P(NormalizeJoiner, StaysInsideToken) {
    const std::string c = utf8(GetParam());
    EXPECT_EQ("a" + c + "b", normalize("A" + c + "B"));
    EXPECT_EQ((std::vector<std::string>{"a" + c + "b"}), as_strings(tokenize_and_sort("a" + c + "b")));
    // A character on its own is a token, not a separator.
    EXPECT_EQ(c, normalize(" " + c + " "));
}

INSTANTIATE_TEST_SUITE_P(NotWhiteSpace, NormalizeJoiner, ::testing::ValuesIn(kJoiners),
                         [](const ::testing::TestParamInfo<char32_t>& info) {
                             std::string name = hex(info.param);
                             return name.erase(1, 1);  // U+0009 -> U0009
                         });

TEST(Normalize, KeepsPunctuationDigitsAndDiacritics) {
    EXPECT_EQ("o'brien, j.-p. (2020) caf\u00e9 \u00e9tude!", normalize("O'Brien, J.-P. (2020) CAF\u00c9 \u00c9tude!"));
    // Combining marks survive as they are.
    EXPECT_EQ("e\u0301", normalize("E\u0301"));
}

// normalize_into takes word-at-a-time paths for ASCII text; every byte
// value and spacing, and ASCII mixed with other code points, must come out
// as normalize gives it, along with whether the result is ASCII.
TEST(Normalize, IntoEqualsNormalizeOnAsciiAndMixedText) {
    std::mt19937 rng(7);
    const std::vector<std::string> pieces = {"a",          "Z",      " ",      "  ",     "\t",
                                             "\r",         "\x0b",   "\x01",   "\x7f",   "@",
                                             "[",          "`",      "{",      ".",      std::string(1, '\0'),
                                             "\u03a3",     "\u0130", "\u00a0", "\u00c9", "\u0301",
                                             "\U0001041c", "\u2028"};
    std::string out;
    for (int n = 0; n < 30000; ++n) {
        const bool ascii_only = n % 2 == 0;
        std::string text;
        if (n % 3 == 0) {
            // Words spaced as normalisation leaves them, now and then with
            // one piece put in anywhere.
            for (std::size_t k = rng() % 12; k > 0; --k) {
                text += std::string(1 + rng() % 9, static_cast<char>("aZ.z@A"[rng() % 6])) + (k > 1 ? " " : "");
            }
            if (rng() % 2 == 0) text.insert(rng() % (text.size() + 1), pieces[rng() % pieces.size()]);
        }
        for (std::size_t k = n % 3 == 0 ? 0 : rng() % 40; k > 0; --k) {
            text += rng() % 4 == 0 ? std::string(1, static_cast<char>(rng() % 128))
                                   : pieces[rng() % (ascii_only ? 15 : pieces.size())];
        }
        const std::string expected = normalize(text);
        const bool ascii = normalize_into(text, out);
        ASSERT_EQ(expected, out) << "text: '" << text << "'";
        ASSERT_EQ(refsieve::utf8::is_ascii(expected), ascii) << "text: '" << text << "'";
    }
}

TEST(Normalize, LowercasesByUnicodeNotByLocale) {
    EXPECT_EQ("\u03b1\u03b2\u03b3", normalize("\u0391\u0392\u0393"));                                      // Greek
    EXPECT_EQ("\u0434\u0430\u043d\u043d\u044b\u0435", normalize("\u0414\u0410\u041d\u041d\u042b\u0415"));  // Cyrillic
    EXPECT_EQ("k", normalize("\u212a"));       // KELVIN SIGN
    EXPECT_EQ("\u00df", normalize("\u1e9e"));  // CAPITAL SHARP S
    EXPECT_EQ("i", normalize("I"));            // no Turkish dotless i
    EXPECT_EQ("\u00e6\u00f8\u00e5", normalize("\u00c6\u00d8\u00c5"));
    EXPECT_EQ("\U00010428", normalize("\U00010400"));  // DESERET, four bytes
    // Characters without a lowercase mapping are copied.
    EXPECT_EQ("\u00df \u0131 \u65e5\u672c", normalize("\u00df \u0131 \u65e5\u672c"));
}

TEST(Normalize, CapitalIWithDotBecomesTwoCodePoints) {
    EXPECT_EQ("i\u0307", normalize("\u0130"));
    EXPECT_EQ("i\u0307stanbul", normalize("\u0130STANBUL"));
}

struct SigmaCase {
    const char* name;
    const char* input;
    const char* expected;
};

class NormalizeFinalSigma : public ::testing::TestWithParam<SigmaCase> {};

TEST_P(NormalizeFinalSigma, ChoosesTheRightSmallSigma) { EXPECT_EQ(GetParam().expected, normalize(GetParam().input)); }

// U+03A3 capital sigma; U+03C2 final sigma; U+03C3 small sigma.
INSTANTIATE_TEST_SUITE_P(
    Contexts, NormalizeFinalSigma,
    ::testing::Values(SigmaCase{"word_end_at_text_end", "\u039f\u0394\u039f\u03a3", "\u03bf\u03b4\u03bf\u03c2"},
                      SigmaCase{"inside_word", "\u039f\u03a3\u039f", "\u03bf\u03c3\u03bf"},
                      SigmaCase{"word_end_before_space", "\u039f\u0394\u039f\u03a3 \u039f\u0394\u039f\u03a3",
                                "\u03bf\u03b4\u03bf\u03c2 \u03bf\u03b4\u03bf\u03c2"},
                      SigmaCase{"word_end_before_tab", "\u039f\u03a3\tX", "\u03bf\u03c2 x"},
                      SigmaCase{"alone", "\u03a3", "\u03c3"}, SigmaCase{"alone_after_space", " \u03a3", "\u03c3"},
                      SigmaCase{"alone_between_words", "\u0391 \u03a3 \u0392", "\u03b1 \u03c3 \u03b2"},
                      SigmaCase{"between_letters", "\u0391\u03a3\u0392", "\u03b1\u03c3\u03b2"},
                      SigmaCase{"apostrophe_then_letter", "\u0391\u03a3'\u0392", "\u03b1\u03c3'\u03b2"},
                      SigmaCase{"apostrophe_then_space", "\u0391\u03a3' \u0392", "\u03b1\u03c2' \u03b2"},
                      SigmaCase{"apostrophe_then_end", "\u0391\u03a3'", "\u03b1\u03c2'"},
                      SigmaCase{"full_stop_then_letter", "\u0391\u03a3.\u0392", "\u03b1\u03c3.\u03b2"},
                      SigmaCase{"zero_width_space_then_letter", "\u0391\u03a3\u200b\u0392", "\u03b1\u03c3\u200b\u03b2"},
                      SigmaCase{"combining_mark_then_end", "\u0391\u03a3\u0301", "\u03b1\u03c2\u0301"},
                      SigmaCase{"after_latin_letter", "A\u03a3", "a\u03c2"},
                      SigmaCase{"after_digit", "1\u03a3", "1\u03c3"},
                      SigmaCase{"before_digit", "\u0391\u03a31", "\u03b1\u03c21"},
                      SigmaCase{"apostrophe_skipped_backwards", "\u0391'\u03a3", "\u03b1'\u03c2"},
                      // U+02B0 is both Cased and Case_Ignorable: being ignorable, it is skipped.
                      SigmaCase{"cased_ignorable_after", "\u0391\u03a3\u02b0", "\u03b1\u03c2\u02b0"},
                      SigmaCase{"cased_ignorable_before", "\u02b0\u03a3", "\u02b0\u03c3"},
                      SigmaCase{"double_sigma", "\u0391\u03a3\u03a3", "\u03b1\u03c3\u03c2"},
                      SigmaCase{"sigma_first_and_last", "\u03a3\u0391\u03a3", "\u03c3\u03b1\u03c2"},
                      SigmaCase{"small_sigma_unchanged", "\u0391\u0392\u03c3", "\u03b1\u03b2\u03c3"}),
    [](const ::testing::TestParamInfo<SigmaCase>& info) { return std::string(info.param.name); });

TEST(Normalize, IsIdempotent) {
    const char* inputs[] = {"  Smith,\tJOHN\n",
                            "\u039f\u0394\u039f\u03a3 \u039f\u03a3\u039f",
                            "\u0130STANBUL \u0130",
                            "a\u3000b\u00a0c\u200bd",
                            "\u0391\u03a3' \u0392 \u02b0\u03a3",
                            "Graph  Methods in PRACTICE",
                            "   "};
    for (const char* in : inputs) {
        const std::string once = normalize(in);
        EXPECT_EQ(once, normalize(once)) << "input: " << in;
    }
}

// Over many texts built from awkward pieces: the result has no whitespace but
// single inner spaces, is empty only for blank input, and is a fixed point.
TEST(Normalize, ResultShapeOnGeneratedTexts) {
    const std::vector<std::string> pieces = {"A",      "b",          "\u03a3", "\u039f", "'",      "\u0130",
                                             "\u00c9", "\u212a",     "\u02b0", "\u0301", "1",      "-",
                                             "\u65e5", "\U0001F600", "\u200b", "\ufeff", " ",      "\t",
                                             "\n",     "\u00a0",     "\u3000", "\u2028", "\u0085", "\u1680"};
    std::mt19937 rng(20240611u);
    std::uniform_int_distribution<std::size_t> count(0, 9);
    std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
    for (int iteration = 0; iteration < 3000; ++iteration) {
        std::string text;
        bool has_non_space = false;
        const std::size_t n = count(rng);
        for (std::size_t k = 0; k < n; ++k) {
            const std::size_t p = pick(rng);
            text += pieces[p];
            if (p < 16) has_non_space = true;
        }
        const std::string out = normalize(text);
        SCOPED_TRACE("input: " + text);
        EXPECT_EQ(has_non_space, !out.empty());
        if (!out.empty()) {
            EXPECT_NE(' ', out.front());
            EXPECT_NE(' ', out.back());
        }
        EXPECT_EQ(std::string::npos, out.find("  "));
        for (char32_t ws : kWhiteSpace) {
            if (ws != U' ') {
                EXPECT_EQ(std::string::npos, out.find(utf8(ws))) << hex(ws);
            }
        }
        EXPECT_EQ(out, normalize(out));
        if (::testing::Test::HasFailure()) break;
    }
}

// --------------------------------------------------------- tokenize_and_sort

TEST(TokenizeAndSort, SortsByBytesAndKeepsDuplicates) {
    struct Case {
        const char* text;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"b a a", {"a", "a", "b"}},
        {"abc ab", {"ab", "abc"}},
        {"a 2020", {"2020", "a"}},
        {"\u00e9 z", {"z", "\u00e9"}},                    // 0x7A before 0xC3: bytes compare unsigned
        {"\U0001F600 \uff21", {"\uff21", "\U0001F600"}},  // code point order, not UTF-16 order
        {"b B a A", {"A", "B", "a", "b"}},                // text is not lowercased
        {"smith, john", {"john", "smith,"}},
        {"x x x", {"x", "x", "x"}},
        {"  lead  and   trail  ", {"and", "lead", "trail"}},
        {"one", {"one"}},
        {"", {}},
        {" \t\u3000 ", {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, as_strings(tokenize_and_sort(c.text))) << "text: '" << c.text << "'";
    }
}

TEST(TokenizeAndSort, TokensAreViewsIntoTheText) {
    const std::string text = "gamma alpha\u00a0beta";
    const auto tokens = tokenize_and_sort(text);
    ASSERT_EQ(3u, tokens.size());
    for (std::string_view token : tokens) {
        EXPECT_GE(token.data(), text.data());
        EXPECT_LE(token.data() + token.size(), text.data() + text.size());
    }
    EXPECT_EQ(text.data() + 6, tokens[0].data());  // "alpha"
}

// ------------------------------------------------------ token_sort_ratio_f64

struct RatioCase {
    const char* s1;
    const char* s2;
    double ratio;
};

class TokenSortRatioKnown : public ::testing::TestWithParam<RatioCase> {};

void PrintTo(const RatioCase& c, std::ostream* os) { *os << "('" << c.s1 << "', '" << c.s2 << "')"; }

TEST_P(TokenSortRatioKnown, BitExact) {
    EXPECT_TRUE(SameDouble(GetParam().ratio, ratio(GetParam().s1, GetParam().s2)));
}

INSTANTIATE_TEST_SUITE_P(
    Table, TokenSortRatioKnown,
    ::testing::Values(
        RatioCase{"", "", 0.0}, RatioCase{"", "x", 0.0}, RatioCase{"x", "", 0.0}, RatioCase{"", "   ", 0.0},
        RatioCase{"   ", " ", 100.0}, RatioCase{"\u3000", "\t\n", 100.0}, RatioCase{"   ", "a", 0.0},
        RatioCase{"a", "   ", 0.0}, RatioCase{"John  Smith", "smith john", 100.0},
        RatioCase{"The Quick Brown Fox", "brown fox quick the", 100.0},
        RatioCase{"Smith, John", "john smith", 98.18181818181819},
        RatioCase{"Data Mining", "Data Minning", 96.51515151515152},
        RatioCase{"alpha beta", "alpha  gamma", 86.72727272727273},
        RatioCase{"Data Mining", "Data Mining for the Web", 89.56521739130436},
        RatioCase{"Data Mining", "Data Mining and Knowledge Discovery in Large Databases", 55.05050505050505},
        RatioCase{"Mining of Data", "Data Mining", 95.71428571428571},
        RatioCase{"Errata: Data Mining", "Data Mining", 91.57894736842105},
        RatioCase{"Data Mining", "Data Mining: A Review", 78.06637806637808},
        RatioCase{"Errata", "Review", 38.888888888888886}, RatioCase{"Smith J", "Smith John", 78.14285714285714},
        RatioCase{"CAF\u00c9 \u00c9tude", "\u00e9tude caf\u00e9", 100.0},
        RatioCase{"\u039f\u0394\u039f\u03a3", "\u03bf\u03b4\u03bf\u03c2", 100.0}, RatioCase{"b a a", "a b a", 100.0}));

TEST(TokenSortRatio, WorkedValues) {
    // 'abcd' against 'bacdx': m = 4, t = 1, no common prefix: exactly 85.0.
    EXPECT_TRUE(SameDouble(85.0, ratio("abcd", "bacdx")));
    // U+0130 becomes i + U+0307, two units against one: m = 1, prefix 1.
    const double sim = jaro_of(2, 1, 1, 0);
    EXPECT_TRUE(SameDouble((sim + 0.1 * (1.0 - sim)) * 100.0, ratio("\u0130", "i")));
    // A zero-width space is a unit inside the token: lengths 3 and 2, radius 0, one match.
    EXPECT_TRUE(SameDouble(jaro_of(3, 2, 1, 0) * 100.0, ratio("a\u200bb", "ab")));
    // Duplicates count: 'a a' against 'a' is a comparison of 3 and 1 units.
    const double dup = jaro_of(3, 1, 1, 0);
    EXPECT_TRUE(SameDouble((dup + 0.1 * (1.0 - dup)) * 100.0, ratio("a a", "A")));
}

TEST(TokenSortRatio, NormalisedAndRawArgumentsAgreeUnlessBlank) {
    const char* texts[] = {"Smith, John", "Data  Minning", "\u039f\u0394\u039f\u03a3 \u0130", "alpha\u3000beta",
                           "The Quick Brown Fox"};
    for (const char* a : texts) {
        for (const char* b : texts) {
            EXPECT_TRUE(SameDouble(ratio(a, b), ratio(normalize(a), normalize(b)))) << a << " / " << b;
        }
    }
    // A blank text passes the emptiness test raw, but not once normalised.
    EXPECT_TRUE(SameDouble(100.0, ratio("  ", "\t")));
    EXPECT_TRUE(SameDouble(0.0, ratio(normalize("  "), normalize("\t"))));
}

TEST(TokenSortRatio, StaysWithinZeroToHundred) {
    const char* texts[] = {
        "",    " ",          "a",      "ab",     "ba",     "Data Mining", "mining data", "x y z", "\u00e9t\u00e9",
        "ete", "\U0001F600", "review", "errata", "a a a a"};
    for (const char* a : texts) {
        for (const char* b : texts) {
            const double r = ratio(a, b);
            EXPECT_GE(r, 0.0) << a << " / " << b;
            EXPECT_LE(r, 100.0) << a << " / " << b;
        }
    }
}

}  // namespace
