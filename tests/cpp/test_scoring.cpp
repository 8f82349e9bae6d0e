// Scoring of a candidate record against a subject record: the title, author,
// date and bonus rules, worked titles, authors and whole records, and
// properties that hold for every pair of records. Every whole-record score
// comes from the shipped scoring and is checked against the reference.
#include "core/scoring.hpp"

#include <gtest/gtest.h>

#include "same_double.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <iomanip>
#include <limits>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/normalize.hpp"
#include "core/prepared.hpp"
#include "core/record.hpp"
#include "core/scoring_rules.hpp"
#include "core/token_sort.hpp"
#include "reference/scoring.hpp"

namespace {

using refsieve::MatchResult;
using refsieve::normalize;
using refsieve::Record;
using refsieve::token_sort_ratio_f64;
namespace scoring = refsieve::scoring;

constexpr unsigned kNone = 0;
constexpr unsigned kErrata = 1;
constexpr unsigned kReview = 2;
constexpr unsigned kBoth = kErrata | kReview;

constexpr std::int32_t kMinYear = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kMaxYear = std::numeric_limits<std::int32_t>::max();

std::optional<std::string> opt(const char* s) {
    if (s == nullptr) return std::nullopt;
    return std::string(s);
}

// The scores of candidate against subject as the module computes them, on
// prepared records; the straightforward scoring must give the same bits.
MatchResult scored(const Record& subject, const Record& candidate) {
    refsieve::JaroScratch scratch;
    const refsieve::RecordView candidate_view = refsieve::view_of(candidate);
    const MatchResult shipped =
        refsieve::score_candidate(refsieve::prepare_subject(refsieve::view_of(subject)),
                                  refsieve::CandidateCatalogue({&candidate_view, 1}), 0, scratch);
    EXPECT_TRUE(SameResult(refsieve::reference::score_candidate(subject, candidate), shipped));
    return shipped;
}

// The subject of the whole-record examples.
Record subject_s() {
    Record r;
    r.index = 7;
    r.title = "Graph Methods in Practice";
    r.author = "Author A";
    r.year = 2019;
    r.doi = "10.1000/example";
    r.journal = "Journal of  Tests";
    r.volume = "12";
    r.number = "3";
    r.pages = "1-10";
    r.publisher = "Example Press";
    return r;
}

// The same record as a candidate: a new index and the journal written in
// lower case with single spaces.
Record candidate_like_s(std::uint64_t index) {
    Record r = subject_s();
    r.index = index;
    r.journal = "journal of tests";
    return r;
}

void expect_scores(const MatchResult& got, double title, double author, double date, double bonus, double total) {
    EXPECT_TRUE(SameDouble(title, got.title_score)) << "title";
    EXPECT_TRUE(SameDouble(author, got.author_score)) << "author";
    EXPECT_TRUE(SameDouble(date, got.date_score)) << "date";
    EXPECT_TRUE(SameDouble(bonus, got.bonus_score)) << "bonus";
    EXPECT_TRUE(SameDouble(total, got.total_score)) << "total";
}

Record titled(const std::string& title) {
    Record r;
    r.title = title;
    return r;
}

Record authored(const std::string& author) {
    Record r;
    r.author = author;
    return r;
}

// ------------------------------------------------------------ title rule

struct TitleRuleCase {
    double ratio;
    bool containment;
    unsigned ks;
    unsigned kc;
    double expected;
};

void PrintTo(const TitleRuleCase& c, std::ostream* os) {
    *os << "r=" << c.ratio << (c.containment ? " contained" : " apart") << " ks=" << c.ks << " kc=" << c.kc;
}

class ScoringTitleRule : public ::testing::TestWithParam<TitleRuleCase> {};

TEST_P(ScoringTitleRule, FromRatioContainmentAndKeywords) {
    const TitleRuleCase& c = GetParam();
    EXPECT_TRUE(SameDouble(c.expected, scoring::title_score_from(c.ratio, c.containment, c.ks, c.kc)));
}

INSTANTIATE_TEST_SUITE_P(
    Table, ScoringTitleRule,
    ::testing::Values(TitleRuleCase{100.0, true, kNone, kNone, 100.0}, TitleRuleCase{90.0, false, kNone, kNone, 95.0},
                      TitleRuleCase{85.0, false, kNone, kNone, 42.5}, TitleRuleCase{85.0, true, kNone, kNone, 92.5},
                      TitleRuleCase{60.0, true, kNone, kNone, 80.0}, TitleRuleCase{60.0, false, kNone, kNone, 30.0},
                      TitleRuleCase{90.0, false, kNone, kErrata, 20.0}, TitleRuleCase{90.0, true, kReview, kBoth, 20.0},
                      TitleRuleCase{90.0, true, kNone, kBoth, 0.0}, TitleRuleCase{40.0, false, kNone, kReview, 0.0},
                      TitleRuleCase{95.0, true, kErrata, kReview, 47.5}, TitleRuleCase{95.0, true, kBoth, kBoth, 97.5},
                      // Equal non-empty sets still get the boost; the penalty is symmetric.
                      TitleRuleCase{60.0, true, kReview, kReview, 80.0},
                      TitleRuleCase{90.0, false, kErrata, kNone, 20.0}, TitleRuleCase{100.0, true, kBoth, kNone, 0.0},
                      TitleRuleCase{0.0, true, kNone, kNone, 50.0}, TitleRuleCase{0.0, false, kNone, kNone, 0.0},
                      TitleRuleCase{0.0, true, kNone, kReview, 0.0},
                      // A value just above the threshold is boosted.
                      TitleRuleCase{85.00000000000001, false, kNone, kNone, (100.0 + 85.00000000000001) * 0.5}));

// ----------------------------------------------------------- author rule

TEST(ScoringAuthorRule, FromRatio) {
    const struct {
        double ratio;
        double expected;
    } cases[] = {{100.0, 60.0}, {90.0, 57.0}, {85.0, 25.5},
                 {50.0, 15.0},  {0.0, 0.0},   {85.00000000000001, (100.0 + 85.00000000000001) * 0.3}};
    for (const auto& c : cases) {
        EXPECT_TRUE(SameDouble(c.expected, scoring::author_score_from(c.ratio))) << "ratio " << c.ratio;
    }
}

// ------------------------------------------------------ keyword detection

TEST(ScoringKeywords, FoundAsSubstringsOfTheNormalisedTitle) {
    const struct {
        const char* title;
        unsigned expected;
    } cases[] = {
        {"", kNone},
        {"data mining", kNone},
        {"errata", kErrata},
        {"review", kReview},
        {"errata: data mining", kErrata},
        {"data mining: a review", kReview},
        {"review of errata", kBoth},
        {"errata review", kBoth},
        {"reviewerrata", kBoth},
        {"preview", kReview},
        {"reviewers", kReview},
        {"peer-reviewed", kReview},
        {"overview", kNone},
        {"interview", kNone},
        {"erratum", kNone},
        {"errat a", kNone},
        {"re view", kNone},
        // The set is taken from normalised text, so capitals are not looked for.
        {"ERRATA", kNone},
        {"Review", kNone},
        // Keywords at every offset around the eight-byte steps of the search.
        {"abcdefgerrata", kErrata},
        {"abcdefghreview", kReview},
        {"abcdefghijklmnoperrata", kErrata},
        {"abcdefghijklmnoperrat", kNone},
        {"abcdefghijklmnrevie", kNone},
        {"erratabcdefghijklmnop review", kBoth},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected, scoring::keyword_set(c.title)) << "title: '" << c.title << "'";
        EXPECT_EQ(c.expected, refsieve::reference::keyword_set(c.title)) << "title: '" << c.title << "'";
    }
    // Every position of each keyword in texts of up to 40 bytes.
    for (std::size_t size = 0; size <= 40; ++size) {
        for (std::size_t at = 0; at <= size; ++at) {
            for (std::size_t k = 0; k < refsieve::TITLE_KEYWORDS.size(); ++k) {
                std::string title(size, 'x');
                title.insert(at, refsieve::TITLE_KEYWORDS[k]);
                EXPECT_EQ(1u << k, scoring::keyword_set(title)) << "title: '" << title << "'";
            }
        }
    }
}

