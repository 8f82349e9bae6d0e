// Prepared records: everything that scoring needs from one record alone
// (normalised title and journal, keyword set, sorted token keys and their
// bit masks), computed once per record so that scoring a pair allocates
// nothing.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/jaro_bitparallel.hpp"
#include "core/record.hpp"

namespace refsieve {

// A sorted token key (token_key.hpp), with its bit masks when it is
// compared as the second text of a similarity (the candidate's side).
struct PreparedKey {
    std::vector<char32_t> code_points;
    KeyPattern pattern;
};

// Which side of a comparison a record is prepared for: only candidates need
// the bit masks of their keys.
enum class Side { subject, candidate };

// One record's pair-independent scoring data. It refers to the record,
// which must outlive it.
struct PreparedRecord {
    const BibItemData* record = nullptr;
    bool has_title = false;  // title non-empty as given
    std::string normalized_title;
    unsigned title_keywords = 0;  // scoring::keyword_set of the normalised title
    PreparedKey title_key;
    bool has_author = false;  // author non-empty as given
    PreparedKey author_key;
    bool has_publisher = false;  // publisher present and non-empty
    PreparedKey publisher_key;
    std::optional<std::string> normalized_journal;  // when a journal is present
};

PreparedRecord prepare_record(const BibItemData& record, Side side);

}  // namespace refsieve
