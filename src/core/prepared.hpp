// Prepared records: everything that scoring needs from one record alone
// (normalised title and journal, keyword set, sorted token keys), computed
// once per record so that scoring a pair allocates nothing.
//
// The two sides are prepared differently. A subject is prepared once and
// compared with every candidate, so it carries the bit masks of its keys
// (KeyPattern). Candidates are many and each is read once per subject, so
// they are stored compactly: one small header each, and their texts packed
// into shared blocks, with keys of ASCII code points one byte per code point.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/jaro_bitparallel.hpp"
#include "core/record.hpp"

namespace refsieve {

// A sorted token key (token_key.hpp) with its bit masks.
struct SubjectKey {
    std::vector<char32_t> code_points;
    KeyPattern pattern;
};

// The subject's pair-independent scoring data. It refers to the record's
// texts, which must outlive it.
struct PreparedSubject {
    RecordView record;
    bool has_title = false;  // title non-empty as given
    std::string normalized_title;
    unsigned title_keywords = 0;  // scoring::keyword_set of the normalised title
    SubjectKey title_key;
    bool has_author = false;  // author non-empty as given
    SubjectKey author_key;
    bool has_publisher = false;  // publisher present and non-empty
    SubjectKey publisher_key;
    std::optional<std::string> normalized_journal;  // when a journal is present
};

PreparedSubject prepare_subject(const RecordView& record);

// A stored key: its code points, one byte each when all are ASCII
// (narrow), else four.
struct StoredKey {
    const std::byte* data = nullptr;
    std::size_t size = 0;  // code points
    bool narrow = true;

    std::span<const unsigned char> bytes() const noexcept {
        return {reinterpret_cast<const unsigned char*>(data), size};
    }
    std::span<const char32_t> code_points() const noexcept { return {reinterpret_cast<const char32_t*>(data), size}; }
};

// One candidate's pair-independent scoring data: what every pair reads
// (index, year, flags) in the header; its texts stored in a block of the
// catalogue: the normalised title, the title, author and publisher keys, in
// this order (a four-byte key starts on a multiple of four), then, for a
// record with identifying fields, those fields as given (DOI, journal,
// volume, number, pages: each a length plus one, zero when absent, in a
// variable-length number, then its bytes). The journal is normalised only
// when it counts (identifier_points).
class PreparedCandidate {
public:
    bool has_title() const noexcept { return flags_ & kHasTitle; }  // non-empty as given
    bool has_author() const noexcept { return flags_ & kHasAuthor; }
    bool has_publisher() const noexcept { return flags_ & kHasPublisher; }  // present and non-empty
    unsigned title_keywords() const noexcept { return keywords_; }
    std::uint64_t index() const noexcept { return index_; }
    std::optional<std::int32_t> year() const noexcept {
        return flags_ & kHasYear ? std::optional<std::int32_t>(year_) : std::nullopt;
    }
    // Some DOI, volume, number or pages present and non-empty: only then can
    // the record's identifying fields earn points, and only then does
    // scoring read them (identifiers()).
    bool has_identifiers() const noexcept { return flags_ & kHasIdentifiers; }
    // The record's index and identifying fields (DOI, journal, volume,
    // number, pages) as given, when it has_identifiers(); else its index.
    RecordView identifiers() const noexcept;

    std::string_view normalized_title() const noexcept {
        return {reinterpret_cast<const char*>(texts_), sizes_[kTitleText]};
    }
    StoredKey title_key() const noexcept { return key(kTitleKey); }
    StoredKey author_key() const noexcept { return key(kAuthorKey); }
    StoredKey publisher_key() const noexcept { return key(kPublisherKey); }

    // Whether the record's prepared texts can be stored: the normalised
    // title has at most `most` bytes, and each key at most `most` code
    // points. prepare requires it for the largest 32-bit size, the default;
    // scoring cannot fail, so its caller checks.
    static constexpr std::size_t kMostStoredSize = std::numeric_limits<std::uint32_t>::max();
    static bool fits(const RecordView& record, std::size_t most = kMostStoredSize);

    // Writes the prepared texts of a record that fits() at the end of out,
    // and returns the header that reads them from where they start
    // (set_texts once out stops moving).
    static PreparedCandidate prepare(const RecordView& record, std::string& out);
    void set_texts(const std::byte* texts) noexcept { texts_ = texts; }

