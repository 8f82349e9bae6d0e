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
#include <utility>
#include <vector>

#include "batch/thread_pool.hpp"
#include "core/same_work.hpp"
#include "engine/matching.hpp"
#include "engine/works.hpp"

namespace refsieve::engine {

// Two records of one catalogue.
using Pair = std::pair<std::uint32_t, std::uint32_t>;

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
    // Looks at keys held by too many records, and the records that had one.
    std::uint64_t keys_skipped = 0;
    std::uint64_t records_skipped = 0;
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

// The records that each record of one catalogue (the subjects) is decided
// against in another (or the same): those the index of the other proposes,
// or every one. Within one catalogue, each pair once (the later record).
class Partners {
public:
    Partners(const WorkCatalogue& subjects, const WorkCatalogue& others, const CandidateIndex* index)
        : subjects_(subjects), others_(&others), index_(index) {}

    const WorkCatalogue& subjects() const noexcept { return subjects_; }
    const WorkCatalogue& others() const noexcept { return *others_; }
    // visit(j) for each partner j of subject i, each once.
    void of(std::uint32_t i, const std::function<void(std::uint32_t)>& visit) const;
    // Looks at keys passed over on this thread so far.
    static std::uint64_t keys_skipped() noexcept;

private:
    const WorkCatalogue& subjects_;
    const WorkCatalogue* others_;
    const CandidateIndex* index_;
};

// The pairs (subject, partner) of every subject, sorted; the keys passed
// over are counted in counts.
std::optional<std::vector<Pair>> partner_pairs(const Partners& partners, MatchControl& control, batch::ThreadPool& pool,
                                               GroupingCounts& counts);

// The SAME pairs (subject, partner) of every subject, sorted, and counts.
struct DecidedPairs {
    std::vector<DecidedPair> same;
    GroupingCounts counts;
};
std::optional<DecidedPairs> decide_partners(const Partners& partners, const same_work::Words& words,
                                            const same_work::Settings& settings, MatchControl& control,
                                            batch::ThreadPool& pool);

// The groups of a catalogue, deciding the pairs that the index proposes
// (every pair when index is null) on the pool; nullopt when control stops it.
std::optional<Grouping> group_works(const WorkCatalogue& works, const same_work::Words& words,
                                    const CandidateIndex* index, const GroupingOptions& options, MatchControl& control,
                                    batch::ThreadPool& pool);

// The groups from pairs decided SAME elsewhere (on the workers of a
// cluster, say), decided again here; pairs no longer SAME are dropped.
std::optional<Grouping> group_found_pairs(const WorkCatalogue& works, const same_work::Words& words,
                                          std::span<const Pair> same, const GroupingOptions& options,
                                          MatchControl& control, batch::ThreadPool& pool);

}  // namespace refsieve::engine
