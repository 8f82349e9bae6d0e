// The straightforward per-subject step: the DOI shortcut, or the
// straightforward score_candidate for every candidate, thresholded and the
// top_n best selected. Only tests and benchmarks use it, as the result that
// the shipped batch::score_subject (batch/score_batch.hpp) must equal.
#pragma once

#include <cstdint>

#include "batch/subject_step.hpp"
#include "core/record.hpp"

namespace refsieve::reference {

batch::SubjectMatchResult score_subject(std::uint64_t position, const RecordView& subject,
                                        const batch::MatchContext& context);

}  // namespace refsieve::reference
