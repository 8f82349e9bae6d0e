// The shipped scoring against the straightforward reference: the
// bit-parallel Jaro against the textbook one, the sorted token keys and
// token_sort_ratio_f64 against the reference's, score_candidate on prepared
// records against the reference's on random and bundled records, and whole
// batches against the reference's score_subject. Every value must be
// identical bit for bit.
#include <gtest/gtest.h>

#include "same_double.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <limits>
#include <optional>
#include <random>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "batch/score_batch.hpp"
#include "core/cpu_dispatch.hpp"
#include "core/jaro.hpp"
#include "core/jaro_bitparallel.hpp"
#include "core/normalize.hpp"
#include "core/prepared.hpp"
#include "core/scoring.hpp"
#include "core/token_key.hpp"
#include "core/token_sort.hpp"
#include "core/utf8.hpp"
#include "engine/matching.hpp"
#include "engine/record_store.hpp"
#include "reference/jaro.hpp"
#include "reference/score_subject.hpp"
#include "reference/scoring.hpp"
#include "reference/text.hpp"

namespace {

using namespace refsieve;

std::string describe(const Record& r) {
    const auto opt = [](const std::optional<std::string>& s) { return s ? "'" + *s + "'" : std::string("None"); };
    std::ostringstream out;
    out << "title='" << r.title << "' author='" << r.author << "' year=" << (r.year ? std::to_string(*r.year) : "None")
        << " doi=" << opt(r.doi) << " journal=" << opt(r.journal) << " volume=" << opt(r.volume)
        << " number=" << opt(r.number) << " pages=" << opt(r.pages) << " publisher=" << opt(r.publisher);
    return out.str();
}

// ---- Bit-parallel Jaro ------------------------------------------------------

std::vector<char32_t> random_sequence(std::mt19937& rng, std::size_t length, char32_t alphabet) {
    // Mostly small letters, now and then a code point beyond ASCII, so that
    // both kinds of mask lookup are used.
    std::uniform_int_distribution<std::uint32_t> pick(0, alphabet - 1);
    std::uniform_int_distribution<int> wide(0, 9);
    std::vector<char32_t> out(length);
    for (char32_t& c : out) c = (wide(rng) == 0 ? U'\U0001D400' : U'a') + pick(rng);
    return out;
}

TEST(BitParallelJaro, EqualsGenericJaroOnRandomSequences) {
    std::mt19937 rng(20250101);
    // Lengths around the word boundaries, and very unequal lengths.
    const std::size_t lengths[] = {0, 1, 2, 3, 4, 5, 7, 8, 15, 31, 63, 64, 65, 100, 127, 128, 129, 191, 200, 300};
    JaroScratch scratch;
    KeyPattern pattern;
    for (char32_t alphabet : {1u, 2u, 3u, 5u, 26u}) {
        for (std::size_t len_a : lengths) {
            for (std::size_t len_b : lengths) {
                for (int round = 0; round < 3; ++round) {
                    std::vector<char32_t> a = random_sequence(rng, len_a, alphabet);
                    std::vector<char32_t> b = random_sequence(rng, len_b, alphabet);
                    if (round == 2 && len_a == len_b) b = a;  // equal sequences take a shortcut
                    pattern.assign(b);
                    const std::span<const char32_t> sa(a), sb(b);
                    const double expected = reference::generic_jaro(sa, sb);
                    ASSERT_TRUE(SameDouble(expected, generic_jaro(sa, sb, pattern, scratch)))
                        << "A=" << len_a << " B=" << len_b << " alphabet=" << static_cast<unsigned>(alphabet);
                    ASSERT_TRUE(
                        SameDouble(winkler_adjust(expected, sa, sb), jaro_winkler(sa, sb, KeyPattern(sb), scratch)));
                }
            }
        }
    }
}

TEST(BitParallelJaro, EqualsJaroWinklerOnTexts) {
    const char* texts[] = {"martha", "marhta", "dwayne", "duane", "dixon", "dicksonx", "café", "cafe",
                           "abc",    "cba",    "",       "a",     "ΟΔΟΣ",  "οδος",     "𐐀𐐨x",  "x𐐨𐐀"};
    JaroScratch scratch;
    for (const char* a : texts) {
        for (const char* b : texts) {
            const std::vector<char32_t> ca = utf8::decode(a), cb = utf8::decode(b);
            EXPECT_TRUE(SameDouble(reference::jaro_winkler(a, b), jaro_winkler(ca, cb, KeyPattern(cb), scratch)))
                << "'" << a << "' vs '" << b << "'";
        }
    }
}

// ---- Random Unicode-heavy texts and records ---------------------------------

class TextGenerator {
public:
    explicit TextGenerator(std::uint32_t seed) : rng_(seed) {}

