#include "batch/score_batch.hpp"

#include <algorithm>

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

// Position of the first candidate whose DOI equals doi byte for byte.
std::optional<std::size_t> find_same_doi(const std::string& doi, std::span<const BibItemData> candidates) {
    for (std::size_t k = 0; k < candidates.size(); ++k) {
        if (candidates[k].doi && *candidates[k].doi == doi) return k;
    }
    return std::nullopt;
}

// The DOI shortcut applies: the subject has a DOI and some candidate the same.
std::optional<std::size_t> doi_shortcut(const BibItemData& subject, std::span<const BibItemData> candidates) {
    if (!subject.doi || subject.doi->empty()) return std::nullopt;
    return find_same_doi(*subject.doi, candidates);
}

// Pops at most top_n results, best first.
std::vector<MatchResult> take_best(SelectionHeap& heap, std::uint64_t top_n) {
    std::vector<MatchResult> best;
    best.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(heap.size(), top_n)));
    for (std::uint64_t popped = 0; popped < top_n; ++popped) {
        std::optional<MatchResult> next = heap.pop();
        if (!next) break;
        best.push_back(*next);
    }
    return best;
}

SubjectMatchResult empty_result(std::uint64_t position, const MatchContext& context) {
    SubjectMatchResult result;
    result.subject_index = position;
    result.candidates_searched = context.candidate_count;
    return result;
}

}  // namespace

SubjectMatchResult score_subject(std::uint64_t position, const BibItemData& subject, const MatchContext& context) {
    SubjectMatchResult result = empty_result(position, context);
    if (const std::optional<std::size_t> same = doi_shortcut(subject, context.candidates)) {
        result.matches.push_back(score_candidate(subject, context.candidates[*same]));
        return result;
    }
    SelectionHeap heap;
    for (const BibItemData& candidate : context.candidates) {
        const MatchResult scored = score_candidate(subject, candidate);
        if (scored.total_score >= context.min_score) heap.push(scored);
    }
    result.matches = take_best(heap, context.top_n);
    return result;
}

SubjectMatchResult score_subject_prepared(std::uint64_t position, const BibItemData& subject,
                                          std::span<const PreparedRecord> prepared, const MatchContext& context,
                                          SubjectScratch& scratch) {
    SubjectMatchResult result = empty_result(position, context);
    const PreparedRecord prepared_subject = prepare_record(subject, Side::subject);
    if (const std::optional<std::size_t> same = doi_shortcut(subject, context.candidates)) {
        result.matches.push_back(score_prepared(prepared_subject, prepared[*same], scratch.jaro));
        return result;
    }
    SelectionHeap& heap = scratch.heap;
    heap.clear();
    for (const PreparedRecord& candidate : prepared) {
        if (std::optional<MatchResult> kept =
                score_prepared_if_kept(prepared_subject, candidate, context.min_score, scratch.jaro)) {
            heap.push(*kept);
        }
    }
    result.matches = take_best(heap, context.top_n);
    return result;
}

BatchOutcome score_all(std::span<const BibItemData> subjects, std::span<const BibItemData> candidates,
                       std::uint64_t top_n, double min_score) {
    std::string pool_error;
    ThreadPool* pool = global_pool(&pool_error);
    if (pool == nullptr) return BatchFailure{std::move(pool_error)};

    const MatchContext context{candidates, top_n, min_score, candidates.size()};
    std::vector<SubjectMatchResult> results(subjects.size());
    if (subjects.empty()) return results;

    std::vector<PreparedRecord> prepared(candidates.size());
    std::optional<TaskFault> fault = pool->parallel_for(candidates.size(), [&](std::size_t lo, std::size_t hi) {
        for (std::size_t k = lo; k < hi; ++k) prepared[k] = prepare_record(candidates[k], Side::candidate);
    });
    if (fault) return BatchFailure{fault->message};

    fault = pool->parallel_for(subjects.size(), [&](std::size_t lo, std::size_t hi) {
        SubjectScratch scratch;  // one per range, reused for every subject in it
        for (std::size_t i = lo; i < hi; ++i) {
            results[i] = score_subject_prepared(i, subjects[i], prepared, context, scratch);
        }
    });
    if (fault) return BatchFailure{fault->message};
    return results;
}

}  // namespace refsieve::batch
