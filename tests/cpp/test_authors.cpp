// The engine's reader of plain author lists: which texts it reads, one
// worked example per reading rule (in ASCII and beyond), and readings that
// do not depend on what the thread read before. Its agreement with the command's Python reader on
// real and generated lists is tested in tests/python/test_native_authors.py.
#include "engine/authors.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace {

using refsieve::engine::AuthorsRead;
using refsieve::engine::is_plain_author_text;
using refsieve::engine::read_plain_authors;

std::pair<std::string, std::string> read(std::string_view text) {
    const std::optional<AuthorsRead> found = read_plain_authors(text);
    EXPECT_TRUE(found.has_value()) << text;
    return found ? std::pair{found->canonical, found->families} : std::pair<std::string, std::string>{};
}

TEST(PlainAuthorText, DeclinesMarkupAndWhatIsNotTextItKnows) {
    using namespace std::string_view_literals;
    for (const std::string_view text :
         {"M\xfcller, H."sv, "G{\\\"o}del"sv, "G\\\"odel"sv, "<i>Smith</i>"sv, "Smith &amp; Jones"sv, "Smith &x"sv,
          "Smith &#233;"sv, "Smith &\rJones"sv, "Smith&;"sv, "\x7f\x80"sv,
          // not UTF-8: cut short, overlong, a surrogate, beyond U+10FFFF, a stray continuation byte
          "M\xc3"sv, "\xc0\xaf"sv, "\xe0\x80\xaf"sv, "\xed\xa0\x80"sv, "\xf4\x90\x80\x80"sv, "a\xbfb"sv,
          // unassigned; the long s, which a case-insensitive "s" of "and others" matches
          "Smith \xf3\xa0\x80\x80"sv, "Smith and other\xc5\xbf"sv}) {
        EXPECT_FALSE(is_plain_author_text(text)) << text;
        EXPECT_FALSE(read_plain_authors(text).has_value()) << text;
    }
    for (const std::string_view text :
         {""sv, "Smith & Jones"sv, "Smith &"sv, "Smith &\tJones"sv, "Smith &\nJones"sv, "Smith &\fJones"sv, "$x ~y"sv,
          "Smith\x7f"sv, "a\0b"sv, "M\xc3\xbcller, H."sv, "\xf0\x9d\x90\x80"sv, "\xef\xbf\xbd"sv}) {
        EXPECT_TRUE(is_plain_author_text(text)) << text;
    }
}

TEST(PlainAuthorText, OneExamplePerRule) {
    using Read = std::pair<std::string, std::string>;
    // Given names in full or as initials, hyphenated ones giving one initial per part.
    EXPECT_EQ(read("Leslie Lamport, H.-P. Kriegel"), (Read{"llamport hpkriegel", "lamport kriegel"}));
    // "Family, Given" lists joined by "and", and the unlisted authors dropped.
    EXPECT_EQ(read("Lamport, Leslie and Shostak, R. and others"), (Read{"llamport rshostak", "lamport shostak"}));
    // Pieces read in pairs when the families are single words and a given name is initials.
    EXPECT_EQ(read("Lamport, L., Shostak, Robert, et al."), (Read{"llamport rshostak", "lamport shostak"}));
    // Catalogue initials after the family name; a DBLP homonym number; a suffix.
    EXPECT_EQ(read("Smith JA; Stefan Fischer 0003; John Doe Jr."),
              (Read{"jasmith sfischer jdoe", "smith fischer doe"}));
    // Lower-case particles begin the family name, whose last word is the family word.
    EXPECT_EQ(read("Jean de la Fontaine"), (Read{"jfontaine", "fontaine"}));
    // "et" inside a word is no "et al.".
    EXPECT_EQ(read("Bret al"), (Read{"bal", "al"}));
    // Nothing but white space, punctuation or "et al.": no people.
    EXPECT_EQ(read(" ,; et al."), (Read{"", ""}));
}

TEST(PlainAuthorText, TellsWhetherTheListIsCutShort) {
    for (const std::string_view text : {"Smith, J. et al.", "Smith and others", "Smith, et. al", "et al"}) {
        EXPECT_TRUE(read_plain_authors(text)->cut_short) << text;
    }
    for (const std::string_view text : {"Smith, J.", "Smithet al", "Smith et al. Jones",
                                        "M\xc3\xbc"
                                        "et al",
                                        ""}) {
        EXPECT_FALSE(read_plain_authors(text)->cut_short) << text;
    }
}

