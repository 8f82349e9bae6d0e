// The records of a store as works: what the same-work decision reads of
// each (core/same_work.hpp), and the pairs of records worth deciding.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "core/same_work.hpp"
#include "engine/record_store.hpp"

namespace refsieve::engine {

// The decision's facts of every record of a store. The words are shared
// with the other store of a match, so that both name a word by one number.
class WorkCatalogue {
public:
    // Extra text columns of a store that the decision reads.
    static constexpr const char* kFamilies = "families";
    static constexpr const char* kEtAl = "et_al";
    static constexpr const char* kKind = "kind";

    // The facts of every record; stops early, incomplete, when stop is set.
    WorkCatalogue(const RecordStore& store, same_work::Words& words, const std::atomic<bool>& stop);

    std::size_t size() const noexcept { return facts_.size(); }
    const same_work::WorkFacts& operator[](std::size_t k) const noexcept { return facts_[k]; }

private:
    std::vector<same_work::WorkFacts> facts_;
};

// Two records of one catalogue, first < second.
using Pair = std::pair<std::uint32_t, std::uint32_t>;

// How the pairs worth deciding were found, and what was left out.
struct CandidateCounts {
    std::uint64_t pairs = 0;            // distinct pairs proposed
    std::uint64_t keys = 0;             // keys shared by two or more records
    std::uint64_t keys_skipped = 0;     // keys held by more records than a key may pair
    std::uint64_t records_skipped = 0;  // records of those keys
};

struct CandidateOptions {
    // Pairs whose content words agree at least this much (dice, exact words
    // only) are all proposed; the decision needs more.
    double title_agreement = 0.6;
    // A key held by more records than this pairs none of them (counted).
    std::size_t most_per_key = 2000;
};

// The pairs of records of one catalogue that may be one work, each once
// (first < second), sorted. Records share a key when they have the same DOI,
// the same first content words (kPrefixWords of them), the same family name
// and first page, the same journal, volume and number, or a rare content word
// among the few that any title agreeing with theirs must share.
std::vector<Pair> candidate_pairs(const WorkCatalogue& works, const same_work::Words& words,
                                  const CandidateOptions& options, CandidateCounts& counts);

// Every pair of the catalogue (first < second): for small catalogues, and
// for measuring what candidate_pairs leaves out.
std::vector<Pair> every_pair(std::size_t count);

}  // namespace refsieve::engine