    bool chance(double p) { return std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < p; }
    std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }
    template <class T, std::size_t N>
    const T& pick(const T (&items)[N]) {
        return items[below(N)];
    }

    // A text of `words` tokens drawn from a small pool (so tokens repeat),
    // joined by assorted whitespace.
    std::string text(std::size_t words) {
        static const char* const kTokens[] = {
            "data",     "Data",     "DATA",        "mining",        "Minning", "of",      "the",
            "The",      "a",        "review",      "Review",        "REVIEWS", "preview", "overview",
            "errata",   "Errata:",  "erratum",     "peer-reviewed", "Smith,",  "J.",      "john",
            "Müller",   "ÉCOLE",    "école",       "Straße",        "STRASSE", "ẞ",       "K",
            "ΟΔΟΣ",     "ΣΑΣ",      "Σ",           "ΑΣ'Β",          "ΑΣ'",     "σοφία",   "İstanbul",
            "İ",        "i̇",        "𐐀𐐨",          "𝔘𝔫𝔦𝔠𝔬𝔡𝔢",       "😀",       "漢字",    "ﬁle",
            "a\u200Bb", "x\uFEFFy", "u\x1Fv",      "2020",          "-",       "&",       "zzz",
            "é",        "z",        "information", "informatics"};
        static const char* const kSpaces[] = {" ",      " ",      " ",      "  ",     "\t",    "\n",
                                              "\u00A0", "\u3000", "\u2028", "\u0085", "\u2009"};
        std::string out;
        if (chance(0.2)) out += pick(kSpaces);
        for (std::size_t w = 0; w < words; ++w) {
            if (w > 0) out += pick(kSpaces);
            out += pick(kTokens);
        }
        if (chance(0.2)) out += pick(kSpaces);
        return out;
    }

    // A title-like or author-like text: often empty or blank, sometimes
    // longer than 64 or 128 code points.
    std::string field_text(std::size_t typical_words) {
        const std::size_t roll = below(20);
        if (roll == 0) return "";
        if (roll == 1) return pick({" ", "   ", "\t\n", "\u3000"});
        if (roll == 2) return text(20 + below(30));  // long: past one and two mask words
        return text(1 + below(typical_words));
    }

    std::optional<std::string> optional_from(std::initializer_list<const char*> values) {
        if (chance(0.25)) return std::nullopt;
        const std::size_t k = below(values.size());
        return std::string(values.begin()[k]);
    }

    // A variation of text: the same, re-cased, re-ordered, one edit, a word
    // more or less, or something else entirely.
    std::string vary(const std::string& text_in, std::size_t typical_words) {
        std::string t = text_in;
        switch (below(8)) {
            case 0: return t;
            case 1: return t + " " + text(1);
            case 2: return text(1) + " " + t;
            case 3: {  // change, drop or insert one byte of an ASCII letter
                if (t.empty()) return t;
                const std::size_t at = below(t.size());
                if (static_cast<unsigned char>(t[at]) < 0x80) t[at] = static_cast<char>('a' + below(26));
                return t;
            }
            case 4: {  // swap the halves at a space
                const std::size_t space = t.find(' ');
                if (space == std::string::npos) return t;
                return t.substr(space + 1) + " " + t.substr(0, space);
            }
            case 5: {  // upper-case the ASCII letters
                for (char& c : t) {
                    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
                }
                return t;
            }
            case 6: {  // cut at a code point boundary near the middle
                std::size_t cut = t.size() / 2;
                while (cut > 0 && (static_cast<unsigned char>(t[cut]) & 0xC0) == 0x80) --cut;
                return t.substr(0, cut);
            }
            default: return field_text(typical_words);
        }
    }

