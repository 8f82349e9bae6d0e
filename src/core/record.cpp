#include "core/record.hpp"

namespace refsieve {
namespace {

std::optional<std::string_view> view_of(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    return std::string_view(*text);
}

}  // namespace

RecordView view_of(const Record& record) {
    return RecordView{
        .index = record.index,
        .title = record.title,
        .author = record.author,
        .year = record.year,
        .doi = view_of(record.doi),
        .journal = view_of(record.journal),
        .volume = view_of(record.volume),
        .number = view_of(record.number),
        .pages = view_of(record.pages),
        .publisher = view_of(record.publisher),
    };
}

std::vector<RecordView> views_of(std::span<const Record> records) {
    std::vector<RecordView> views;
    views.reserve(records.size());
    for (const Record& record : records) views.push_back(view_of(record));
    return views;
}

}  // namespace refsieve
