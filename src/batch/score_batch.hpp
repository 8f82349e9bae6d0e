// Batch scoring: every subject against every candidate, on a worker pool.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "batch/subject_step.hpp"
#include "batch/thread_pool.hpp"
#include "core/cpu_dispatch.hpp"
#include "core/jaro_bitparallel.hpp"
#include "core/prepared.hpp"
#include "core/record.hpp"

namespace refsieve::batch {

// Working storage that one thread reuses from subject to subject.
struct SubjectScratch {
    JaroScratch jaro;
    SelectionHeap heap;
    std::vector<MatchResult> kept;
};

// The per-subject step: the DOI shortcut, or every candidate scored,
// thresholded and the top_n best selected. catalogue holds the context's
// candidates, prepared. The scoring loop runs on the CPU path given, or
// the active one.
SubjectMatchResult score_subject(std::uint64_t position, const RecordView& subject, const CandidateCatalogue& catalogue,
                                 const MatchContext& context, SubjectScratch& scratch);
SubjectMatchResult score_subject(CpuPath path, std::uint64_t position, const RecordView& subject,
                                 const CandidateCatalogue& catalogue, const MatchContext& context,
                                 SubjectScratch& scratch);

// Preparation stores sizes in 32 bits: a candidate with a larger text ends
// the call (InternalFailure) before anything is prepared.
void check_candidates_fit(std::span<const RecordView> candidates);

// One result per subject, in subject order, scored on pool. Each candidate
// is prepared once, on the pool, and shared read-only by all subjects;
// nothing prepared outlives the call. Throws InternalFailure when a
// candidate's text is too large to be prepared (PreparedCandidate::fits)
// or a task fails.
std::vector<SubjectMatchResult> score_all(ThreadPool& pool, std::span<const RecordView> subjects,
                                          std::span<const RecordView> candidates, std::uint64_t top_n,
                                          double min_score);

}  // namespace refsieve::batch
