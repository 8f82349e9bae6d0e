// Matching for the command: every subject of one store against every
// candidate of another, on the worker pool, with the results as columns.
// What is kept for each subject equals what one score_batch call over all
// candidates keeps, ties included: the same DOI shortcut, threshold and
// selection heap, in candidate order. With blocking, the same over the
// candidates that share a key with the subject. The calling thread only waits; it can
// stop the work at any time, which ends within a few thousand pairs.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "batch/thread_pool.hpp"
#include "core/scoring.hpp"
#include "engine/control.hpp"
#include "engine/record_store.hpp"
#include "engine/works.hpp"

namespace refsieve::engine {

struct MatchOptions {
    std::uint64_t top_n = 1;
    double min_score = 0.0;
    // A subject whose DOI a candidate has takes that candidate alone.
    bool doi_shortcut = true;
    // The subjects are the candidates from this position on: subject i is
    // never matched with candidate subjects_at + i.
    std::optional<std::size_t> subjects_at;
    // Each match comes with the facts behind its scores.
    bool facts = false;
    // When given, each subject is scored against the candidates that share
    // a key with it (works.hpp) rather than against every candidate.
    std::optional<CandidateOptions> blocking;
    // When given, each subject is scored against these candidates alone:
    // subject i against among[starts[i], starts[i + 1]), ascending (the
    // pairs that blocking proposed elsewhere, say).
    struct Among {
        std::vector<std::size_t> starts;
        std::vector<std::uint32_t> candidates;
    };
    std::optional<Among> among;
};

// The matches, one entry per match: in subject order, best first within a
// subject. Positions are positions in the two stores.
struct MatchColumns {
    std::vector<std::uint64_t> subject;
    std::vector<std::uint64_t> candidate;
    std::vector<std::uint8_t> by_doi;  // 1: the candidate with the subject's DOI
    std::vector<double> total_score, title_score, author_score, date_score, bonus_score;
    std::vector<PairFacts> facts;  // one per match, when asked for
    CandidateCounts candidates;    // with blocking: what the keys proposed and passed over

    std::size_t size() const noexcept { return subject.size(); }
};

// The matches of every subject, or nullopt when stopped.
std::optional<MatchColumns> match_all(const RecordStore& subjects, const RecordStore& candidates,
                                      const MatchOptions& options, MatchControl& control, batch::ThreadPool& pool);

// The scores of given pairs: subject_positions[i] against
// candidate_positions[i]; by_doi says whether the two have the same DOI.
MatchColumns score_pairs(const RecordStore& subjects, const RecordStore& candidates,
                         std::span<const std::size_t> subject_positions,
                         std::span<const std::size_t> candidate_positions, bool facts = false);

}  // namespace refsieve::engine