    // A wide key starts on a multiple of this, counted from the texts' start.
    static constexpr std::size_t kWideAlignment = alignof(char32_t);
    // n rounded up to a multiple of kWideAlignment.
    static constexpr std::size_t wide_aligned(std::size_t n) noexcept {
        return (n + kWideAlignment - 1) / kWideAlignment * kWideAlignment;
    }

private:
    enum Part { kTitleText, kTitleKey, kAuthorKey, kPublisherKey, kParts };
    enum Flag : std::uint8_t {
        kHasTitle = 1,
        kHasAuthor = 2,
        kHasPublisher = 4,
        kWideTitleKey = 8,
        kWideAuthorKey = 16,
        kWidePublisherKey = 32,
        kHasYear = 64,
        kHasIdentifiers = 128,
    };

    static bool is_key(Part part) noexcept { return part == kTitleKey || part == kAuthorKey || part == kPublisherKey; }
    bool wide(Part part) const noexcept;
    // Bytes that the part takes, and where it starts.
    std::size_t bytes(Part part) const noexcept { return is_key(part) && wide(part) ? 4 * sizes_[part] : sizes_[part]; }
    std::size_t offset(Part part) const noexcept;
    StoredKey key(Part part) const noexcept;

    const std::byte* texts_ = nullptr;
    std::uint64_t index_ = 0;
    std::uint32_t sizes_[kParts] = {};  // bytes of texts, code points of keys
    std::int32_t year_ = 0;
    std::uint8_t flags_ = 0;
    std::uint8_t keywords_ = 0;
};

inline bool PreparedCandidate::wide(Part part) const noexcept {
    switch (part) {
        case kTitleKey: return flags_ & kWideTitleKey;
        case kAuthorKey: return flags_ & kWideAuthorKey;
        case kPublisherKey: return flags_ & kWidePublisherKey;
        default: return false;
    }
}

inline std::size_t PreparedCandidate::offset(Part part) const noexcept {
    std::size_t at = 0;
    for (int p = kTitleText;; ++p) {
        const auto current = static_cast<Part>(p);
        if (is_key(current) && wide(current)) at = wide_aligned(at);
        if (current == part) return at;
        at += bytes(current);
    }
}

inline StoredKey PreparedCandidate::key(Part part) const noexcept {
    return StoredKey{texts_ + offset(part), sizes_[part], !wide(part)};
}

// Every candidate of a batch prepared, their texts in blocks of a few
// thousand records each.
class CandidateCatalogue {
public:
    // Prepares records, each of which fits() (PreparedCandidate);
    // `for_blocks(count, body)` runs body(lo, hi) over disjoint ranges of
    // [0, count) covering it, possibly at once on several threads. The
    // records are read only while the catalogue is made.
    template <class ForBlocks>
    CandidateCatalogue(std::span<const RecordView> records, ForBlocks&& for_blocks);
    explicit CandidateCatalogue(std::span<const RecordView> records);
    // The same for `count` records that record_at(k) gives one at a time.
    template <class RecordAt, class ForBlocks>
    CandidateCatalogue(std::size_t count, RecordAt&& record_at, ForBlocks&& for_blocks);

    std::size_t size() const noexcept { return candidates_.size(); }
    const PreparedCandidate& operator[](std::size_t k) const noexcept { return candidates_[k]; }

    static constexpr std::size_t kBlockRecords = 2048;

private:
    // Prepares the records of one block, record_at(k) giving record k.
    void prepare_block(std::size_t block, const std::function<RecordView(std::size_t)>& record_at);

    std::vector<PreparedCandidate> candidates_;
    std::vector<std::unique_ptr<std::byte[]>> blocks_;
};

template <class RecordAt, class ForBlocks>
CandidateCatalogue::CandidateCatalogue(std::size_t count, RecordAt&& record_at, ForBlocks&& for_blocks)
    : candidates_(count), blocks_((count + kBlockRecords - 1) / kBlockRecords) {
    const std::function<RecordView(std::size_t)> at = record_at;
    for_blocks(blocks_.size(), [&](std::size_t lo, std::size_t hi) {
        for (std::size_t block = lo; block < hi; ++block) prepare_block(block, at);
    });
}

template <class ForBlocks>
CandidateCatalogue::CandidateCatalogue(std::span<const RecordView> records, ForBlocks&& for_blocks)
    : CandidateCatalogue(
          records.size(), [records](std::size_t k) { return records[k]; }, std::forward<ForBlocks>(for_blocks)) {}

}  // namespace refsieve