// Containment looks eight bytes at a time: texts from a small alphabet
// make many near misses, at every place, for both argument orders.
TEST(ScoringContainment, EqualsThePlainSearch) {
    std::mt19937 rng(11);
    const auto text = [&](std::size_t most) {
        std::string t(rng() % (most + 1), ' ');
        for (char& c : t) c = "ab "[rng() % 3];
        return t;
    };
    for (int n = 0; n < 20000; ++n) {
        std::string longer = text(40);
        std::string shorter = text(20);
        if (n % 4 == 0 && !longer.empty()) {
            const std::size_t at = rng() % longer.size();
            shorter = longer.substr(at, rng() % (longer.size() - at + 1));
        }
        ASSERT_EQ(refsieve::reference::one_contains_other(longer, shorter),
                  scoring::one_contains_other(longer, shorter))
            << "'" << longer << "' and '" << shorter << "'";
        ASSERT_EQ(scoring::one_contains_other(longer, shorter), scoring::one_contains_other(shorter, longer));
    }
}

TEST(ScoringKeywords, ListOrderAndSpelling) {
    ASSERT_EQ(2u, refsieve::TITLE_KEYWORDS.size());
    EXPECT_EQ("errata", refsieve::TITLE_KEYWORDS[0]);
    EXPECT_EQ("review", refsieve::TITLE_KEYWORDS[1]);
}

TEST(ScoringKeywords, DetectedAfterLowercasing) {
    // Both normalise to 'errata': equal keyword sets, ratio 100, containment.
    EXPECT_TRUE(SameDouble(100.0, scored(titled("errata"), titled("ERRATA")).title_score));
    EXPECT_TRUE(SameDouble(100.0, scored(titled("REVIEW"), titled("Review")).title_score));
}

TEST(ScoringKeywords, PreviewCarriesReviewButOverviewDoesNot) {
    // 'preview' (7) against 'overview' (8): radius 3; r, e, v, i, e, w match,
    // pairs r/v and v/r are unequal so t = 1; no common prefix.
    const double r = ((6.0 / 7.0 + 6.0 / 8.0) + 5.0 / 6.0) / 3.0 * 100.0;
    ASSERT_TRUE(SameDouble(r, token_sort_ratio_f64("preview", "overview")));
    // Keyword sets of sizes 1 and 0: r - 50, no boost.
    EXPECT_TRUE(SameDouble((r - 50.0) * 0.5, scored(titled("Preview"), titled("Overview")).title_score));
    // 'interview' (9) against 'overview' (8): radius 3; e, r, v, i, e, w match
    // in order, t = 0, no common prefix. No keyword on either side, no
    // containment and a ratio under 85: the plain ratio.
    const double plain = ((6.0 / 9.0 + 6.0 / 8.0) + 6.0 / 6.0) / 3.0 * 100.0;
    EXPECT_TRUE(SameDouble(plain * 0.5, scored(titled("Interview"), titled("Overview")).title_score));
}

