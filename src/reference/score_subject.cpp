#include "reference/score_subject.hpp"

#include "core/scoring_rules.hpp"
#include "reference/scoring.hpp"

namespace refsieve::reference {

batch::SubjectMatchResult score_subject(std::uint64_t position, const RecordView& subject,
                                        const batch::MatchContext& context) {
    batch::SubjectMatchResult result = batch::unscored_result(position, context);
    if (const std::optional<std::size_t> same = batch::doi_shortcut(subject, context.candidates)) {
        result.matches.push_back(score_candidate(subject, context.candidates[*same]));
        return result;
    }
    batch::SelectionHeap heap;
    for (const RecordView& candidate : context.candidates) {
        const MatchResult scored = score_candidate(subject, candidate);
        if (scoring::reaches(scored.total_score, context.min_score)) heap.push(scored);
    }
    result.matches = batch::take_best(heap, context.top_n);
    return result;
}

}  // namespace refsieve::reference