    Record record(std::uint64_t index) {
        Record r;
        r.index = index;
        r.title = field_text(12);
        r.author = field_text(6);
        if (!chance(0.2))
            r.year = static_cast<std::int32_t>(pick({1999, 2000, 2009, 2010, 2013, 2015, 2019, 2020, -5, 5}));
        r.doi = optional_from({"", "10.1/a", "10.1/A", "10.1/b", " 10.1/b"});
        r.journal = optional_from({"", " ", "Journal of Tests", "journal of  tests", "JOURNAL OF TESTS", "Ἀρχεῖον"});
        r.volume = optional_from({"", "1", "12", "12 "});
        r.number = optional_from({"", "3", "4"});
        r.pages = optional_from({"", "1-10", "11-20"});
        r.publisher = optional_from(
            {"", " ", "Example Press", "press example", "EXAMPLE PRESS", "Other House", "Éditions Σ", "éditions σ"});
        return r;
    }

    // A candidate near to subject: each field kept, varied or replaced.
    Record near(const Record& subject, std::uint64_t index) {
        Record r = record(index);
        if (chance(0.8)) r.title = vary(subject.title, 12);
        if (chance(0.7)) r.author = vary(subject.author, 6);
        if (chance(0.6)) r.year = subject.year;
        if (chance(0.5)) r.doi = subject.doi;
        if (chance(0.6)) r.journal = subject.journal;
        if (chance(0.6)) r.volume = subject.volume;
        if (chance(0.6)) r.number = subject.number;
        if (chance(0.6)) r.pages = subject.pages;
        if (chance(0.6)) r.publisher = subject.publisher;
        return r;
    }

private:
    std::mt19937 rng_;
};

// The token key as the reference token_sort_ratio_f64 builds it.
std::vector<char32_t> reference_key(std::string_view text) {
    const std::string normalized = normalize(text);
    std::string joined;
    for (std::string_view token : reference::tokenize_and_sort(normalized)) {
        if (!joined.empty()) joined.push_back(' ');
        joined.append(token);
    }
    return utf8::decode(joined);
}

TEST(FastTokenSort, KeysAndRatiosEqualTheStraightforwardOnes) {
    TextGenerator gen(7);
    for (int round = 0; round < 4000; ++round) {
        const std::string s1 = gen.field_text(12);
        const std::string s2 = gen.chance(0.5) ? gen.vary(s1, 12) : gen.field_text(12);
        ASSERT_EQ(reference_key(s1), token_sort_key(s1)) << "'" << s1 << "'";
        ASSERT_TRUE(SameDouble(reference::token_sort_ratio_f64(s1, s2), token_sort_ratio_f64(s1, s2)))
            << "'" << s1 << "' vs '" << s2 << "'";
    }
    // Tokens that their first eight bytes do not order: equal, a prefix of
    // another, or with a NUL byte where the shorter one ends.
    using namespace std::string_literals;
    for (const std::string& text : {"a\0 a a\0\0 b a"s, "informatics information inform informatics x"s,
                                    "abcdefgh abcdefg abcdefghi abcdefgh\0 abcdefgh"s}) {
        ASSERT_EQ(reference_key(text), token_sort_key(text)) << "'" << text << "'";
    }
    // Texts too long for the kept working storage take the other branch.
    const std::string long1 = gen.text(900), long2 = gen.vary(long1, 12);
    EXPECT_TRUE(SameDouble(reference::token_sort_ratio_f64(long1, long2), token_sort_ratio_f64(long1, long2)));
}

// Thresholds around the total and at the ends of its range.
std::vector<double> thresholds_for(double total, TextGenerator& gen) {
    return {-std::numeric_limits<double>::infinity(),
            0.0,
            total,
            std::nextafter(total, -1e300),
            std::nextafter(total, 1e300),
            total - 10.0,
            total + 10.0,
            gen.below(190) * 1.0,
            188.0,
            std::numeric_limits<double>::quiet_NaN()};
}