TEST(ScoringKeywords, ErratumIsNotErrata) {
    // 'erratum' (7) against 'errata' (6): radius 2; e, r, r, a, t match in
    // place, t = 0, prefix capped at 4. 'erratum' has no keyword and 'errata'
    // has one: 50 points off and no boost.
    const double sim = ((5.0 / 7.0 + 5.0 / 6.0) + 5.0 / 5.0) / 3.0;
    const double r = (sim + 0.4 * (1.0 - sim)) * 100.0;
    EXPECT_TRUE(SameDouble((r - 50.0) * 0.5, scored(titled("Erratum"), titled("Errata")).title_score));
    // Two 'reviewers' titles share the keyword: equal sets, full boost.
    EXPECT_TRUE(SameDouble(100.0, scored(titled("Reviewers"), titled("reviewers")).title_score));
}

// ------------------------------------------------------- worked titles

struct TitleCase {
    const char* subject;
    const char* candidate;
    double ratio;
    bool containment;
    unsigned ks;
    unsigned kc;
    double title_score;
};

void PrintTo(const TitleCase& c, std::ostream* os) { *os << "'" << c.subject << "' vs '" << c.candidate << "'"; }

class ScoringTitles : public ::testing::TestWithParam<TitleCase> {};

TEST_P(ScoringTitles, PiecesAndScore) {
    const TitleCase& c = GetParam();
    const std::string ns = normalize(c.subject);
    const std::string nc = normalize(c.candidate);
    EXPECT_TRUE(SameDouble(c.ratio, token_sort_ratio_f64(ns, nc))) << "ratio";
    EXPECT_EQ(c.containment, ns.find(nc) != std::string::npos || nc.find(ns) != std::string::npos);
    EXPECT_EQ(c.ks, scoring::keyword_set(ns));
    EXPECT_EQ(c.kc, scoring::keyword_set(nc));
    EXPECT_TRUE(SameDouble(c.title_score, scoring::title_score_from(c.ratio, c.containment, c.ks, c.kc)));

    const MatchResult got = scored(titled(c.subject), titled(c.candidate));
    expect_scores(got, c.title_score, 0.0, 0.0, 0.0, c.title_score);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ScoringTitles,
    ::testing::Values(
        TitleCase{"Data Mining", "Data Minning", 96.51515151515152, false, kNone, kNone, 98.25757575757575},
        TitleCase{"Data Mining", "Data Mining for the Web", 89.56521739130436, true, kNone, kNone, 94.78260869565219},
        TitleCase{"Data Mining", "Data Mining and Knowledge Discovery in Large Databases", 55.05050505050505, true,
                  kNone, kNone, 77.52525252525253},
        TitleCase{"Mining of Data", "Data Mining", 95.71428571428571, false, kNone, kNone, 97.85714285714286},
        TitleCase{"Errata: Data Mining", "Data Mining", 91.57894736842105, true, kErrata, kNone, 20.789473684210527},
        TitleCase{"Data Mining", "Data Mining: A Review", 78.06637806637808, true, kNone, kReview, 14.03318903318904},
        TitleCase{"Errata", "Review", 38.888888888888886, false, kErrata, kReview, 19.444444444444443},
        // 'abcd' against 'bacdx' has ratio exactly 85.0 and no containment: no boost.
        TitleCase{"abcd", "bacdx", 85.0, false, kNone, kNone, 42.5},
        // Case and spacing only: identical once normalised.
        TitleCase{"graph  methods in PRACTICE", "Graph Methods in Practice", 100.0, true, kNone, kNone, 100.0}));

TEST(ScoringTitleEdges, EmptyTitleOnEitherSideScoresZero) {
    Record full = subject_s();
    Record empty_title = candidate_like_s(1);
    empty_title.title = "";
    EXPECT_TRUE(SameDouble(0.0, scored(full, empty_title).title_score));
    EXPECT_TRUE(SameDouble(0.0, scored(empty_title, full).title_score));
    EXPECT_TRUE(SameDouble(0.0, scored(empty_title, empty_title).title_score));
    // Empty against blank: the empty side still decides.
    EXPECT_TRUE(SameDouble(0.0, scored(titled(""), titled("   ")).title_score));
    EXPECT_TRUE(SameDouble(0.0, scored(titled("   "), titled("")).title_score));
}

