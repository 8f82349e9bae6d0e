#include "batch/score_batch.hpp"

#include "core/scoring.hpp"

namespace refsieve::batch {

void SelectionHeap::sift_up(std::size_t hole, const MatchResult& item) {
    while (hole > 0) {
        const std::size_t parent = (hole - 1) / 2;
        if (!(item.total_score > items_[parent].total_score)) break;
        items_[hole] = items_[parent];
        hole = parent;
    }
    items_[hole] = item;
}

void SelectionHeap::push(const MatchResult& result) {
    items_.push_back(result);
    sift_up(items_.size() - 1, result);
}

std::optional<MatchResult> SelectionHeap::pop() {
    if (items_.empty()) return std::nullopt;
    const MatchResult last = items_.back();
    items_.pop_back();
    const std::size_t size = items_.size();
    if (size == 0) return last;

    const MatchResult top = items_[0];
    std::size_t hole = 0;
    std::size_t child = 1;
    while (child + 2 <= size) {  // both children exist
        if (items_[child].total_score <= items_[child + 1].total_score) ++child;
        items_[hole] = items_[child];
        hole = child;
        child = 2 * hole + 1;
    }
    if (child == size - 1) {
        items_[hole] = items_[child];
        hole = child;
    }
    sift_up(hole, last);
    return top;
}

namespace {

const BibItemData* find_same_doi(const std::string& doi, std::span<const BibItemData> candidates) {
    for (const BibItemData& candidate : candidates) {
        if (candidate.doi && *candidate.doi == doi) return &candidate;
    }
    return nullptr;
}

} // namespace

SubjectMatchResult score_subject(std::uint64_t position, const BibItemData& subject, const MatchContext& context) {
    SubjectMatchResult result;
    result.subject_index = position;
    result.candidates_searched = context.candidate_count;

    if (subject.doi && !subject.doi->empty()) {
        if (const BibItemData* same = find_same_doi(*subject.doi, context.candidates)) {
            result.matches.push_back(score_candidate(subject, *same));
            return result;
        }
    }

    SelectionHeap heap;
    for (const BibItemData& candidate : context.candidates) {
        const MatchResult scored = score_candidate(subject, candidate);
        if (scored.total_score >= context.min_score) heap.push(scored);
    }
    result.matches.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(heap.size(), context.top_n)));
    for (std::uint64_t popped = 0; popped < context.top_n; ++popped) {
        std::optional<MatchResult> best = heap.pop();
        if (!best) break;
        result.matches.push_back(*best);
    }
    return result;
}

BatchOutcome score_all(std::span<const BibItemData> subjects, std::span<const BibItemData> candidates,
                       std::uint64_t top_n, double min_score) {
    std::string pool_error;
    ThreadPool* pool = global_pool(&pool_error);
    if (pool == nullptr) return BatchFailure{std::move(pool_error)};

    const MatchContext context{candidates, top_n, min_score, candidates.size()};
    std::vector<SubjectMatchResult> results(subjects.size());
    const std::optional<TaskFault> fault = pool->parallel_for(subjects.size(), [&](std::size_t lo, std::size_t hi) {
        for (std::size_t i = lo; i < hi; ++i) results[i] = score_subject(i, subjects[i], context);
    });
    if (fault) return BatchFailure{fault->message};
    return results;
}

} // namespace refsieve::batch