// Every CPU path, from the loop that the batch runs.
void expect_same_scoring(const Record& subject, const Record& candidate, TextGenerator& gen, JaroScratch& scratch) {
    const MatchResult expected = reference::score_candidate(subject, candidate);
    const PreparedSubject s = prepare_subject(view_of(subject));
    const RecordView candidate_view = view_of(candidate);
    const CandidateCatalogue catalogue({&candidate_view, 1});
    ASSERT_TRUE(SameResult(expected, score_candidate(s, catalogue, 0, scratch)))
        << "subject: " << describe(subject) << "\ncandidate: " << describe(candidate);
    // The facts behind the scores give the same scores, and the ratios the reference computes.
    const PairFacts facts = pair_facts(s, catalogue, 0, scratch);
    ASSERT_TRUE(SameResult(expected, facts.scores)) << "facts, subject: " << describe(subject);
    if (facts.titles_compared) {
        const std::string ns = normalize(subject.title), nc = normalize(candidate.title);
        ASSERT_TRUE(
            SameDouble(facts.title_ratio, ns.empty() || nc.empty() ? 0.0 : reference::token_sort_ratio_f64(ns, nc)));
        ASSERT_EQ(facts.subject_contains_candidate, ns.find(nc) != std::string::npos);
        ASSERT_EQ(facts.candidate_contains_subject, nc.find(ns) != std::string::npos);
    }
    if (facts.authors_compared) {
        ASSERT_TRUE(SameDouble(facts.author_ratio, reference::token_sort_ratio_f64(subject.author, candidate.author)));
    }
    ASSERT_EQ(facts.year_gap.has_value(), subject.year.has_value() && candidate.year.has_value());
    std::vector<MatchResult> kept;
    for (const CpuPath path : supported_cpu_paths()) {
        for (double min_score : thresholds_for(expected.total_score, gen)) {
            kept.clear();
            score_range(path, s, catalogue, 0, 1, min_score, scratch, kept);
            ASSERT_EQ(kept.size(), expected.total_score >= min_score ? 1u : 0u)
                << "min_score " << min_score << " path " << cpu_path_name(path) << "\nsubject: " << describe(subject)
                << "\ncandidate: " << describe(candidate);
            if (!kept.empty()) {
                ASSERT_TRUE(SameResult(expected, kept[0])) << "path " << cpu_path_name(path);
            }
        }
    }
}

TEST(FastScoring, EqualsScoreCandidateOnRandomPairs) {
    TextGenerator gen(424242);
    JaroScratch scratch;  // shared across pairs, as in a batch
    for (int round = 0; round < 6000; ++round) {
        const Record subject = gen.record(static_cast<std::uint64_t>(round));
        const Record candidate = gen.chance(0.6) ? gen.near(subject, 100000u + round)
                                                 : gen.record(100000u + static_cast<std::uint64_t>(round));
        expect_same_scoring(subject, candidate, gen, scratch);
        if (::testing::Test::HasFatalFailure()) return;
    }
}

TEST(FastScoring, EqualsScoreCandidateOnIdenticalAndWhitespaceRecords) {
    TextGenerator gen(99);
    JaroScratch scratch;
    for (int round = 0; round < 500; ++round) {
        Record subject = gen.record(1);
        if (round % 3 == 0) subject.author = gen.pick({" ", "  \t", "\u3000"});
        if (round % 5 == 0) subject.title = gen.pick({" ", "   ", "\u2028"});
        Record candidate = subject;
        candidate.index = 2;
        expect_same_scoring(subject, candidate, gen, scratch);
        candidate.title = gen.vary(subject.title, 12);
        expect_same_scoring(subject, candidate, gen, scratch);
        if (::testing::Test::HasFatalFailure()) return;
    }
}

// ---- The bundled sample ---------------------------------------------------

// Reads the sample files: a JSON array of flat objects whose values are
// strings, integers or null.
class SampleReader {
public:
    explicit SampleReader(std::string text) : text_(std::move(text)) {}