TEST(ScoringTitleEdges, BlankTitlesAreContainedButHaveZeroRatio) {
    // Both normalise to empty: ratio 0.0, containment, no keywords.
    EXPECT_TRUE(SameDouble(50.0, scored(titled("   "), titled("\t")).title_score));
    EXPECT_TRUE(SameDouble(50.0, scored(titled("\u3000"), titled("\u00a0 \n")).title_score));
    // Blank against a title: still contained (the empty text is in every text).
    EXPECT_TRUE(SameDouble(50.0, scored(titled(" "), titled("Graph Methods")).title_score));
    EXPECT_TRUE(SameDouble(50.0, scored(titled("Graph Methods"), titled(" ")).title_score));
    // ...but a keyword on the other side makes the sets differ: 0 - 50, clamped.
    EXPECT_TRUE(SameDouble(0.0, scored(titled(" "), titled("Review")).title_score));
    EXPECT_TRUE(SameDouble(0.0, scored(titled("Errata and Review"), titled(" ")).title_score));
}

// ------------------------------------------------------- worked authors

TEST(ScoringAuthors, WorkedPairs) {
    const struct {
        const char* subject;
        const char* candidate;
        double ratio;
        double score;
    } cases[] = {
        {"Smith, John", "john smith", 98.18181818181819, 59.45454545454545},
        {"Smith J", "Smith John", 78.14285714285714, 23.44285714285714},
        {"abcd", "bacdx", 85.0, 25.5},  // exactly the threshold: not boosted
        {"John  Smith", "smith JOHN", 100.0, 60.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.subject) + " / " + c.candidate);
        EXPECT_TRUE(SameDouble(c.ratio, token_sort_ratio_f64(c.subject, c.candidate)));
        expect_scores(scored(authored(c.subject), authored(c.candidate)), 0.0, c.score, 0.0, 0.0, c.score);
    }
}

TEST(ScoringAuthors, EmptyAndBlankAuthors) {
    // Blank authors are not empty and compare as two empty keys: ratio 100.
    EXPECT_TRUE(SameDouble(60.0, scored(authored("   "), authored("\t")).author_score));
    // Blank against a name: keys '' and 'smith', similarity 0.
    EXPECT_TRUE(SameDouble(0.0, scored(authored("   "), authored("Smith")).author_score));
    EXPECT_TRUE(SameDouble(0.0, scored(authored("Smith"), authored("   ")).author_score));
    // Empty on either side.
    EXPECT_TRUE(SameDouble(0.0, scored(authored(""), authored("Smith")).author_score));
    EXPECT_TRUE(SameDouble(0.0, scored(authored("Smith"), authored("")).author_score));
    EXPECT_TRUE(SameDouble(0.0, scored(authored(""), authored("")).author_score));
    EXPECT_TRUE(SameDouble(0.0, scored(authored(""), authored("   ")).author_score));
}

// ---------------------------------------------------------- date rule

struct DateCase {
    std::optional<std::int32_t> subject;
    std::optional<std::int32_t> candidate;
    double expected;
};

void PrintTo(const DateCase& c, std::ostream* os) {
    auto show = [os](const std::optional<std::int32_t>& y) {
        if (y)
            *os << *y;
        else
            *os << "none";
    };
    show(c.subject);
    *os << " vs ";
    show(c.candidate);
}

class ScoringDates : public ::testing::TestWithParam<DateCase> {};

