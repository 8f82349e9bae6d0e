// The pieces of the per-subject step that every way of running it shares:
// its result and context, the DOI shortcut, and the selection of the best
// candidates by a max-heap with a fixed order among equal scores.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

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
    std::span<const RecordView> candidates;
    std::uint64_t top_n;
    double min_score;
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

// Defined here so that the loop that pushes every kept result inlines them.
inline void SelectionHeap::sift_up(std::size_t hole, const MatchResult& item) {
    while (hole > 0) {
        const std::size_t parent = (hole - 1) / 2;
        if (!(item.total_score > items_[parent].total_score)) break;
        items_[hole] = items_[parent];
        hole = parent;
    }
    items_[hole] = item;
}

inline void SelectionHeap::push(const MatchResult& result) {
    items_.push_back(result);
    sift_up(items_.size() - 1, result);
}

// The result for the subject at position before any candidate is scored:
// no matches, every candidate counted as searched.
SubjectMatchResult unscored_result(std::uint64_t position, const MatchContext& context);

// The DOI shortcut: when the subject has a non-empty DOI, the position of
// the first candidate whose DOI equals it byte for byte.
std::optional<std::size_t> doi_shortcut(const RecordView& subject, std::span<const RecordView> candidates);

// Pops at most top_n results, best first.
std::vector<MatchResult> take_best(SelectionHeap& heap, std::uint64_t top_n);

}  // namespace refsieve::batch