    std::vector<Record> records() {
        std::vector<Record> out;
        expect('[');
        while (peek() != ']') {
            out.push_back(record());
            if (peek() == ',') ++pos_;
        }
        return out;
    }

private:
    Record record() {
        Record r;
        expect('{');
        while (peek() != '}') {
            const std::string key = *value_string();
            expect(':');
            const std::optional<std::string> value = value_string();
            if (key == "index")
                r.index = std::stoull(*value);
            else if (key == "title")
                r.title = *value;
            else if (key == "author")
                r.author = *value;
            else if (key == "year")
                r.year = value ? std::optional<std::int32_t>(std::stoi(*value)) : std::nullopt;
            else if (key == "doi")
                r.doi = value;
            else if (key == "journal")
                r.journal = value;
            else if (key == "volume")
                r.volume = value;
            else if (key == "number")
                r.number = value;
            else if (key == "pages")
                r.pages = value;
            else if (key == "publisher")
                r.publisher = value;
            if (peek() == ',') ++pos_;
        }
        ++pos_;
        return r;
    }

    // A string's text, a number's digits, or nothing for null.
    std::optional<std::string> value_string() {
        const char first = peek();
        if (first == 'n') {
            pos_ += 4;
            return std::nullopt;
        }
        std::string out;
        if (first != '"') {
            while (pos_ < text_.size() && (text_[pos_] == '-' || std::isdigit(static_cast<unsigned char>(text_[pos_]))))
                out.push_back(text_[pos_++]);
            return out;
        }
        ++pos_;
        for (char c; (c = text_.at(pos_++)) != '"';) {
            if (c != '\\') {
                out.push_back(c);
                continue;
            }
            const char escaped = text_.at(pos_++);
            if (escaped == 'u') {
                char32_t unit = static_cast<char32_t>(std::stoul(text_.substr(pos_, 4), nullptr, 16));
                pos_ += 4;
                if (unit >= 0xD800 && unit < 0xDC00) {  // a surrogate pair
                    const char32_t low = static_cast<char32_t>(std::stoul(text_.substr(pos_ + 2, 4), nullptr, 16));
                    pos_ += 6;
                    unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                }
                utf8::append(out, unit);
            } else {
                const std::string_view from = "\"\\/bfnrt", to = "\"\\/\b\f\n\r\t";
                out.push_back(to[from.find(escaped)]);
            }
        }
        return out;
    }

    char peek() {
        while (std::isspace(static_cast<unsigned char>(text_.at(pos_)))) ++pos_;
        return text_[pos_];
    }
    void expect(char c) {
        ASSERT_EQ(peek(), c) << "at byte " << pos_;
        ++pos_;
    }

    std::string text_;
    std::size_t pos_ = 0;
};

std::vector<Record> read_sample(const char* name) {
    std::ifstream in(std::string(REFSIEVE_SAMPLE_DIR) + "/" + name);
    std::stringstream text;
    text << in.rdbuf();
    return SampleReader(text.str()).records();
}

TEST(FastScoring, EqualsScoreCandidateOnTheBundledSample) {
    const std::vector<Record> references = read_sample("references.json");
    const std::vector<Record> catalogue = read_sample("catalogue.json");
    ASSERT_GE(references.size(), 10u);
    ASSERT_GE(catalogue.size(), 10u);
    std::vector<Record> all = references;
    all.insert(all.end(), catalogue.begin(), catalogue.end());
    TextGenerator gen(5);
    JaroScratch scratch;
    for (const Record& subject : all) {
        for (const Record& candidate : all) expect_same_scoring(subject, candidate, gen, scratch);
    }
}

// ---- What a prepared candidate can store -----------------------------------

struct FitCase {
    const char* what;
    std::string_view title;
    std::string_view author;
    std::optional<std::string_view> publisher;
    std::size_t most;
    bool fits;
};

