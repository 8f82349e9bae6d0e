#include "engine/matching.hpp"

#include <algorithm>
#include <string_view>
#include <unordered_map>

#include "batch/score_batch.hpp"
#include "batch/subject_step.hpp"
#include "core/prepared.hpp"
#include "core/scoring.hpp"

namespace refsieve::engine {
namespace {

// Candidates scored between two looks at the stop flag and two passes over
// the kept results (as the batch does, so that those stay in cache).
constexpr std::size_t kCandidatesPerRange = 1024;

// Candidate k as the scoring reads it, with its position as its index, so
// that a match names the candidate's place in the store.
RecordView positioned_view(const RecordStore& store, std::size_t k) { return store.view(k, k); }

// Preparation stores sizes in 32 bits: a larger text ends the call first.
void check_candidates_fit(const RecordStore& store) {
    for (std::size_t k = 0; k < store.size(); ++k) {
        const RecordView record = positioned_view(store, k);
        batch::check_candidates_fit({&record, 1});
    }
}

// The first candidate with each non-empty DOI: the DOI shortcut's answer,
// found without a scan of the catalogue per subject.
std::unordered_map<std::string_view, std::size_t> first_with_doi(const RecordStore& candidates) {
    std::unordered_map<std::string_view, std::size_t> first;
    for (std::size_t k = 0; k < candidates.size(); ++k) {
        const OptionalText doi = candidates.text(k, RecordStore::kDoi);
        if (doi && !doi->empty()) first.emplace(*doi, k);
    }
    return first;
}

// One subject's matches, best first, and whether they come from the DOI shortcut.
struct SubjectMatches {
    std::vector<MatchResult> matches;
    bool by_doi = false;
    std::vector<PairFacts> facts;  // one per match, when asked for
    // With blocking: candidates proposed, and looks at keys passed over.
    std::uint64_t proposed = 0;
    std::uint64_t keys_skipped = 0;
};

// What blocking needs: both sides' facts and the candidates' keys.
struct Blocking {
    same_work::Words words;
    std::optional<WorkCatalogue> subject_works;
    std::optional<WorkCatalogue> candidate_works;
    std::optional<CandidateIndex> index;
};

thread_local CandidateIndex::Scratch t_scratch;

class Matcher {
public:
    Matcher(const RecordStore& subjects, const RecordStore& candidates, const CandidateCatalogue& catalogue,
            const MatchOptions& options, const std::atomic<bool>& stop, const Blocking* blocking)
        : subjects_(subjects),
          catalogue_(catalogue),
          blocking_(blocking),
          options_(options),
          stop_(stop),
          doi_index_(options.doi_shortcut ? first_with_doi(candidates) : decltype(doi_index_)()),
          path_(active_cpu_path()) {}

    SubjectMatches one(std::size_t i, batch::SubjectScratch& scratch) const {
        const RecordView subject = subjects_.view(i);
        const PreparedSubject prepared = prepare_subject(subject);
        SubjectMatches found = best(i, subject, prepared, scratch);
        if (options_.facts) {
            for (const MatchResult& match : found.matches) {
                found.facts.push_back(pair_facts(prepared, catalogue_, match.candidate_index, scratch.jaro));
            }
        }
        return found;
    }

private:
    SubjectMatches best(std::size_t i, const RecordView& subject, const PreparedSubject& prepared,
                        batch::SubjectScratch& scratch) const {
        if (options_.doi_shortcut && subject.doi && !subject.doi->empty()) {
            const auto found = doi_index_.find(*subject.doi);
            if (found != doi_index_.end()) {
                return {{score_candidate(prepared, catalogue_, found->second, scratch.jaro)}, true, {}};
            }
        }
        const std::size_t itself = options_.subjects_at ? *options_.subjects_at + i : catalogue_.size();
        batch::SelectionHeap& heap = scratch.heap;
        heap.clear();
        if (blocking_ != nullptr || options_.among) {
            SubjectMatches found;
            const std::span<const std::uint32_t> partners = blocking_ ? proposed(i, found) : given(i);
            for (const std::uint32_t k : partners) {
                if (k == itself) continue;
                const std::optional<MatchResult> kept =
                    score_candidate_if_kept(prepared, catalogue_, k, options_.min_score, scratch.jaro);
                if (kept) heap.push(*kept);
            }
            found.matches = batch::take_best(heap, options_.top_n);
            return found;
        }
        for (std::size_t lo = 0; lo < catalogue_.size(); lo += kCandidatesPerRange) {
            if (stop_.load(std::memory_order_relaxed)) return {};
            const std::size_t hi = std::min(catalogue_.size(), lo + kCandidatesPerRange);
            scratch.kept.clear();
            if (lo <= itself && itself < hi) {
                score_range(path_, prepared, catalogue_, lo, itself, options_.min_score, scratch.jaro, scratch.kept);
                score_range(path_, prepared, catalogue_, itself + 1, hi, options_.min_score, scratch.jaro,
                            scratch.kept);
            } else {
                score_range(path_, prepared, catalogue_, lo, hi, options_.min_score, scratch.jaro, scratch.kept);
            }
            for (const MatchResult& kept : scratch.kept) heap.push(kept);
        }
        return {batch::take_best(heap, options_.top_n), false, {}};
    }

