// The fast scoring path: everything that depends on one record only is
// computed once (normalised title and journal, keyword set, sorted token
// keys and their bit masks), so that scoring a pair allocates nothing and
// runs the bit-parallel Jaro–Winkler. Every value equals, bit for bit, what
// score_candidate and token_sort_ratio_f64 return for the same inputs.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/jaro_bitparallel.hpp"
#include "core/record.hpp"

namespace refsieve {

// The sorted token key of a text, as code points: its normalised tokens,
// sorted by their bytes and joined by single spaces. token_sort_ratio_f64
// compares exactly these keys (normalize is idempotent, so the key of a
// normalised text is the key of the raw text).
std::vector<char32_t> token_sort_key(std::string_view text);

// A sorted token key, with its bit masks when it is compared as the second
// text of a similarity (the candidate's side).
struct PreparedKey {
    std::vector<char32_t> code_points;
    KeyPattern pattern;
};

// Which side of a comparison a record is prepared for: only candidates need
// the bit masks of their keys.
enum class Side { subject, candidate };

// One record's pair-independent scoring data. It refers to the record,
// which must outlive it.
struct PreparedRecord {
    const BibItemData* record = nullptr;
    bool has_title = false;  // title non-empty as given
    std::string normalized_title;
    unsigned title_keywords = 0;  // scoring::keyword_set of the normalised title
    PreparedKey title_key;
    bool has_author = false;  // author non-empty as given
    PreparedKey author_key;
    bool has_publisher = false;  // publisher present and non-empty
    PreparedKey publisher_key;
    std::optional<std::string> normalized_journal;  // when a journal is present
};

PreparedRecord prepare_record(const BibItemData& record, Side side);

// score_candidate(*subject.record, *candidate.record). The subject must be
// prepared for Side::subject or Side::candidate, the candidate for
// Side::candidate.
MatchResult score_prepared(const PreparedRecord& subject, const PreparedRecord& candidate, JaroScratch& scratch);

// The same result when its total_score >= min_score, otherwise nothing.
// Similarities are skipped once a proven upper bound of the total falls
// below min_score.
std::optional<MatchResult> score_prepared_if_kept(const PreparedRecord& subject, const PreparedRecord& candidate,
                                                  double min_score, JaroScratch& scratch);

// token_sort_ratio_f64(s1, s2), allocating nothing per call once the
// calling thread's working storage has grown (for ASCII texts).
double fast_token_sort_ratio(std::string_view s1, std::string_view s2);

}  // namespace refsieve