TEST_P(ScoringDates, BothOrders) {
    const DateCase& c = GetParam();
    EXPECT_TRUE(SameDouble(c.expected, scoring::date_score(c.subject, c.candidate)));
    EXPECT_TRUE(SameDouble(c.expected, scoring::date_score(c.candidate, c.subject)));
    Record s;
    Record k;
    s.year = c.subject;
    k.year = c.candidate;
    expect_scores(scored(s, k), 0.0, 0.0, c.expected, 0.0, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Table, ScoringDates,
                         ::testing::Values(DateCase{2019, 2019, 10.0}, DateCase{2019, 2018, 9.0},
                                           DateCase{2019, 2017, 8.0}, DateCase{2019, 2016, 7.0},
                                           DateCase{2019, 2015, 3.0}, DateCase{2019, 2009, 0.0},
                                           DateCase{2009, 2010, 9.0}, DateCase{2010, 2019, 3.0},
                                           DateCase{2009, 2013, 0.0}, DateCase{2000, 2020, 0.0},
                                           // Division truncates toward zero: -5 / 10 and 5 / 10 are both 0.
                                           DateCase{-5, 5, 3.0}, DateCase{0, -9, 3.0}, DateCase{-15, -11, 3.0},
                                           DateCase{-20, -11, 0.0}, DateCase{-9, -10, 9.0}, DateCase{-1, 1, 8.0},
                                           DateCase{-10, -19, 3.0}, DateCase{-4, 5, 3.0}, DateCase{-6, 5, 3.0},
                                           // Extremes: the difference is exact, with no overflow.
                                           DateCase{kMinYear, kMaxYear, 0.0}, DateCase{kMinYear, kMinYear, 10.0},
                                           DateCase{kMaxYear, kMaxYear, 10.0}, DateCase{kMinYear, kMinYear + 1, 9.0},
                                           DateCase{kMinYear, kMinYear + 3, 7.0}, DateCase{kMinYear, kMinYear + 4, 3.0},
                                           DateCase{kMinYear, kMinYear + 9, 0.0}, DateCase{kMaxYear - 2, kMaxYear, 8.0},
                                           DateCase{kMaxYear - 4, kMaxYear, 3.0}, DateCase{kMinYear, 0, 0.0},
                                           DateCase{kMaxYear, -1, 0.0}, DateCase{kMinYear, 3, 0.0},
                                           // A missing year on either side.
                                           DateCase{std::nullopt, 2019, 0.0}, DateCase{std::nullopt, std::nullopt, 0.0},
                                           DateCase{std::nullopt, kMinYear, 0.0}, DateCase{0, std::nullopt, 0.0}));

// ------------------------------------------------------------ bonus rule

struct Ids {
    const char* doi = nullptr;
    const char* journal = nullptr;
    const char* volume = nullptr;
    const char* number = nullptr;
    const char* pages = nullptr;
    const char* publisher = nullptr;
};

Record with_ids(const Ids& ids) {
    Record r;
    r.doi = opt(ids.doi);
    r.journal = opt(ids.journal);
    r.volume = opt(ids.volume);
    r.number = opt(ids.number);
    r.pages = opt(ids.pages);
    r.publisher = opt(ids.publisher);
    return r;
}

struct BonusCase {
    const char* name;
    Ids subject;
    Ids candidate;
    double expected;
};

class ScoringBonus : public ::testing::TestWithParam<BonusCase> {};

TEST_P(ScoringBonus, Points) {
    const BonusCase& c = GetParam();
    expect_scores(scored(with_ids(c.subject), with_ids(c.candidate)), 0.0, 0.0, 0.0, c.expected, c.expected);
}

Ids jvn(const char* journal, const char* volume, const char* number) {
    Ids ids;
    ids.journal = journal;
    ids.volume = volume;
    ids.number = number;
    return ids;
}

Ids doi(const char* d) {
    Ids ids;
    ids.doi = d;
    return ids;
}

Ids pages(const char* p) {
    Ids ids;
    ids.pages = p;
    return ids;
}

Ids publisher(const char* p) {
    Ids ids;
    ids.publisher = p;
    return ids;
}

INSTANTIATE_TEST_SUITE_P(
    Fields, ScoringBonus,
    ::testing::Values(
        BonusCase{"doi_equal", doi("10.1000/example"), doi("10.1000/example"), 10.0},
        BonusCase{"doi_letter_case", doi("10.1000/example"), doi("10.1000/EXAMPLE"), 0.0},
        BonusCase{"doi_surrounding_space", doi(" 10.1000/example"), doi("10.1000/example"), 0.0},
        BonusCase{"doi_both_empty", doi(""), doi(""), 0.0},
        BonusCase{"doi_one_absent", doi("10.1000/example"), doi(nullptr), 0.0},
        BonusCase{"doi_both_blank", doi(" "), doi(" "), 10.0},
        BonusCase{"journal_volume_number", jvn("Journal of  Tests", "12", "3"), jvn("journal of tests", "12", "3"),
                  5.0},
        BonusCase{"journal_unicode_case", jvn("\u00c9TUDES \u039f\u0394\u039f\u03a3", "1", "2"),
                  jvn("\u00e9tudes \u03bf\u03b4\u03bf\u03c2", "1", "2"), 5.0},
        BonusCase{"number_missing_on_candidate", jvn("Journal of Tests", "12", "3"),
                  jvn("journal of tests", "12", nullptr), 0.0},
        BonusCase{"number_missing_on_subject", jvn("Journal of Tests", "12", nullptr),
                  jvn("journal of tests", "12", "3"), 0.0},
        BonusCase{"numbers_both_empty", jvn("Journal of Tests", "12", ""), jvn("journal of tests", "12", ""), 0.0},
        BonusCase{"number_empty_on_one_side", jvn("Journal of Tests", "12", "3"), jvn("journal of tests", "12", ""),
                  0.0},
        BonusCase{"numbers_both_absent", jvn("Journal of Tests", "12", nullptr), jvn("journal of tests", "12", nullptr),
                  0.0},
        BonusCase{"volumes_both_absent", jvn("Journal of Tests", nullptr, "3"), jvn("journal of tests", nullptr, "3"),
                  0.0},
        BonusCase{"volume_not_normalised", jvn("Journal of Tests", "12", "3"), jvn("journal of tests", "12 ", "3"),
                  0.0},
        BonusCase{"volume_letter_case", jvn("Journal of Tests", "XII", "3"), jvn("journal of tests", "xii", "3"), 0.0},
        BonusCase{"number_not_normalised", jvn("Journal of Tests", "12", "3"), jvn("journal of tests", "12", " 3"),
                  0.0},
        BonusCase{"journals_blank", jvn("   ", "12", "3"), jvn("   ", "12", "3"), 0.0},
        BonusCase{"journals_blank_and_empty", jvn("\t", "12", "3"), jvn("", "12", "3"), 0.0},
        BonusCase{"journals_empty", jvn("", "12", "3"), jvn("", "12", "3"), 0.0},
        BonusCase{"journal_absent_on_one_side", jvn(nullptr, "12", "3"), jvn("journal of tests", "12", "3"), 0.0},
        BonusCase{"journals_absent", jvn(nullptr, "12", "3"), jvn(nullptr, "12", "3"), 0.0},
        BonusCase{"journals_differ", jvn("Journal of Tests", "12", "3"), jvn("Journal of Test", "12", "3"), 0.0},
        BonusCase{"journal_alone", jvn("Journal of Tests", nullptr, nullptr), jvn("Journal of Tests", nullptr, nullptr),
                  0.0},
        BonusCase{"pages_equal", pages("1-10"), pages("1-10"), 2.0},
        BonusCase{"pages_en_dash", pages("1-10"), pages("1\u201310"), 0.0},
        BonusCase{"pages_not_normalised", pages(" 1-10"), pages("1-10"), 0.0},
        BonusCase{"pages_both_empty", pages(""), pages(""), 0.0},
        BonusCase{"pages_one_absent", pages(nullptr), pages("1-10"), 0.0},
        BonusCase{"publisher_token_order_and_case", publisher("Example Press"), publisher("press  EXAMPLE"), 1.0},
        BonusCase{"publisher_ratio_above_threshold", publisher("Smith, John"), publisher("john smith"), 1.0},
        BonusCase{"publisher_ratio_exactly_threshold", publisher("abcd"), publisher("bacdx"), 0.0},
        BonusCase{"publisher_ratio_below_threshold", publisher("Smith J"), publisher("Smith John"), 0.0},
        BonusCase{"publishers_blank", publisher("   "), publisher("\t"), 1.0},
        BonusCase{"publisher_blank_against_name", publisher("   "), publisher("Example"), 0.0},
        BonusCase{"publishers_empty", publisher(""), publisher(""), 0.0},
        BonusCase{"publisher_one_absent", publisher("Example Press"), publisher(nullptr), 0.0}),
    [](const ::testing::TestParamInfo<BonusCase>& info) { return std::string(info.param.name); });

// Every combination of the four kinds of points: the bonus is exactly the
// sum divided by ten, and the fields that do not agree add nothing.
TEST(ScoringBonusSums, AllSixteenAreExact) {
    const double tenths[] = {10.0, 5.0, 2.0, 1.0};  // DOI, journal+volume+number, pages, publisher
    for (unsigned mask = 0; mask < 16; ++mask) {
        Ids s;
        Ids c;
        s.doi = "10.1000/example";
        c.doi = (mask & 1) ? "10.1000/example" : "10.1000/other";
        s.journal = "Journal of Tests";
        c.journal = "JOURNAL OF TESTS";
        s.volume = "12";
        c.volume = "12";
        s.number = "3";
        c.number = (mask & 2) ? "3" : "4";
        s.pages = "1-10";
        c.pages = (mask & 4) ? "1-10" : "11-20";
        s.publisher = "Example Press";
        c.publisher = (mask & 8) ? "example press" : "Other House";
        double expected = 0.0;
        for (unsigned bit = 0; bit < 4; ++bit) {
            if (mask & (1u << bit)) expected += tenths[bit];
        }
        SCOPED_TRACE("mask " + std::to_string(mask));
        expect_scores(scored(with_ids(s), with_ids(c)), 0.0, 0.0, 0.0, expected, expected);
    }
}

// ----------------------------------------------------- whole records

TEST(ScoringRecords, IdenticalRecordsScoreTheMaximum) {
    const MatchResult got = scored(subject_s(), candidate_like_s(42));
    EXPECT_EQ(42u, got.candidate_index);
    expect_scores(got, 100.0, 60.0, 10.0, 18.0, 188.0);
}

TEST(ScoringRecords, CaseAndSpacingOnlyWithoutIdentifiers) {
    Record c = candidate_like_s(43);
    c.title = "graph  methods in PRACTICE";
    c.year.reset();
    c.doi.reset();
    c.journal.reset();
    c.volume.reset();
    c.number.reset();
    c.pages.reset();
    c.publisher.reset();
    const MatchResult got = scored(subject_s(), c);
    EXPECT_EQ(43u, got.candidate_index);
    expect_scores(got, 100.0, 60.0, 0.0, 0.0, 160.0);
}

TEST(ScoringRecords, NoNumber) {
    Record c = candidate_like_s(44);
    c.number.reset();
    const MatchResult got = scored(subject_s(), c);
    EXPECT_EQ(44u, got.candidate_index);
    expect_scores(got, 100.0, 60.0, 10.0, 13.0, 183.0);
}

TEST(ScoringRecords, DoiInOtherCaseAndYearThreeOff) {
    Record c = candidate_like_s(45);
    c.doi = "10.1000/EXAMPLE";
    c.year = 2016;
    const MatchResult got = scored(subject_s(), c);
    EXPECT_EQ(45u, got.candidate_index);
    expect_scores(got, 100.0, 60.0, 7.0, 8.0, 175.0);
}

TEST(ScoringRecords, EmptyTitleAndAuthor) {
    Record c = candidate_like_s(46);
    c.title = "";
    c.author = "";
    const MatchResult got = scored(subject_s(), c);
    EXPECT_EQ(46u, got.candidate_index);
    expect_scores(got, 0.0, 0.0, 10.0, 18.0, 28.0);
}

TEST(ScoringRecords, BlankSubjectTitle) {
    Record s = subject_s();
    s.title = "   ";
    Record c = candidate_like_s(42);
    c.title = "Graph Methods";
    expect_scores(scored(s, c), 50.0, 60.0, 10.0, 18.0, 138.0);
    c.title = "Review";
    expect_scores(scored(s, c), 0.0, 60.0, 10.0, 18.0, 88.0);
}

TEST(ScoringRecords, CandidateIndexIsTheCandidatesOwnIndex) {
    for (std::uint64_t index :
         {std::uint64_t{0}, std::uint64_t{7}, std::uint64_t{1} << 53, std::numeric_limits<std::uint64_t>::max()}) {
        Record s = subject_s();
        s.index = 5;
        EXPECT_EQ(index, scored(s, candidate_like_s(index)).candidate_index);
        // Even for a candidate with nothing to score.
        Record bare;
        bare.index = index;
        EXPECT_EQ(index, scored(s, bare).candidate_index);
    }
}

TEST(ScoringRecords, ErrataInCapitalsAgainstPlainTitle) {
    // 'errata: data mining' contains 'data mining': containment, keyword sets
    // of sizes 0 and 1, so the ratio loses 50 points and gets no boost.
    const MatchResult got = scored(titled("ERRATA: Data Mining"), titled("Data Mining"));
    EXPECT_TRUE(SameDouble(20.789473684210527, got.title_score));
}

// ------------------------------------------------ properties over many pairs

class RecordGenerator {
public:
    explicit RecordGenerator(std::uint32_t seed) : rng_(seed) {}

    std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }
    bool chance(int percent) { return below(100) < static_cast<std::size_t>(percent); }

    std::string blank() {
        std::string out;
        const std::size_t n = 1 + below(3);
        for (std::size_t k = 0; k < n; ++k) out += kSeparators[below(std::size(kSeparators))];
        return out;
    }

    std::string text() {
        if (chance(8)) return "";
        if (chance(8)) return blank();
        std::string out;
        if (chance(15)) out += blank();
        const std::size_t words = 1 + below(6);
        for (std::size_t k = 0; k < words; ++k) {
            if (k > 0) out += kSeparators[below(std::size(kSeparators))];
            out += kWords[below(std::size(kWords))];
        }
        if (chance(15)) out += blank();
        return out;
    }

    std::optional<std::string> optional_text(const std::vector<std::string>& pool) {
        const std::size_t roll = below(100);
        if (roll < 20) return std::nullopt;
        if (roll < 28) return std::string();
        if (roll < 33) return blank();
        if (roll < 45) return text();
        return pool[below(pool.size())];
    }

    std::optional<std::int32_t> year() {
        static const std::int32_t special[] = {
            kMinYear, kMinYear + 1, kMinYear + 4, kMaxYear, kMaxYear - 1, kMaxYear - 3, -11, -5, -1, 0, 1, 5,
            9,        2009,         2010,         2013,     2016,         2019};
        const std::size_t roll = below(100);
        if (roll < 20) return std::nullopt;
        if (roll < 55) return special[below(std::size(special))];
        if (roll < 90) return std::uniform_int_distribution<std::int32_t>(1990, 2025)(rng_);
        return std::uniform_int_distribution<std::int32_t>(kMinYear, kMaxYear)(rng_);
    }

    std::uint64_t index() { return std::uniform_int_distribution<std::uint64_t>()(rng_); }

    Record record() {
        Record r;
        r.index = index();
        r.title = text();
        r.author = chance(30) ? kAuthors[below(std::size(kAuthors))] : text();
        r.year = year();
        r.doi = optional_text({"10.1000/example", "10.1000/EXAMPLE", " 10.1000/example", "10.2000/x"});
        r.journal = optional_text({"Journal of Tests", "journal of  tests", "JOURNAL OF TESTS", "Other Journal",
                                   "\u00c9tudes", "\u00e9tudes"});
        r.volume = optional_text({"12", "12 ", "3", "XII"});
        r.number = optional_text({"3", "4", "3 "});
        r.pages = optional_text({"1-10", "1\u201310", "11-20"});
        r.publisher = optional_text({"Example Press", "press example", "Other House", "abcd", "bacdx"});
        return r;
    }

    // A copy of r with some fields drawn afresh, so that many pairs agree
    // on some fields and differ on others.
    Record variant(const Record& r) {
        Record v = r;
        const Record fresh = record();
        v.index = fresh.index;
        if (chance(30)) v.title = fresh.title;
        if (chance(30)) v.author = fresh.author;
        if (chance(30)) v.year = fresh.year;
        if (chance(30)) v.doi = fresh.doi;
        if (chance(30)) v.journal = fresh.journal;
        if (chance(30)) v.volume = fresh.volume;
        if (chance(30)) v.number = fresh.number;
        if (chance(30)) v.pages = fresh.pages;
        if (chance(30)) v.publisher = fresh.publisher;
        if (chance(20)) v.title = normalize(v.title);
        return v;
    }

private:
    static constexpr const char* kSeparators[] = {" ", "  ", "\t", "\u00a0", "\u3000", "\n"};
    static constexpr const char* kWords[] = {"Graph",
                                             "graph",
                                             "Methods",
                                             "METHODS",
                                             "in",
                                             "Practice",
                                             "Data",
                                             "Mining",
                                             "Minning",
                                             "of",
                                             "the",
                                             "errata",
                                             "Errata:",
                                             "ERRATA",
                                             "review",
                                             "Review",
                                             "preview",
                                             "overview",
                                             "interview",
                                             "reviewers",
                                             "peer-reviewed",
                                             "erratum",
                                             "caf\u00e9",
                                             "CAF\u00c9",
                                             "\u039f\u0394\u039f\u03a3",
                                             "\u03bf\u03b4\u03bf\u03c2",
                                             "\u0130stanbul",
                                             "\u65e5\u672c\u8a9e",
                                             "\U0001F600",
                                             "Smith,",
                                             "John",
                                             "J",
                                             "a\u200bb",
                                             "abcd",
                                             "bacdx"};
    static constexpr const char* kAuthors[] = {"Smith, John", "john smith", "Smith J", "Smith John", "Author A", "   "};
    std::mt19937 rng_;
};

