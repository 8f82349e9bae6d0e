// The bibliographic record and the score of one candidate against a subject.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace refsieve {

// One record, with owned UTF-8 texts. An optional text may be absent or
// present-but-empty; scoring treats both the same way.
struct Record {
    std::uint64_t index = 0;
    std::string title;
    std::string author;
    std::optional<std::int32_t> year;
    std::optional<std::string> doi;
    std::optional<std::string> journal;
    std::optional<std::string> volume;
    std::optional<std::string> number;
    std::optional<std::string> pages;
    std::optional<std::string> publisher;
};

// One record whose texts are borrowed from storage that outlives it: the
// form that batches are scored in, so that a large catalogue is not copied.
struct RecordView {
    std::uint64_t index = 0;
    std::string_view title;
    std::string_view author;
    std::optional<std::int32_t> year;
    std::optional<std::string_view> doi;
    std::optional<std::string_view> journal;
    std::optional<std::string_view> volume;
    std::optional<std::string_view> number;
    std::optional<std::string_view> pages;
    std::optional<std::string_view> publisher;
};

// A view of record, valid while record lives unchanged.
RecordView view_of(const Record& record);

// view_of every record, in order.
std::vector<RecordView> views_of(std::span<const Record> records);

// How well one candidate matches one subject.
struct MatchResult {
    std::uint64_t candidate_index = 0;
    double total_score = 0.0;
    double title_score = 0.0;
    double author_score = 0.0;
    double date_score = 0.0;
    double bonus_score = 0.0;

    friend bool operator==(const MatchResult&, const MatchResult&) = default;
};

}  // namespace refsieve
