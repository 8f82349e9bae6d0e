// Scoring benchmarks on one thread: the reference score_candidate loop
// against the shipped scoring over the same records, and the similarities
// alone (Jaro–Winkler on short and long keys, token_sort_ratio per call).
//
// Usage: refsieve_bench --workload NAME SUBJECTS.tsv CANDIDATES.tsv
//                       [--workload ...] [--pair-subjects N] [--sizes]
//                       [Google Benchmark flags]
// The TSV files are written by benchmarks/workload.py (write_tsv).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "batch/score_batch.hpp"
#include "core/jaro_bitparallel.hpp"
#include "core/prepared.hpp"
#include "core/scoring.hpp"
#include "core/token_key.hpp"
#include "core/token_sort.hpp"
#include "core/utf8.hpp"
#include "reference/jaro.hpp"
#include "reference/scoring.hpp"
#include "reference/text.hpp"

namespace {

using namespace refsieve;

// ---- Reading the workload -----------------------------------------------------

std::optional<std::string> unescape(std::string_view field) {
    if (field == "\\N") return std::nullopt;
    std::string out;
    out.reserve(field.size());
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '\\' || i + 1 == field.size()) {
            out.push_back(field[i]);
            continue;
        }
        const char c = field[++i];
        out.push_back(c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c);
    }
    return out;
}

std::vector<Record> read_records(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        std::cerr << "cannot read " << path << "\n";
        std::exit(2);
    }
    std::vector<Record> records;
    for (std::string line; std::getline(in, line);) {
        std::vector<std::optional<std::string>> f;
        std::size_t start = 0;
        for (;;) {
            const std::size_t tab = line.find('\t', start);
            f.push_back(unescape(std::string_view(line).substr(start, tab - start)));
            if (tab == std::string::npos) break;
            start = tab + 1;
        }
        if (f.size() != 10) {
            std::cerr << path << ": a line without ten fields\n";
            std::exit(2);
        }
        Record r;
        r.index = std::stoull(*f[0]);
        r.title = *f[1];
        r.author = *f[2];
        if (f[3]) r.year = std::stoi(*f[3]);
        r.doi = f[4];
        r.journal = f[5];
        r.volume = f[6];
        r.number = f[7];
        r.pages = f[8];
        r.publisher = f[9];
        records.push_back(std::move(r));
    }
    return records;
}

struct Workload {
    Workload(std::string name_, std::vector<Record> subjects_, std::vector<Record> candidates_)
        : name(std::move(name_)),
          subjects(std::move(subjects_)),
          candidates(std::move(candidates_)),
          subject_views(views_of(subjects)),
          candidate_views(views_of(candidates)) {}

    std::string name;
    std::vector<Record> subjects;
    std::vector<Record> candidates;
    std::vector<RecordView> subject_views;
    std::vector<RecordView> candidate_views;
};

// ---- Pair scoring ---------------------------------------------------------------

constexpr double kNoThreshold = -std::numeric_limits<double>::infinity();

// The first n subjects against every candidate, the way the per-subject
// step runs them (the DOI shortcut and the selection are left out: only the
// scoring is compared here).
void reference_pairs(benchmark::State& state, const Workload* w, std::size_t n) {
    for (auto _ : state) {
        for (std::size_t i = 0; i < n; ++i) {
            for (const Record& c : w->candidates) {
                MatchResult r = reference::score_candidate(w->subjects[i], c);
                benchmark::DoNotOptimize(r);
            }
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * n * w->candidates.size()));
}

// The same pairs on the shipped path (on one CPU path), preparation included.
void fast_pairs(benchmark::State& state, const Workload* w, std::size_t n, double min_score, CpuPath path) {
    for (auto _ : state) {
        const CandidateCatalogue catalogue(w->candidate_views);
        JaroScratch scratch;
        std::vector<MatchResult> kept;
        std::size_t kept_count = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const PreparedSubject s = prepare_subject(w->subject_views[i]);
            kept.clear();
            score_range(path, s, catalogue, 0, catalogue.size(), min_score, scratch, kept);
            kept_count += kept.size();
        }
        benchmark::DoNotOptimize(kept_count);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * n * w->candidates.size()));
}

// Preparing every candidate, as score_batch does once per call.
void prepare_candidates(benchmark::State& state, const Workload* w) {
    for (auto _ : state) {
        const CandidateCatalogue catalogue(w->candidate_views);
        benchmark::DoNotOptimize(&catalogue[0]);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * w->candidates.size()));
}

// ---- Similarities alone ---------------------------------------------------------

// Sorted token keys of (subject, candidate) pairs: subject i against
// candidate (i * 7919) % C, so near and far pairs both occur.
struct KeyPairs {
    std::vector<std::string> a_text, b_text;          // UTF-8, for jaro_winkler
    std::vector<std::vector<char32_t>> a_cps, b_cps;  // code points
    std::vector<KeyPattern> b_patterns;
};

std::string to_utf8(const std::vector<char32_t>& cps) {
    std::string out;
    for (char32_t c : cps) utf8::append(out, c);
    return out;
}