    // The candidates that share a key with subject i, ascending; what the
    // keys proposed and passed over is counted in found.
    std::span<const std::uint32_t> proposed(std::size_t i, SubjectMatches& found) const {
        thread_local std::vector<std::uint32_t> partners;
        partners.clear();
        const std::uint64_t skipped_before = t_scratch.keys_skipped;
        blocking_->index->for_each_partner((*blocking_->subject_works)[i], t_scratch,
                                           [&](std::uint32_t k) { partners.push_back(k); });
        found.keys_skipped = t_scratch.keys_skipped - skipped_before;
        found.proposed = partners.size();
        std::sort(partners.begin(), partners.end());
        return partners;
    }

    std::span<const std::uint32_t> given(std::size_t i) const {
        const MatchOptions::Among& among = *options_.among;
        return std::span<const std::uint32_t>(among.candidates)
            .subspan(among.starts[i], among.starts[i + 1] - among.starts[i]);
    }

    const RecordStore& subjects_;
    const CandidateCatalogue& catalogue_;
    const Blocking* blocking_;
    const MatchOptions& options_;
    const std::atomic<bool>& stop_;
    std::unordered_map<std::string_view, std::size_t> doi_index_;
    CpuPath path_;
};

void append(MatchColumns& columns, std::uint64_t subject, const MatchResult& match, bool by_doi) {
    columns.subject.push_back(subject);
    columns.candidate.push_back(match.candidate_index);
    columns.by_doi.push_back(by_doi);
    columns.total_score.push_back(match.total_score);
    columns.title_score.push_back(match.title_score);
    columns.author_score.push_back(match.author_score);
    columns.date_score.push_back(match.date_score);
    columns.bonus_score.push_back(match.bonus_score);
}

}  // namespace

std::optional<MatchColumns> match_all(const RecordStore& subjects, const RecordStore& candidates,
                                      const MatchOptions& options, MatchControl& control, batch::ThreadPool& pool) {
    check_candidates_fit(candidates);
    const ParallelFor run = on_pool(pool, control);
    const auto record_at = [&](std::size_t k) { return positioned_view(candidates, k); };
    const CandidateCatalogue catalogue(candidates.size(), record_at, [&](std::size_t blocks, const auto& prepare) {
        run(blocks, [&](std::size_t lo, std::size_t hi) {
            for (std::size_t block = lo; block < hi && !control.stop.load(std::memory_order_relaxed); ++block) {
                prepare(block, block + 1);
            }
        });
    });
    if (control.stop.load()) return std::nullopt;

    std::optional<Blocking> blocking;
    if (options.blocking) {
        blocking.emplace();
        // The candidates' words are numbered first, so that their order is
        // the one the index counted.
        blocking->candidate_works.emplace(candidates, blocking->words, run, control.stop);
        if (control.stop.load()) return std::nullopt;
        blocking->index.emplace(*blocking->candidate_works, blocking->words, *options.blocking, run);
        blocking->subject_works.emplace(subjects, blocking->words, run, control.stop);
        if (control.stop.load()) return std::nullopt;
    }

    const Matcher matcher(subjects, candidates, catalogue, options, control.stop, blocking ? &*blocking : nullptr);
    std::vector<SubjectMatches> found(subjects.size());
    run(subjects.size(), [&](std::size_t lo, std::size_t hi) {
        batch::SubjectScratch scratch;  // reused for every subject of the range
        for (std::size_t i = lo; i < hi && !control.stop.load(std::memory_order_relaxed); ++i) {
            found[i] = matcher.one(i, scratch);
            control.done.fetch_add(1, std::memory_order_relaxed);
        }
    });
    if (control.stop.load()) return std::nullopt;

    MatchColumns columns;
    if (blocking) columns.candidates.keys = blocking->index->keys();
    for (std::size_t i = 0; i < found.size(); ++i) {
        for (const MatchResult& match : found[i].matches) append(columns, i, match, found[i].by_doi);
        columns.facts.insert(columns.facts.end(), found[i].facts.begin(), found[i].facts.end());
        columns.candidates.pairs += found[i].proposed;
        columns.candidates.keys_skipped += found[i].keys_skipped;
        columns.candidates.records_skipped += found[i].keys_skipped > 0;
        found[i] = SubjectMatches();
    }
    return columns;
}

MatchColumns score_pairs(const RecordStore& subjects, const RecordStore& candidates,
                         std::span<const std::size_t> subject_positions,
                         std::span<const std::size_t> candidate_positions, bool facts) {
    // The candidates of the pairs, each prepared once.
    std::vector<std::size_t> distinct(candidate_positions.begin(), candidate_positions.end());
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    std::vector<RecordView> views;
    views.reserve(distinct.size());
    for (const std::size_t k : distinct) views.push_back(positioned_view(candidates, k));
    batch::check_candidates_fit(views);
    const CandidateCatalogue catalogue(views);

    MatchColumns columns;
    JaroScratch scratch;
    for (std::size_t p = 0; p < subject_positions.size() && p < candidate_positions.size(); ++p) {
        const RecordView subject = subjects.view(subject_positions[p]);
        const std::size_t local = static_cast<std::size_t>(
            std::lower_bound(distinct.begin(), distinct.end(), candidate_positions[p]) - distinct.begin());
        const PreparedSubject prepared = prepare_subject(subject);
        const MatchResult match = score_candidate(prepared, catalogue, local, scratch);
        const RecordView& candidate = views[local];
        const bool same_doi = subject.doi && !subject.doi->empty() && candidate.doi && *candidate.doi == *subject.doi;
        append(columns, subject_positions[p], match, same_doi);
        if (facts) columns.facts.push_back(pair_facts(prepared, catalogue, local, scratch));
    }
    return columns;
}

}  // namespace refsieve::engine