bool present(const std::optional<std::string>& s) { return s && !s->empty(); }
bool agree(const std::optional<std::string>& a, const std::optional<std::string>& b) {
    return present(a) && present(b) && *a == *b;
}

// What the bonus must be made of, judged field by field.
double expected_bonus(const Record& s, const Record& c) {
    double points = 0.0;
    if (agree(s.doi, c.doi)) points += 10.0;
    if (s.journal && c.journal) {
        const std::string js = normalize(*s.journal);
        if (!js.empty() && js == normalize(*c.journal) && agree(s.volume, c.volume) && agree(s.number, c.number)) {
            points += 5.0;
        }
    }
    if (agree(s.pages, c.pages)) points += 2.0;
    if (present(s.publisher) && present(c.publisher) && token_sort_ratio_f64(*s.publisher, *c.publisher) > 85.0) {
        points += 1.0;
    }
    return points;
}

double expected_date(const std::optional<std::int32_t>& ys, const std::optional<std::int32_t>& yc) {
    if (!ys || !yc) return 0.0;
    const std::int64_t d = std::abs(static_cast<std::int64_t>(*ys) - static_cast<std::int64_t>(*yc));
    if (d == 0) return 10.0;
    if (d == 1) return 9.0;
    if (d == 2) return 8.0;
    if (d == 3) return 7.0;
    return (*ys / 10 == *yc / 10) ? 3.0 : 0.0;
}

