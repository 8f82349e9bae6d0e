#include "batch/score_batch.hpp"

#include <algorithm>

#include "batch/failure.hpp"
#include "core/scoring.hpp"

namespace refsieve::batch {
namespace {

// Candidates scored between two passes over the kept results: few enough
// that those stay in cache on their way into the heap.
constexpr std::size_t kCandidatesPerRange = 1024;

}  // namespace

void check_candidates_fit(std::span<const RecordView> candidates) {
    for (const RecordView& candidate : candidates) {
        if (!PreparedCandidate::fits(candidate)) fail("a text of 4 GiB or more cannot be scored");
    }
}

SubjectMatchResult score_subject(CpuPath path, std::uint64_t position, const RecordView& subject,
                                 const CandidateCatalogue& catalogue, const MatchContext& context,
                                 SubjectScratch& scratch) {
    SubjectMatchResult result = unscored_result(position, context);
    const PreparedSubject prepared_subject = prepare_subject(subject);
    if (const std::optional<std::size_t> same = doi_shortcut(subject, context.candidates)) {
        result.matches.push_back(score_candidate(prepared_subject, catalogue, *same, scratch.jaro));
        return result;
    }
    SelectionHeap& heap = scratch.heap;
    heap.clear();
    for (std::size_t lo = 0; lo < catalogue.size(); lo += kCandidatesPerRange) {
        const std::size_t hi = std::min(catalogue.size(), lo + kCandidatesPerRange);
        scratch.kept.clear();
        score_range(path, prepared_subject, catalogue, lo, hi, context.min_score, scratch.jaro, scratch.kept);
        for (const MatchResult& kept : scratch.kept) heap.push(kept);
    }
    result.matches = take_best(heap, context.top_n);
    return result;
}

SubjectMatchResult score_subject(std::uint64_t position, const RecordView& subject, const CandidateCatalogue& catalogue,
                                 const MatchContext& context, SubjectScratch& scratch) {
    return score_subject(active_cpu_path(), position, subject, catalogue, context, scratch);
}

std::vector<SubjectMatchResult> score_all(ThreadPool& pool, std::span<const RecordView> subjects,
                                          std::span<const RecordView> candidates, std::uint64_t top_n,
                                          double min_score) {
    const MatchContext context{candidates, top_n, min_score};
    std::vector<SubjectMatchResult> results(subjects.size());
    if (subjects.empty()) return results;
    check_candidates_fit(candidates);

    const CandidateCatalogue catalogue(candidates,
                                       [&](std::size_t blocks, const auto& body) { pool.parallel_for(blocks, body); });
    const CpuPath path = active_cpu_path();
    pool.parallel_for(subjects.size(), [&](std::size_t lo, std::size_t hi) {
        SubjectScratch scratch;  // one per range, reused for every subject in it
        for (std::size_t i = lo; i < hi; ++i) {
            results[i] = score_subject(path, i, subjects[i], catalogue, context, scratch);
        }
    });
    return results;
}

}  // namespace refsieve::batch
