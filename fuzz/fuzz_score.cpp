// Candidate scoring on arbitrary pairs of records.
//
// Input: twenty pieces cut at 0xFF bytes, the subject's ten fields and then
// the candidate's, in record order (index, title, author, year, doi,
// journal, volume, number, pages, publisher). A piece that is the single
// byte 0xFE, or a piece beyond the end of the input, is an absent field;
// index and year are read as decimal integers.
//
// Invariants: every partial score in its range or set of values, the total
// the ordered sum, the candidate's index passed through, and a record
// scored against itself earning every point its fields allow.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/prepared.hpp"
#include "core/record.hpp"
#include "core/scoring.hpp"
#include "fuzz_input.hpp"
#include "reference/scoring.hpp"

namespace {

constexpr std::size_t kFields = 10;

std::optional<std::string_view> piece(const std::vector<std::string_view>& pieces, std::size_t i) {
    if (i >= pieces.size() || pieces[i] == "\xFE") return std::nullopt;
    return pieces[i];
}

// Decimal digits with an optional leading '-', wrapping; other bytes are skipped.
std::uint64_t parse_integer(std::string_view text) {
    std::uint64_t value = 0;
    for (char c : text) {
        if (c >= '0' && c <= '9') value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return !text.empty() && text.front() == '-' ? 0 - value : value;
}

std::optional<std::string> optional_text(const std::vector<std::string_view>& pieces, std::size_t i) {
    const auto raw = piece(pieces, i);
    if (!raw) return std::nullopt;
    return fuzz::repair_utf8(*raw);
}

refsieve::Record make_record(const std::vector<std::string_view>& pieces, std::size_t first) {
    refsieve::Record record;
    record.index = parse_integer(piece(pieces, first).value_or(""));
    record.title = optional_text(pieces, first + 1).value_or("");
    record.author = optional_text(pieces, first + 2).value_or("");
    if (const auto year = piece(pieces, first + 3)) {
        record.year = static_cast<std::int32_t>(static_cast<std::uint32_t>(parse_integer(*year)));
    }
    record.doi = optional_text(pieces, first + 4);
    record.journal = optional_text(pieces, first + 5);
    record.volume = optional_text(pieces, first + 6);
    record.number = optional_text(pieces, first + 7);
    record.pages = optional_text(pieces, first + 8);
    record.publisher = optional_text(pieces, first + 9);
    return record;
}

template <std::size_t N>
bool one_of(double value, const std::array<double, N>& allowed) {
    return std::find(allowed.begin(), allowed.end(), value) != allowed.end();
}

bool in_range(double value, double lo, double hi) { return value >= lo && value <= hi; }

void check_ranges(const refsieve::Record& subject, const refsieve::Record& candidate, const refsieve::MatchResult& r) {
    static constexpr std::array<double, 6> kDates = {0, 3, 7, 8, 9, 10};
    static constexpr std::array<double, 16> kBonuses = {0, 1, 2, 3, 5, 6, 7, 8, 10, 11, 12, 13, 15, 16, 17, 18};
    const auto fail = [&](const char* what) { fuzz::fail(what, subject.title, candidate.title); };
    if (r.candidate_index != candidate.index) fail("candidate_index is not the candidate's index");
    if (!in_range(r.title_score, 0.0, 100.0)) fail("title score out of [0, 100]");
    if (!in_range(r.author_score, 0.0, 60.0)) fail("author score out of [0, 60]");
    if (!one_of(r.date_score, kDates)) fail("date score not one of its values");
    if (!one_of(r.bonus_score, kBonuses)) fail("bonus score not one of its values");
    if (r.total_score != ((r.title_score + r.author_score) + r.date_score) + r.bonus_score) {
        fail("total is not the ordered sum of the partial scores");
    }
    if (!in_range(r.total_score, 0.0, 188.0)) fail("total out of [0, 188]");
    if ((subject.title.empty() || candidate.title.empty()) && r.title_score != 0.0) fail("title score without a title");
    if ((subject.author.empty() || candidate.author.empty()) && r.author_score != 0.0) {
        fail("author score without an author");
    }
    if ((!subject.year || !candidate.year) && r.date_score != 0.0) fail("date score without a year");
}

// The shipped scoring gives the reference's result bit for bit on every
// CPU path this machine runs, and keeps it exactly when the reference total
// reaches min_score.
void check_fast_path(const refsieve::Record& subject, const refsieve::Record& candidate,
                     const refsieve::MatchResult& reference) {
    static const std::vector<refsieve::CpuPath> paths = refsieve::supported_cpu_paths();
    const auto fail = [&](const char* what) { fuzz::fail(what, subject.title, candidate.title); };
    const refsieve::PreparedSubject s = refsieve::prepare_subject(refsieve::view_of(subject));
    const refsieve::RecordView candidate_view = refsieve::view_of(candidate);
    const refsieve::CandidateCatalogue catalogue({&candidate_view, 1});
    refsieve::JaroScratch scratch;
    if (!fuzz::same_result(refsieve::score_candidate(s, catalogue, 0, scratch), reference)) fail("fast path differs");
    std::vector<refsieve::MatchResult> kept;
    for (const refsieve::CpuPath path : paths) {
        for (const double min_score : {reference.total_score, std::nextafter(reference.total_score, 1e9), 0.0, 150.0}) {
            kept.clear();
            refsieve::score_range(path, s, catalogue, 0, 1, min_score, scratch, kept);
            if (kept.empty() == (reference.total_score >= min_score)) fail("fast path keeps a different set");
            if (!kept.empty() && !fuzz::same_result(kept[0], reference)) fail("fast path's kept result differs");
        }
    }
}

// A record against itself: the title is boosted (or, when it normalises to
// nothing, contained), the author and year agree exactly.
void check_self_score(const refsieve::Record& record) {
    const refsieve::MatchResult r = refsieve::reference::score_candidate(record, record);
    check_ranges(record, record, r);
    const auto fail = [&](const char* what) { fuzz::fail(what, record.title, record.author); };
    if (!record.title.empty() && r.title_score != 100.0 && r.title_score != 50.0) fail("self title score");
    if (!record.author.empty() && r.author_score != 60.0) fail("self author score is not 60");
    if (record.year && r.date_score != 10.0) fail("self date score is not 10");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::string_view> pieces = fuzz::split_raw(data, size);
    const refsieve::Record subject = make_record(pieces, 0);
    const refsieve::Record candidate = make_record(pieces, kFields);
    const refsieve::MatchResult reference = refsieve::reference::score_candidate(subject, candidate);
    check_ranges(subject, candidate, reference);
    check_fast_path(subject, candidate, reference);
    check_self_score(subject);
    return 0;
}
