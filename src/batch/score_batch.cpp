#include "batch/score_batch.hpp"

#include "batch/thread_pool.hpp"
#include "core/scoring.hpp"

namespace refsieve::batch {

SubjectMatchResult score_subject(std::uint64_t position, const BibItemData& subject,
                                 std::span<const PreparedRecord> prepared, const MatchContext& context,
                                 SubjectScratch& scratch) {
    SubjectMatchResult result = unscored_result(position, context);
    const PreparedRecord prepared_subject = prepare_record(subject, Side::subject);
    if (const std::optional<std::size_t> same = doi_shortcut(subject, context.candidates)) {
        result.matches.push_back(score_candidate(prepared_subject, prepared[*same], scratch.jaro));
        return result;
    }
    SelectionHeap& heap = scratch.heap;
    heap.clear();
    for (const PreparedRecord& candidate : prepared) {
        if (std::optional<MatchResult> kept =
                score_candidate_if_kept(prepared_subject, candidate, context.min_score, scratch.jaro)) {
            heap.push(*kept);
        }
    }
    result.matches = take_best(heap, context.top_n);
    return result;
}

std::vector<SubjectMatchResult> score_all(std::span<const BibItemData> subjects,
                                          std::span<const BibItemData> candidates, std::uint64_t top_n,
                                          double min_score) {
    ThreadPool& pool = global_pool();
    const MatchContext context{candidates, top_n, min_score};
    std::vector<SubjectMatchResult> results(subjects.size());
    if (subjects.empty()) return results;

    std::vector<PreparedRecord> prepared(candidates.size());
    pool.parallel_for(candidates.size(), [&](std::size_t lo, std::size_t hi) {
        for (std::size_t k = lo; k < hi; ++k) prepared[k] = prepare_record(candidates[k], Side::candidate);
    });
    pool.parallel_for(subjects.size(), [&](std::size_t lo, std::size_t hi) {
        SubjectScratch scratch;  // one per range, reused for every subject in it
        for (std::size_t i = lo; i < hi; ++i) {
            results[i] = score_subject(i, subjects[i], prepared, context, scratch);
        }
    });
    return results;
}

}  // namespace refsieve::batch
