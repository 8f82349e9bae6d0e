#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "batch/score_batch.hpp"
#include "core/prepared.hpp"

namespace refsieve::batch {
namespace {

MatchResult scored(std::uint64_t id, double total) {
    MatchResult r;
    r.candidate_index = id;
    r.total_score = total;
    return r;
}

std::vector<std::uint64_t> pop_all(SelectionHeap& heap) {
    std::vector<std::uint64_t> order;
    while (auto r = heap.pop()) order.push_back(r->candidate_index);
    return order;
}

struct TieCase {
    int count;
    std::vector<std::uint64_t> expected;
};

class HeapTies : public ::testing::TestWithParam<TieCase> {};

TEST_P(HeapTies, EqualScoresComeOutInTheHeapsOwnOrder) {
    SelectionHeap heap;
    for (int i = 0; i < GetParam().count; ++i) heap.push(scored(static_cast<std::uint64_t>(i), 50.0));
    EXPECT_EQ(pop_all(heap), GetParam().expected);
}

// Letters A, B, C, ... are candidates 0, 1, 2, ... in push order.
INSTANTIATE_TEST_SUITE_P(Cases, HeapTies,
                         ::testing::Values(TieCase{1, {0}}, TieCase{2, {0, 1}}, TieCase{3, {0, 1, 2}},
                                           TieCase{4, {0, 2, 1, 3}}, TieCase{5, {0, 2, 4, 1, 3}}));

TEST(SelectionHeap, PopsInDescendingScoreOrder) {
    std::mt19937 rng(1234);
    std::uniform_int_distribution<int> score(0, 20);
    for (int round = 0; round < 200; ++round) {
        SelectionHeap heap;
        std::vector<double> pushed;
        const int n = round % 37;
        for (int i = 0; i < n; ++i) {
            pushed.push_back(score(rng) * 0.5);
            heap.push(scored(static_cast<std::uint64_t>(i), pushed.back()));
        }
        EXPECT_EQ(heap.size(), static_cast<std::size_t>(n));
        std::vector<double> popped;
        while (auto r = heap.pop()) popped.push_back(r->total_score);
        std::sort(pushed.rbegin(), pushed.rend());
        EXPECT_EQ(popped, pushed);
        EXPECT_FALSE(heap.pop().has_value());
    }
}

// The per-subject step as the module runs it, on prepared candidates.
SubjectMatchResult run_step(std::uint64_t position, const Record& subject, const std::vector<Record>& candidates,
                            std::uint64_t top_n, double min_score) {
    const std::vector<RecordView> views = views_of(candidates);
    const CandidateCatalogue catalogue(views);
    SubjectScratch scratch;
    return score_subject(position, view_of(subject), catalogue, MatchContext{views, top_n, min_score}, scratch);
}

Record record(std::uint64_t index, std::string title, std::optional<std::string> doi = std::nullopt) {
    Record r;
    r.index = index;
    r.title = std::move(title);
    r.author = "Ada Lovelace";
    r.year = 1843;
    r.doi = std::move(doi);
    return r;
}

TEST(ScoreSubject, DoiShortcutTakesTheFirstEqualDoiAlone) {
    const std::vector<Record> candidates = {
        record(10, "Something else entirely", "10.1/x"),
        record(11, "Notes on the analytical engine", "10.1/x"),
        record(12, "Notes on the analytical engine"),
    };
    const Record subject = record(1, "Notes on the analytical engine", "10.1/x");
    const SubjectMatchResult result = run_step(5, subject, candidates, 0, 1000.0);
    EXPECT_EQ(result.subject_index, 5u);
    EXPECT_EQ(result.candidates_searched, 3u);
    ASSERT_EQ(result.matches.size(), 1u);
    EXPECT_EQ(result.matches[0].candidate_index, 10u);
}

TEST(ScoreSubject, ThresholdAndTopNSelectTheBest) {
    const std::vector<Record> candidates = {
        record(20, "Notes on the analytical engine"),
        record(21, "Unrelated"),
        record(22, "Notes on the analytical engines"),
    };
    const Record subject = record(1, "Notes on the analytical engine", "10.1/none");
    const SubjectMatchResult all = run_step(0, subject, candidates, 10, -1e300);
    ASSERT_EQ(all.matches.size(), 3u);
    EXPECT_EQ(all.matches[0].candidate_index, 20u);
    EXPECT_GE(all.matches[0].total_score, all.matches[1].total_score);
    EXPECT_GE(all.matches[1].total_score, all.matches[2].total_score);

    const SubjectMatchResult top1 = run_step(0, subject, candidates, 1, -1e300);
    ASSERT_EQ(top1.matches.size(), 1u);
    EXPECT_EQ(top1.matches[0], all.matches[0]);

    // A threshold equal to a score keeps it; NaN keeps nothing.
    const double second = all.matches[1].total_score;
    EXPECT_EQ(run_step(0, subject, candidates, 10, second).matches.size(), 2u);
    EXPECT_TRUE(run_step(0, subject, candidates, 10, std::nan("")).matches.empty());
}

}  // namespace
}  // namespace refsieve::batch