// The sizes that preparation stores are counted after normalisation: the
// title in bytes, the keys in code points. \u023a (two bytes) lowercases to
// \u2c65 (three), \u00c0 (two bytes) to \u00e0 (two).
TEST(PreparedCandidateFits, CountsWhatPreparationStores) {
    ASSERT_EQ(normalize("\u023a\u023a").size(), 6u);
    const std::vector<FitCase> cases = {
        {"nothing stored", "", "", std::nullopt, 0, true},
        {"title at the limit", "ABCDE", "", std::nullopt, 5, true},
        {"title over the limit", "ABCDEF", "", std::nullopt, 5, false},
        {"whitespace collapsed first", "  a   b \t c  ", "", std::nullopt, 5, true},
        {"title longer once lowercased", "\u023a\u023a", "", std::nullopt, 5, false},
        {"title counted in bytes", "\u00c0\u00c0\u00c0", "", std::nullopt, 5, false},
        {"author key counted in code points", "", "\u00c0\u00c0\u00c0", std::nullopt, 5, true},
        {"ASCII author key counted in bytes", "", "abc def", std::nullopt, 6, false},
        {"publisher key over the limit", "", "", "abc def", 6, false},
        {"publisher key at the limit", "", "", "abc de", 6, true},
    };
    for (const FitCase& c : cases) {
        RecordView record;
        record.title = c.title;
        record.author = c.author;
        record.publisher = c.publisher;
        EXPECT_EQ(PreparedCandidate::fits(record, c.most), c.fits) << c.what;
    }
}

// ---- Whole batches ----------------------------------------------------------

struct Batch {
    std::vector<Record> subjects;
    std::vector<Record> candidates;
};

// Near-duplicates, exact copies (equal totals, so the heap order of ties
// matters) and unrelated records.
Batch random_batch(std::uint32_t seed, std::size_t n_subjects, std::size_t n_candidates) {
    TextGenerator gen(seed);
    Batch b;
    for (std::uint64_t k = 0; k < n_candidates; ++k) b.candidates.push_back(gen.record(1000 + k));
    for (std::uint64_t k = 0; k < n_candidates / 3; ++k) b.candidates.push_back(b.candidates[k]);
    for (std::uint64_t k = 0; k < n_candidates / 3; ++k) b.candidates.push_back(gen.near(b.candidates[k], 5000 + k));
    for (std::uint64_t k = 0; k < n_subjects; ++k) {
        b.subjects.push_back(k % 3 == 0 ? gen.record(k) : gen.near(b.candidates[gen.below(b.candidates.size())], k));
    }
    return b;
}

void expect_same_selection(const batch::SubjectMatchResult& expected, const batch::SubjectMatchResult& got) {
    ASSERT_EQ(expected.subject_index, got.subject_index);
    ASSERT_EQ(expected.candidates_searched, got.candidates_searched);
    ASSERT_EQ(expected.matches.size(), got.matches.size()) << "subject " << expected.subject_index;
    for (std::size_t k = 0; k < expected.matches.size(); ++k) {
        ASSERT_TRUE(SameResult(expected.matches[k], got.matches[k]))
            << "subject " << expected.subject_index << " match " << k;
    }
}

TEST(FastBatch, SelectsWhatTheStraightforwardStepSelectsOnEveryCpuPath) {
    const Batch b = random_batch(31337, 30, 60);
    const std::vector<RecordView> subjects = views_of(b.subjects);
    const std::vector<RecordView> candidates = views_of(b.candidates);
    const CandidateCatalogue catalogue(candidates);
    batch::SubjectScratch scratch;
    for (const double min_score : {-1e300, 60.0, 110.0}) {
        for (const std::uint64_t top_n : {std::uint64_t{0}, std::uint64_t{3}, std::uint64_t{1000}}) {
            const batch::MatchContext context{candidates, top_n, min_score};
            for (std::size_t i = 0; i < subjects.size(); ++i) {
                const batch::SubjectMatchResult expected = reference::score_subject(i, subjects[i], context);
                for (const CpuPath path : supported_cpu_paths()) {
                    expect_same_selection(expected,
                                          batch::score_subject(path, i, subjects[i], catalogue, context, scratch));
                    if (::testing::Test::HasFatalFailure()) return;
                }
            }
        }
    }
}