void check_invariants(const Record& s, const Record& c, const MatchResult& m) {
    static const std::set<double> kDates = {0.0, 3.0, 7.0, 8.0, 9.0, 10.0};
    static const std::set<double> kBonuses = {0.0,  1.0,  2.0,  3.0,  5.0,  6.0,  7.0,  8.0,
                                              10.0, 11.0, 12.0, 13.0, 15.0, 16.0, 17.0, 18.0};
    for (double v : {m.total_score, m.title_score, m.author_score, m.date_score, m.bonus_score}) {
        EXPECT_TRUE(std::isfinite(v)) << v;
        EXPECT_FALSE(std::signbit(v)) << v;
    }
    EXPECT_LE(m.total_score, 188.0);
    EXPECT_TRUE(SameDouble(((m.title_score + m.author_score) + m.date_score) + m.bonus_score, m.total_score));
    EXPECT_LE(m.title_score, 100.0);
    EXPECT_LE(m.author_score, 60.0);
    EXPECT_EQ(1u, kDates.count(m.date_score)) << m.date_score;
    EXPECT_EQ(1u, kBonuses.count(m.bonus_score)) << m.bonus_score;
    EXPECT_EQ(c.index, m.candidate_index);

    if (s.title.empty() || c.title.empty()) {
        EXPECT_TRUE(SameDouble(0.0, m.title_score));
    }
    if (s.author.empty() || c.author.empty()) {
        EXPECT_TRUE(SameDouble(0.0, m.author_score));
    }
    if (!s.title.empty() && !c.title.empty() && normalize(s.title) == normalize(c.title)) {
        EXPECT_TRUE(SameDouble(normalize(s.title).empty() ? 50.0 : 100.0, m.title_score));
    }
    if (!s.author.empty() && !c.author.empty() && normalize(s.author) == normalize(c.author)) {
        EXPECT_TRUE(SameDouble(60.0, m.author_score));
    }
    EXPECT_TRUE(SameDouble(expected_date(s.year, c.year), m.date_score));
    EXPECT_TRUE(SameDouble(expected_bonus(s, c), m.bonus_score));
}

