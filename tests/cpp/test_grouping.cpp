// Grouping on the same-work decision: joins only along SAME pairs, never
// across a DIFFERENT pair, and no chain of links joins its far ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "engine/grouping.hpp"

namespace {

using namespace refsieve;
using same_work::Decision;
using same_work::Verdict;

// Decisions between members, by pair ("01" is members 0 and 1): S same, D
// different; every other pair is undecided.
using Decisions = std::map<std::pair<std::size_t, std::size_t>, char>;

std::vector<std::vector<std::uint32_t>> grouped(std::size_t n, const Decisions& decisions, double share = 0.5) {
    std::vector<std::uint32_t> members(n);
    for (std::uint32_t k = 0; k < n; ++k) members[k] = 10 + k;  // positions differ from indices
    auto groups = engine::merge_component(
        members,
        [&](std::size_t a, std::size_t b) {
            const auto found = decisions.find({a, b});
            if (found == decisions.end()) return Decision{};
            return found->second == 'S' ? Decision{Verdict::same, same_work::Reason::title_and_authors, 2.0}
                                        : Decision{Verdict::different, same_work::Reason::page_ranges, 0.0};
        },
        share);
    for (auto& group : groups) std::sort(group.begin(), group.end());
    std::sort(groups.begin(), groups.end());
    return groups;
}

using Groups = std::vector<std::vector<std::uint32_t>>;

TEST(Grouping, JoinsAlongSamePairsButNotAcrossTwoWorks) {
    // Three versions of one work, and one that is the same as the third but
    // two works with the first: it stays alone.
    EXPECT_EQ(grouped(4, {{{0, 1}, 'S'}, {{0, 2}, 'S'}, {{1, 2}, 'S'}, {{2, 3}, 'S'}, {{0, 3}, 'D'}}),
              (Groups{{10, 11, 12}, {13}}));
}

TEST(Grouping, AChainOfLinksDoesNotJoinItsEnds) {
    // 0-1, 1-2, 2-3, 3-4 same, nothing else decided: the ends never meet.
    const Groups groups = grouped(5, {{{0, 1}, 'S'}, {{1, 2}, 'S'}, {{2, 3}, 'S'}, {{3, 4}, 'S'}});
    EXPECT_GT(groups.size(), 1u);
    for (const auto& group : groups) EXPECT_LE(group.size(), 3u);
    const bool ends_apart = std::none_of(groups.begin(), groups.end(), [](const auto& group) {
        return std::find(group.begin(), group.end(), 10u) != group.end() &&
               std::find(group.begin(), group.end(), 14u) != group.end();
    });
    EXPECT_TRUE(ends_apart);
}

TEST(Grouping, TheShareOfSamePairsAcrossTwoGroupsDecides) {
    // {0,1} and {2,3}: of the four pairs across them one is same (1-2).
    const Decisions decisions = {{{0, 1}, 'S'}, {{2, 3}, 'S'}, {{1, 2}, 'S'}};
    EXPECT_EQ(grouped(4, decisions, 0.5), (Groups{{10, 11}, {12, 13}}));
    EXPECT_EQ(grouped(4, decisions, 0.25), (Groups{{10, 11, 12, 13}}));
}

TEST(Grouping, UndecidedAloneJoinsNothing) {
    EXPECT_EQ(grouped(3, {}), (Groups{{10}, {11}, {12}}));
    EXPECT_EQ(grouped(2, {{{0, 1}, 'D'}}), (Groups{{10}, {11}}));
}

}  // namespace
