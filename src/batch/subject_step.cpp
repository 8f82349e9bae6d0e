#include "batch/subject_step.hpp"

#include <algorithm>

namespace refsieve::batch {

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

SubjectMatchResult unscored_result(std::uint64_t position, const MatchContext& context) {
    SubjectMatchResult result;
    result.subject_index = position;
    result.candidates_searched = context.candidates.size();
    return result;
}

std::optional<std::size_t> doi_shortcut(const RecordView& subject, std::span<const RecordView> candidates) {
    if (!subject.doi || subject.doi->empty()) return std::nullopt;
    for (std::size_t k = 0; k < candidates.size(); ++k) {
        if (candidates[k].doi && *candidates[k].doi == *subject.doi) return k;
    }
    return std::nullopt;
}

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

}  // namespace refsieve::batch