// A record against itself: every rule reaches its maximum for every field
// that is there to be compared.
void check_self(const Record& r) {
    const MatchResult m = scored(r, r);
    const double title = r.title.empty() ? 0.0 : (normalize(r.title).empty() ? 50.0 : 100.0);
    const double author = r.author.empty() ? 0.0 : 60.0;
    const double date = r.year ? 10.0 : 0.0;
    double bonus = 0.0;
    if (present(r.doi)) bonus += 10.0;
    if (r.journal && !normalize(*r.journal).empty() && present(r.volume) && present(r.number)) bonus += 5.0;
    if (present(r.pages)) bonus += 2.0;
    if (present(r.publisher)) bonus += 1.0;
    expect_scores(m, title, author, date, bonus, ((title + author) + date) + bonus);
    EXPECT_EQ(r.index, m.candidate_index);
}

TEST(ScoringProperties, HoldForGeneratedRecordPairs) {
    RecordGenerator gen(0x5eed2024u);
    for (int iteration = 0; iteration < 4000; ++iteration) {
        const Record s = gen.record();
        const Record c = gen.chance(50) ? gen.variant(s) : gen.record();
        SCOPED_TRACE("pair " + std::to_string(iteration) + ": '" + s.title + "' / '" + c.title + "'");
        const MatchResult m = scored(s, c);
        check_invariants(s, c, m);
        EXPECT_EQ(m, scored(s, c));  // the same inputs, the same bits
        check_self(s);
        check_self(c);
        if (::testing::Test::HasFailure()) break;
    }
}

}  // namespace
