// Groups of records that are one work, built on the same-work decision.
//
// Records are linked only by pairs the decision calls SAME, and the linked
// records (a component) are grouped bottom-up: two groups join when at least
// `share` of the pairs across them are SAME and none is DIFFERENT, the groups
// with the highest share of SAME pairs first. So a chain of weak links does
// not join its ends, and a pair the decision separates never ends up in one
// group.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "batch/thread_pool.hpp"
#include "core/same_work.hpp"
#include "engine/matching.hpp"
#include "engine/works.hpp"

namespace refsieve::engine {

struct DecidedPair {
    std::uint32_t first = 0;
    std::uint32_t second = 0;
    same_work::Decision decision;
};

struct GroupingOptions {
    // Share of the pairs across two groups that must be SAME for them to join.
    double share = 0.5;
    // Components larger than this are grouped from their candidate pairs
    // alone (every other pair counted as NEUTRAL), not from every pair.
    std::size_t most_decided_component = 3000;
    // The decision's thresholds.
    same_work::Settings decision;
};

struct GroupingCounts {
    std::uint64_t pairs_decided = 0;
    std::uint64_t same_pairs = 0;
    std::uint64_t different_pairs = 0;
    std::uint64_t components = 0;  // of two or more records
    std::uint64_t largest_component = 0;
    std::uint64_t components_from_candidates = 0;  // too large to decide every pair
};

struct Grouping {
    // For each record, its group: the position of the group's first record.
    std::vector<std::uint32_t> group;
    // The SAME pairs whose records share a group, with their decisions.
    std::vector<DecidedPair> same_inside;
    GroupingCounts counts;
};

// Groups the members of one component (record positions, ascending):
// decision(a, b) gives the decision on members a < b (indices into members).
// Returns the groups, each a list of record positions.
std::vector<std::vector<std::uint32_t>> merge_component(
    std::span<const std::uint32_t> members,
    const std::function<same_work::Decision(std::size_t, std::size_t)>& decision, double share);

// The groups of a catalogue from its candidate pairs (first < second), the
// pairs decided on the pool; nullopt when control stops it.
std::optional<Grouping> group_works(const WorkCatalogue& works, const same_work::Words& words,
                                    std::span<const Pair> candidates, const GroupingOptions& options,
                                    MatchControl& control, batch::ThreadPool& pool);

}  // namespace refsieve::engine