// Also run under ThreadSanitizer: the prepared candidates are shared by the
// pool's threads.
// scripts/test runs this once more with REFSIEVE_CPU=baseline, which forces
// the batch onto the baseline path.
TEST(ScoreSubjectFastPath, ScoreAllOnThePoolSelectsWhatTheStraightforwardStepSelects) {
    const Batch b = random_batch(4711, 24, 30);
    const std::vector<RecordView> subjects = views_of(b.subjects);
    const std::vector<RecordView> candidates = views_of(b.candidates);
    batch::ThreadPool pool(3);
    const std::vector<batch::SubjectMatchResult> results = batch::score_all(pool, subjects, candidates, 5, 50.0);
    ASSERT_EQ(results.size(), subjects.size());
    const batch::MatchContext context{candidates, 5, 50.0};
    for (std::size_t i = 0; i < subjects.size(); ++i) {
        expect_same_selection(reference::score_subject(i, subjects[i], context), results[i]);
    }
    const char* requested = std::getenv("REFSIEVE_CPU");
    if (requested != nullptr && std::string_view(requested) == "baseline") {
        EXPECT_EQ(active_cpu_path(), CpuPath::baseline);
    }
}

struct CpuPathCase {
    const char* requested;
    std::vector<CpuPath> supported;
    CpuPath chosen;
    bool warned;
};

TEST(CpuDispatch, ChoosesTheRequestedPathOrTheBestSupportedOne) {
    using enum CpuPath;
    const std::vector<CpuPathCase> cases = {
        {nullptr, {baseline, avx2, avx512}, avx512, false},
        {"", {baseline, avx2}, avx2, false},
        {"baseline", {baseline, avx2, avx512}, baseline, false},
        {"avx2", {baseline, avx2, avx512}, avx2, false},
        {"avx512", {baseline, avx2}, avx2, true},
        {"avx2", {baseline}, baseline, true},
        {"AVX2", {baseline, avx2}, avx2, true},
        {"sse9", {baseline}, baseline, true},
    };
    for (const CpuPathCase& c : cases) {
        const CpuPathChoice choice = choose_cpu_path(c.requested, c.supported);
        const std::string requested = c.requested ? c.requested : "(unset)";
        EXPECT_EQ(choice.path, c.chosen) << requested;
        EXPECT_EQ(choice.warning.has_value(), c.warned) << requested;
        if (choice.warning) {
            EXPECT_EQ(choice.warning->find('\n'), std::string::npos);  // one line
            EXPECT_NE(choice.warning->find(cpu_path_name(c.chosen)), std::string::npos) << *choice.warning;
        }
    }
    const std::vector<CpuPath> here = supported_cpu_paths();
    ASSERT_FALSE(here.empty());
    EXPECT_EQ(here.front(), baseline);
}

// ---- The command's engine ---------------------------------------------------

