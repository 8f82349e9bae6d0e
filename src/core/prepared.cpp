#include "core/prepared.hpp"

#include "core/scoring_rules.hpp"
#include "core/text.hpp"
#include "core/token_key.hpp"

namespace refsieve {
namespace {

PreparedKey prepare_key(const std::vector<char32_t>& code_points, Side side) {
    PreparedKey key;
    key.code_points = code_points;
    if (side == Side::candidate) key.pattern.assign(key.code_points);
    return key;
}

}  // namespace

PreparedRecord prepare_record(const BibItemData& record, Side side) {
    TokenKeyBuilder builder;
    std::vector<char32_t> key;
    PreparedRecord p;
    p.record = &record;
    p.has_title = !record.title.empty();
    if (p.has_title) {
        normalize_into(record.title, p.normalized_title);
        p.title_keywords = scoring::keyword_set(p.normalized_title);
        builder.build_normalized(p.normalized_title, key);
        p.title_key = prepare_key(key, side);
    }
    p.has_author = !record.author.empty();
    if (p.has_author) {
        builder.build(record.author, key);
        p.author_key = prepare_key(key, side);
    }
    p.has_publisher = record.publisher && !record.publisher->empty();
    if (p.has_publisher) {
        builder.build(*record.publisher, key);
        p.publisher_key = prepare_key(key, side);
    }
    if (record.journal) {
        p.normalized_journal.emplace();
        normalize_into(*record.journal, *p.normalized_journal);
    }
    return p;
}

}  // namespace refsieve
