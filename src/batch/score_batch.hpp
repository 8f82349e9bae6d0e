// Batch scoring: every subject against every candidate, on the worker pool.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "batch/thread_pool.hpp"
#include "core/prepared.hpp"
#include "core/record.hpp"

namespace refsieve::batch {

// The best candidates for one subject, best first.
struct SubjectMatchResult {
    std::uint64_t subject_index = 0;  // position in the subjects list
    std::vector<MatchResult> matches;
    std::uint64_t candidates_searched = 0;
};

// What every per-subject task reads: shared, read-only.
struct MatchContext {
    std::span<const BibItemData> candidates;
    std::uint64_t top_n;
    double min_score;
    std::uint64_t candidate_count;
};

// A max-heap of results on total_score whose pop order among equal scores
// is fixed: pop carries the last element down to a leaf, then sifts it up.
class SelectionHeap {
public:
    void push(const MatchResult& result);
    std::optional<MatchResult> pop();
    std::size_t size() const noexcept { return items_.size(); }
    // Empties the heap, keeping its storage for the next subject.
    void clear() noexcept { items_.clear(); }

private:
    void sift_up(std::size_t hole, const MatchResult& item);
    std::vector<MatchResult> items_;
};

// The DOI shortcut, or every candidate scored, thresholded and the top_n
// best selected. The straightforward step: score_candidate for every pair.
SubjectMatchResult score_subject(std::uint64_t position, const BibItemData& subject, const MatchContext& context);

// Working storage that one thread reuses from subject to subject.
struct SubjectScratch {
    JaroScratch jaro;
    SelectionHeap heap;
};

// The same step on the fast path: prepared[k] is candidate k of the context
// prepared for Side::candidate. Returns what score_subject returns.
SubjectMatchResult score_subject_prepared(std::uint64_t position, const BibItemData& subject,
                                          std::span<const PreparedRecord> prepared, const MatchContext& context,
                                          SubjectScratch& scratch);

// The outcome of a batch: one result per subject in subject order, or the
// reason the batch was voided.
struct BatchFailure {
    std::optional<std::string> message;
};
using BatchOutcome = std::variant<std::vector<SubjectMatchResult>, BatchFailure>;

// Scores every subject on the process-wide pool (creating it if needed),
// on the fast path: each candidate is prepared once, on the pool, and
// shared read-only by all subjects; nothing prepared outlives the call.
BatchOutcome score_all(std::span<const BibItemData> subjects, std::span<const BibItemData> candidates,
                       std::uint64_t top_n, double min_score);

}  // namespace refsieve::batch
