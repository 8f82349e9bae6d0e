// Batch scoring: every subject against every candidate, on the worker pool.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "batch/subject_step.hpp"
#include "core/jaro_bitparallel.hpp"
#include "core/prepared.hpp"
#include "core/record.hpp"

namespace refsieve::batch {

// Working storage that one thread reuses from subject to subject.
struct SubjectScratch {
    JaroScratch jaro;
    SelectionHeap heap;
};

// The per-subject step: the DOI shortcut, or every candidate scored,
// thresholded and the top_n best selected. prepared[k] is candidate k of
// the context, prepared for Side::candidate.
SubjectMatchResult score_subject(std::uint64_t position, const BibItemData& subject,
                                 std::span<const PreparedRecord> prepared, const MatchContext& context,
                                 SubjectScratch& scratch);

// One result per subject, in subject order, scored on the process-wide pool
// (creating it if needed). Each candidate is prepared once, on the pool,
// and shared read-only by all subjects; nothing prepared outlives the call.
// Throws InternalFailure when the pool cannot start or a task fails.
std::vector<SubjectMatchResult> score_all(std::span<const BibItemData> subjects,
                                          std::span<const BibItemData> candidates, std::uint64_t top_n,
                                          double min_score);

}  // namespace refsieve::batch