KeyPairs key_pairs(const Workload& w, bool titles) {
    KeyPairs k;
    const std::size_t count = std::min<std::size_t>(2000, w.subjects.size());
    for (std::size_t i = 0; i < count; ++i) {
        const Record& s = w.subjects[i];
        const Record& c = w.candidates[(i * 7919) % w.candidates.size()];
        const std::vector<char32_t> a = token_sort_key(titles ? s.title : s.author);
        const std::vector<char32_t> b = token_sort_key(titles ? c.title : c.author);
        if (a.empty() || b.empty()) continue;
        k.a_text.push_back(to_utf8(a));
        k.b_text.push_back(to_utf8(b));
        k.a_cps.push_back(a);
        k.b_cps.push_back(b);
        k.b_patterns.emplace_back(k.b_cps.back());
    }
    return k;
}

void jaro_winkler_reference(benchmark::State& state, const KeyPairs* k) {
    for (auto _ : state) {
        for (std::size_t i = 0; i < k->a_text.size(); ++i)
            benchmark::DoNotOptimize(reference::jaro_winkler(k->a_text[i], k->b_text[i]));
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * k->a_text.size()));
}

void jaro_winkler_fast(benchmark::State& state, const KeyPairs* k) {
    JaroScratch scratch;
    for (auto _ : state) {
        for (std::size_t i = 0; i < k->a_cps.size(); ++i) {
            benchmark::DoNotOptimize(jaro_winkler(k->a_cps[i], k->b_cps[i], k->b_patterns[i], scratch));
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * k->a_cps.size()));
}

template <double (*Ratio)(std::string_view, std::string_view)>
void token_sort_ratio_calls(benchmark::State& state, const Workload* w) {
    const std::size_t count = std::min<std::size_t>(2000, w->subjects.size());
    for (auto _ : state) {
        for (std::size_t i = 0; i < count; ++i) {
            const Record& c = w->candidates[(i * 7919) % w->candidates.size()];
            benchmark::DoNotOptimize(Ratio(w->subjects[i].title, c.title));
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * count));
}

void register_all(const Workload& w, std::size_t pair_subjects, std::vector<KeyPairs>& keep) {
    const std::size_t n = std::min(pair_subjects, w.subjects.size());
    const std::string tag = "/" + w.name;
    benchmark::RegisterBenchmark(("pairs_reference" + tag).c_str(), reference_pairs, &w, n)
        ->Unit(benchmark::kMillisecond);
    const CpuPath active = active_cpu_path();
    benchmark::RegisterBenchmark(("pairs_fast" + tag).c_str(), fast_pairs, &w, n, kNoThreshold, active)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("pairs_fast_min_score_100" + tag).c_str(), fast_pairs, &w, n, 100.0, active)
        ->Unit(benchmark::kMillisecond);
    for (const CpuPath path : supported_cpu_paths()) {
        const std::string name = "pairs_fast_cpu_" + std::string(cpu_path_name(path)) + tag;
        benchmark::RegisterBenchmark(name.c_str(), fast_pairs, &w, n, kNoThreshold, path)
            ->Unit(benchmark::kMillisecond);
    }

    benchmark::RegisterBenchmark(("prepare_candidates" + tag).c_str(), prepare_candidates, &w);

    keep.push_back(key_pairs(w, false));
    const KeyPairs* authors = &keep.back();
    keep.push_back(key_pairs(w, true));
    const KeyPairs* titles = &keep.back();
    benchmark::RegisterBenchmark(("jaro_winkler_reference/short_keys" + tag).c_str(), jaro_winkler_reference, authors);
    benchmark::RegisterBenchmark(("jaro_winkler_fast/short_keys" + tag).c_str(), jaro_winkler_fast, authors);
    benchmark::RegisterBenchmark(("jaro_winkler_reference/long_keys" + tag).c_str(), jaro_winkler_reference, titles);
    benchmark::RegisterBenchmark(("jaro_winkler_fast/long_keys" + tag).c_str(), jaro_winkler_fast, titles);
    benchmark::RegisterBenchmark(("token_sort_ratio_reference" + tag).c_str(),
                                 token_sort_ratio_calls<reference::token_sort_ratio_f64>, &w);
    benchmark::RegisterBenchmark(("token_sort_ratio_fast" + tag).c_str(), token_sort_ratio_calls<token_sort_ratio_f64>,
                                 &w);
}

void print_sizes() {
    std::printf(
        "{\"Record\": %zu, \"MatchResult\": %zu, \"SubjectMatchResult\": %zu, \"string\": %zu, "
        "\"string_inline_capacity\": %zu, \"RecordView\": %zu, \"PreparedCandidate\": %zu}\n",
        sizeof(Record), sizeof(MatchResult), sizeof(batch::SubjectMatchResult), sizeof(std::string),
        std::string().capacity(), sizeof(RecordView), sizeof(PreparedCandidate));
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    std::vector<Workload> workloads;
    std::size_t pair_subjects = 40;
    workloads.reserve(static_cast<std::size_t>(argc));
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--sizes") {
            print_sizes();
            return 0;
        }
        if (arg == "--workload" && i + 3 < argc) {
            workloads.emplace_back(argv[i + 1], read_records(argv[i + 2]), read_records(argv[i + 3]));
            i += 3;
        } else if (arg == "--pair-subjects" && i + 1 < argc) {
            pair_subjects = std::stoul(argv[++i]);
        } else {
            std::cerr << "unknown argument: " << arg << "\n";
            return 2;
        }
    }
    if (workloads.empty()) {
        std::cerr << "no --workload given\n";
        return 2;
    }
    std::vector<KeyPairs> keep;
    keep.reserve(2 * workloads.size());  // registered benchmarks point into it
    for (const Workload& w : workloads) register_all(w, pair_subjects, keep);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