TEST(PlainAuthorText, OneExamplePerRuleBeyondAscii) {
    using Read = std::pair<std::string, std::string>;
    // Accents dropped, precomposed or combining; the name in capitals; no-break and other spaces.
    EXPECT_EQ(read("J\xc3\xbcrgen\xc2\xa0M\xc3\xbcller, E\xcc\x81mile ZOLA\xe2\x80\x83JR"),
              (Read{"jmuller ezola", "muller zola"}));
    // An initial beyond ASCII makes "Family, Given" pairs; the Unicode hyphens divide given names.
    EXPECT_EQ(read("Zola, \xc3\x89., Hugo, V."), (Read{"ezola vhugo", "zola hugo"}));
    EXPECT_EQ(read("Jean\xe2\x80\x90Luc Godard"), (Read{"jlgodard", "godard"}));
    // A lower-case particle beyond ASCII; a title-case letter folding to two; a ligature.
    EXPECT_EQ(read("Jean \xc3\xa9 Ville"), (Read{"jville", "ville"}));
    EXPECT_EQ(read("\xc7\x85"
                   "emal Bijedi\xc4\x87"),
              (Read{"dbijedic", "bijedic"}));
    EXPECT_EQ(read("\xef\xac\x81nn Stra\xc3\x9f\x65"), (Read{"fstra\xc3\x9f\x65", "stra\xc3\x9f\x65"}));
    // Greek capitals: the final sigma of a word; a DBLP number in Arabic-Indic digits.
    EXPECT_EQ(read("\xce\x9f\xce\xb4\xcf\x85\xcf\x83\xcf\x83\xce\xad\xce\xb1\xcf\x82 "
                   "\xce\x95\xce\x9b\xce\xa5\xce\xa4\xce\x97\xce\xa3"),
              (Read{"\xce\xbf\xce\xb5\xce\xbb\xcf\x85\xcf\x84\xce\xb7\xcf\x82",
                    "\xce\xb5\xce\xbb\xcf\x85\xcf\x84\xce\xb7\xcf\x82"}));
    EXPECT_EQ(read("Stefan Fischer \xd9\xa0\xd9\xa0\xd9\xa0\xd9\xa3"), (Read{"sfischer", "fischer"}));
    // A Hangul syllable decomposes into its letters.
    EXPECT_EQ(read("\xea\xb9\x80"),
              (Read{"\xe1\x84\x80\xe1\x85\xb5\xe1\x86\xb7", "\xe1\x84\x80\xe1\x85\xb5\xe1\x86\xb7"}));
}

TEST(PlainAuthorText, ControlCharactersAreTextOrWhiteSpaceAsInThePythonReader) {
    using Read = std::pair<std::string, std::string>;
    using namespace std::string_view_literals;
    // 0x1C to 0x1F separate words like a space; NUL and DEL are characters of a word, and not letters.
    EXPECT_EQ(read("Leslie\x1f"
                   "Lamport"),
              (Read{"llamport", "lamport"}));
    EXPECT_EQ(read("Leslie La\0mport"sv), (Read{"llamport", "lamport"}));
    EXPECT_EQ(read("Leslie \x7f"), (Read{"l", ""}));
}

TEST(PlainAuthorText, AReadingDoesNotDependOnWhatTheThreadReadBefore) {
    const std::vector<std::string> texts = {
        "Lamport, L., Shostak, R., Pease, M., Fischer, M. J., Lynch, N. A., Paterson, M. S., Jr., III",
        "A",
        "Smith JA and Jones K and Brown, T.",
        "",
        "Lamport, L.",
        std::string(300, 'x') + ", " + std::string(200, 'y') + " and Jean de la Fontaine",
    };
    std::vector<std::optional<AuthorsRead>> fresh(texts.size());
    // Each text read first thing on a thread of its own ...
    for (std::size_t i = 0; i < texts.size(); ++i) {
        std::thread([&, i] { fresh[i] = read_plain_authors(texts[i]); }).join();
    }
    // ... and after all the others, in both orders.
    for (int pass = 0; pass < 2; ++pass) {
        for (std::size_t k = 0; k < texts.size(); ++k) {
            const std::size_t i = pass == 0 ? k : texts.size() - 1 - k;
            const std::optional<AuthorsRead> again = read_plain_authors(texts[i]);
            ASSERT_TRUE(again && fresh[i]);
            EXPECT_EQ(again->canonical, fresh[i]->canonical) << texts[i];
            EXPECT_EQ(again->families, fresh[i]->families) << texts[i];
        }
    }
}

}  // namespace
