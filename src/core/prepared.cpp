#include "core/prepared.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "core/scoring.hpp"
#include "core/text.hpp"
#include "core/unicode.hpp"
#include "core/utf8.hpp"

namespace refsieve {
namespace {

bool is_ascii(std::string_view text) noexcept {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// normalize() of ASCII text, written into out: the same per-code-point
// table, without the rules that only non-ASCII code points reach (final
// sigma, the two-code-point lowercase of U+0130).
void normalize_ascii_into(std::string_view text, std::string& out) {
    out.resize(text.size());  // normalising never lengthens ASCII text
    char* const begin = out.data();
    char* next = begin;
    bool in_token = false;
    for (char byte : text) {
        const unicode::CharInfo info = unicode::char_info(static_cast<unsigned char>(byte));
        if (info.flags & unicode::kWhiteSpace) {
            in_token = false;
            continue;
        }
        if (!in_token && next != begin) *next++ = ' ';
        in_token = true;
        *next++ = static_cast<char>(static_cast<unsigned char>(byte) + info.lower_delta);
    }
    out.resize(static_cast<std::size_t>(next - begin));
}

void normalize_into(std::string_view text, std::string& out) {
    if (is_ascii(text)) {
        normalize_ascii_into(text, out);
    } else {
        out = normalize(text);
    }
}

// A token and its first eight bytes as a big-endian number (zero-padded):
// tokens whose numbers differ are ordered by them, as by their bytes.
struct SortToken {
    std::uint64_t prefix;
    std::string_view text;

    explicit SortToken(std::string_view token) : prefix(0), text(token) {
        for (std::size_t i = 0; i < 8; ++i) {
            prefix = (prefix << 8) | (i < token.size() ? static_cast<unsigned char>(token[i]) : 0u);
        }
    }
    // The order of tokenize_and_sort: bytes as unsigned, a prefix first.
    friend bool operator<(const SortToken& a, const SortToken& b) noexcept {
        return a.prefix != b.prefix ? a.prefix < b.prefix : a.text < b.text;
    }
};

// Builds sorted token keys, reusing its storage from key to key.
class KeyBuilder {
public:
    // The key of text.
    void build(std::string_view text, std::vector<char32_t>& key) {
        normalize_into(text, normalized_);
        build_normalized(normalized_, key);
    }

    // The key of a normalised text: its tokens are separated by single
    // U+0020 spaces, the only whitespace a normalised text holds.
    void build_normalized(std::string_view normalized, std::vector<char32_t>& key) {
        tokens_.clear();
        for (std::size_t start = 0; start < normalized.size();) {
            std::size_t end = normalized.find(' ', start);
            if (end == std::string_view::npos) end = normalized.size();
            tokens_.emplace_back(normalized.substr(start, end - start));
            start = end + 1;
        }
        std::sort(tokens_.begin(), tokens_.end());

        key.resize(normalized.size());  // at least the code point count
        char32_t* next = key.data();
        for (std::size_t t = 0; t < tokens_.size(); ++t) {
            if (t > 0) *next++ = U' ';
            const std::string_view token = tokens_[t].text;
            for (std::size_t i = 0; i < token.size();) *next++ = utf8::next(token, i);
        }
        key.resize(static_cast<std::size_t>(next - key.data()));
    }

private:
    std::string normalized_;
    std::vector<SortToken> tokens_;
};

PreparedKey prepare_key(const std::vector<char32_t>& code_points, Side side) {
    PreparedKey key;
    key.code_points = code_points;
    if (side == Side::candidate) key.pattern.assign(key.code_points);
    return key;
}

// ---- Scoring a pair -------------------------------------------------------

// contains(x, y) || contains(y, x): a text never contains a longer one,
// and of two texts of one length each contains the other exactly when
// they are equal, so only the longer one needs searching.
bool one_contains_other(std::string_view x, std::string_view y) {
    if (x.size() < y.size()) std::swap(x, y);
    return x.find(y) != std::string_view::npos;
}

// token_sort_ratio_f64 of two non-empty texts with these keys.
double key_ratio(const PreparedKey& subject, const PreparedKey& candidate, JaroScratch& scratch) {
    return jaro_winkler_bitparallel(subject.code_points, candidate.code_points, candidate.pattern, scratch) * 100.0;
}

double title_score(const PreparedRecord& s, const PreparedRecord& c, JaroScratch& scratch) {
    if (!s.has_title || !c.has_title) return 0.0;
    // token_sort_ratio_f64(ns, nc) is 0.0 when either normalised title is empty.
    const double ratio =
        s.normalized_title.empty() || c.normalized_title.empty() ? 0.0 : key_ratio(s.title_key, c.title_key, scratch);
    // Containment only decides the boost, and only when the keyword sets are
    // equal and the ratio alone does not earn it.
    const bool containment = s.title_keywords == c.title_keywords && !(ratio > scoring::kSimilarityThreshold) &&
                             one_contains_other(s.normalized_title, c.normalized_title);
    return scoring::title_score_from(ratio, containment, s.title_keywords, c.title_keywords);
}

double author_score(const PreparedRecord& s, const PreparedRecord& c, JaroScratch& scratch) {
    if (!s.has_author || !c.has_author) return 0.0;
    return scoring::author_score_from(key_ratio(s.author_key, c.author_key, scratch));
}

// The raw bonus points of DOI, journal with volume and number, and pages.
double points_before_publisher(const PreparedRecord& s, const PreparedRecord& c) {
    const BibItemData& sr = *s.record;
    const BibItemData& cr = *c.record;
    double points = 0.0;
    if (scoring::equal_and_present(sr.doi, cr.doi)) points = scoring::kDoiPoints;
    if (s.normalized_journal && c.normalized_journal && !s.normalized_journal->empty() &&
        *s.normalized_journal == *c.normalized_journal && scoring::equal_and_present(sr.volume, cr.volume) &&
        scoring::equal_and_present(sr.number, cr.number)) {
        points = points + scoring::kJournalVolumeNumberPoints;
    }
    if (scoring::equal_and_present(sr.pages, cr.pages)) points = points + scoring::kPagesPoints;
    return points;
}

double total_of(double title, double author, double date, double bonus) { return ((title + author) + date) + bonus; }

// Pruning by min_score. A candidate is kept when
//   total = ((title + author) + date) + bonus >= min_score.
// Rounded addition is non-decreasing in each operand (all partial scores
// are finite and non-negative), so the same sum with some partial scores
// replaced by upper bounds of them is >= the computed total; when it is < min_score, so is the total, and the candidate cannot
// be kept. The upper bounds:
// - every ratio is jaro_winkler * 100.0 <= 100.0: m <= min(A, B) keeps each
//   quotient of the Jaro value <= 1 and the value <= 1; for sim > 0.7,
//   1.0 - sim is exact and w * (1.0 - sim) with w < 1 rounds to at most
//   1.0 - sim, so the Winkler value is <= 1.0 too;
// - title_score_from is non-decreasing in the ratio and in containment for
//   fixed keyword sets: title_score_from(100.0, true, ks, kc) bounds it;
// - author_score_from is non-decreasing (its boosted branch starts above
//   where the plain one ends): author_score_from(100.0) bounds it;
// - the publisher adds 10.0 raw points or none: (points + 10.0) * 0.1
//   bounds the bonus.
// A NaN min_score fails every comparison: nothing is pruned or kept.
constexpr double kMaxRatio = 100.0;

}  // namespace

std::vector<char32_t> token_sort_key(std::string_view text) {
    KeyBuilder builder;
    std::vector<char32_t> key;
    builder.build(text, key);
    return key;
}

PreparedRecord prepare_record(const BibItemData& record, Side side) {
    KeyBuilder builder;
    std::vector<char32_t> key;
    PreparedRecord p;
    p.record = &record;
    p.has_title = !record.title.empty();
    if (p.has_title) {
        normalize_into(record.title, p.normalized_title);
        p.title_keywords = scoring::keyword_set(p.normalized_title);
        builder.build_normalized(p.normalized_title, key);
        p.title_key = prepare_key(key, side);
    }
    p.has_author = !record.author.empty();
    if (p.has_author) {
        builder.build(record.author, key);
        p.author_key = prepare_key(key, side);
    }
    p.has_publisher = record.publisher && !record.publisher->empty();
    if (p.has_publisher) {
        builder.build(*record.publisher, key);
        p.publisher_key = prepare_key(key, side);
    }
    if (record.journal) {
        p.normalized_journal.emplace();
        normalize_into(*record.journal, *p.normalized_journal);
    }
    return p;
}

std::optional<MatchResult> score_prepared_if_kept(const PreparedRecord& s, const PreparedRecord& c, double min_score,
                                                  JaroScratch& scratch) {
    MatchResult result;
    result.candidate_index = c.record->index;
    result.date_score = scoring::date_score(s.record->year, c.record->year);
    const double points = points_before_publisher(s, c);
    const bool publisher_compared = s.has_publisher && c.has_publisher;

    // The cheap parts are exact; bound the rest (see kMaxRatio).
    const double bonus_bound =
        (publisher_compared ? points + scoring::kPublisherPoints : points) * scoring::kBonusWeight;
    const double author_bound = s.has_author && c.has_author ? scoring::author_score_from(kMaxRatio) : 0.0;
    const double title_bound = s.has_title && c.has_title
                                   ? scoring::title_score_from(kMaxRatio, true, s.title_keywords, c.title_keywords)
                                   : 0.0;
    if (total_of(title_bound, author_bound, result.date_score, bonus_bound) < min_score) return std::nullopt;

    result.title_score = title_score(s, c, scratch);
    if (total_of(result.title_score, author_bound, result.date_score, bonus_bound) < min_score) return std::nullopt;

    result.author_score = author_score(s, c, scratch);
    if (total_of(result.title_score, result.author_score, result.date_score, bonus_bound) < min_score) {
        return std::nullopt;
    }

    const bool publisher_points =
        publisher_compared && key_ratio(s.publisher_key, c.publisher_key, scratch) > scoring::kSimilarityThreshold;
    result.bonus_score = (publisher_points ? points + scoring::kPublisherPoints : points) * scoring::kBonusWeight;
    result.total_score = total_of(result.title_score, result.author_score, result.date_score, result.bonus_score);
    if (!(result.total_score >= min_score)) return std::nullopt;
    return result;
}

MatchResult score_prepared(const PreparedRecord& subject, const PreparedRecord& candidate, JaroScratch& scratch) {
    // No total is NaN, so every total reaches -infinity and nothing is pruned.
    return *score_prepared_if_kept(subject, candidate, -std::numeric_limits<double>::infinity(), scratch);
}

namespace {

// What one fast_token_sort_ratio call works in.
struct TokenSortWork {
    KeyBuilder builder;
    std::vector<char32_t> key1;
    std::vector<char32_t> key2;
    KeyPattern pattern2;
    JaroScratch jaro;

    double ratio(std::string_view s1, std::string_view s2) {
        builder.build(s1, key1);
        builder.build(s2, key2);
        pattern2.assign(key2);
        return jaro_winkler_bitparallel(key1, key2, pattern2, jaro) * 100.0;
    }
};

// Texts up to this many bytes together use the calling thread's kept
// working storage; longer ones get their own, so nothing large is kept.
constexpr std::size_t kKeptWorkBytes = 4096;

}  // namespace

double fast_token_sort_ratio(std::string_view s1, std::string_view s2) {
    if (s1.empty() || s2.empty()) return 0.0;
    if (s1.size() + s2.size() <= kKeptWorkBytes) {
        thread_local TokenSortWork work;
        return work.ratio(s1, s2);
    }
    TokenSortWork work;
    return work.ratio(s1, s2);
}

}  // namespace refsieve