namespace engine_tests {

engine::RecordStore store_of(const std::vector<Record>& records) {
    engine::RecordStore store({"key"});
    for (const Record& r : records) {
        const auto text = [](const std::optional<std::string>& t) {
            return t ? engine::OptionalText(*t) : engine::OptionalText();
        };
        std::string key = std::to_string(r.index);
        key.insert(key.begin(), 'k');
        const engine::OptionalText texts[] = {r.title,         r.author,          text(r.doi),
                                              text(r.journal), text(r.volume),    text(r.number),
                                              text(r.pages),   text(r.publisher), key};
        store.append(r.index, r.year, texts);
    }
    return store;
}

TEST(EngineRecordStore, KeepsEveryFieldAndTravelsWhole) {
    const Batch b = random_batch(5, 10, 40);
    const engine::RecordStore store = store_of(b.candidates);
    const std::optional<engine::RecordStore> copy = engine::RecordStore::deserialize(store.serialize());
    ASSERT_TRUE(copy);
    const std::vector<std::size_t> picked = {3, 0, 3};
    const engine::RecordStore part = store.subset(picked);
    for (std::size_t k = 0; k < store.size(); ++k) {
        const Record& r = b.candidates[k];
        for (const engine::RecordStore* s : {&store, &*copy}) {
            const RecordView v = s->view(k);
            ASSERT_EQ(v.index, r.index);
            ASSERT_EQ(v.title, r.title);
            ASSERT_EQ(v.author, r.author);
            ASSERT_EQ(v.year, r.year);
            ASSERT_EQ(v.doi.has_value(), r.doi.has_value());
            ASSERT_EQ(v.pages.value_or("-"), r.pages.value_or("-"));
            ASSERT_EQ(v.publisher.value_or("-"), r.publisher.value_or("-"));
            ASSERT_EQ(s->text(k, engine::RecordStore::kScoredTexts), "k" + std::to_string(r.index));
        }
    }
    ASSERT_EQ(part.size(), 3u);
    EXPECT_EQ(part.view(2).title, b.candidates[3].title);
    std::string bytes = store.serialize();
    EXPECT_FALSE(engine::RecordStore::deserialize(bytes.substr(0, bytes.size() - 3)));
    bytes[bytes.size() / 2] = '\xff';
    const std::optional<engine::RecordStore> damaged = engine::RecordStore::deserialize(bytes);
    EXPECT_TRUE(!damaged || damaged->size() == store.size());  // a text's bytes may change, never its shape
}

// Also run under ThreadSanitizer.
TEST(ScoreSubjectFastPath, EngineMatchKeepsWhatTheStraightforwardStepKeeps) {
    const Batch b = random_batch(2718, 30, 45);
    const engine::RecordStore subjects = store_of(b.subjects);
    const engine::RecordStore candidates = store_of(b.candidates);
    const std::vector<RecordView> subject_views = views_of(b.subjects);
    std::vector<RecordView> candidate_views = views_of(b.candidates);
    for (std::size_t k = 0; k < candidate_views.size(); ++k) candidate_views[k].index = k;  // positions
    batch::ThreadPool pool(3);
    for (const double min_score : {-1e300, 60.0}) {
        for (const std::uint64_t top_n : {std::uint64_t{0}, std::uint64_t{4}}) {
            engine::MatchOptions options;
            options.top_n = top_n;
            options.min_score = min_score;
            options.facts = true;
            engine::MatchControl control;
            control.while_waiting = [] {};
            const std::optional<engine::MatchColumns> found =
                engine::match_all(subjects, candidates, options, control, pool);
            ASSERT_TRUE(found);
            ASSERT_EQ(found->facts.size(), found->size());
            ASSERT_EQ(control.done.load(), subjects.size());
            std::size_t at = 0;
            const batch::MatchContext context{candidate_views, top_n, min_score};
            for (std::size_t i = 0; i < subject_views.size(); ++i) {
                const batch::SubjectMatchResult expected = reference::score_subject(i, subject_views[i], context);
                for (const MatchResult& match : expected.matches) {
                    ASSERT_LT(at, found->size());
                    ASSERT_EQ(found->subject[at], i);
                    ASSERT_EQ(found->candidate[at], match.candidate_index);
                    ASSERT_TRUE(SameDouble(found->total_score[at], match.total_score));
                    ASSERT_TRUE(SameResult(found->facts[at].scores, match));
                    ++at;
                }
            }
            ASSERT_EQ(at, found->size());
        }
    }
}

TEST(EngineMatch, WithinOneStoreNoRecordMeetsItselfAndStoppingEndsTheMatch) {
    const Batch b = random_batch(77, 5, 60);
    const engine::RecordStore records = store_of(b.candidates);
    batch::ThreadPool pool(2);
    engine::MatchOptions options;
    options.top_n = 1000;
    options.min_score = -1e300;
    options.doi_shortcut = false;
    options.subjects_at = 0;
    engine::MatchControl control;
    control.while_waiting = [] {};
    const std::optional<engine::MatchColumns> found = engine::match_all(records, records, options, control, pool);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->size(), records.size() * (records.size() - 1));
    for (std::size_t at = 0; at < found->size(); ++at) ASSERT_NE(found->subject[at], found->candidate[at]);

    engine::MatchControl stopped;
    stopped.stop = true;
    stopped.while_waiting = [] {};
    EXPECT_FALSE(engine::match_all(records, records, options, stopped, pool));
}

}  // namespace engine_tests

}  // namespace
