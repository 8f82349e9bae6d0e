// The records of one side as the command holds them: the fields that are
// scored and a few named texts of its own (the key, values shown in the
// output), packed record after record in large blocks, so that a catalogue
// of millions of records takes little more than its texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/record.hpp"

namespace refsieve::engine {

// A text field of a record: absent, or present (possibly empty).
using OptionalText = std::optional<std::string_view>;

class RecordStore {
public:
    // The text columns that scoring reads, in this order; the extra columns
    // named at construction follow them.
    static constexpr std::size_t kTitle = 0, kAuthor = 1, kDoi = 2, kJournal = 3, kVolume = 4, kNumber = 5, kPages = 6,
                                 kPublisher = 7, kScoredTexts = 8;

    explicit RecordStore(std::vector<std::string> extra_names = {});

    std::size_t size() const noexcept { return index_.size(); }
    std::size_t text_columns() const noexcept { return kScoredTexts + extra_names_.size(); }
    const std::vector<std::string>& extra_names() const noexcept { return extra_names_; }
    // The column of a scored text ("title" ... "publisher") or of an extra
    // text, by name.
    std::optional<std::size_t> text_column(std::string_view name) const;

    // Appends one record; texts holds one value per text column. A title or
    // author given as absent is stored as empty.
    void append(std::uint64_t index, std::optional<std::int32_t> year, std::span<const OptionalText> texts);

    std::uint64_t index(std::size_t k) const noexcept { return index_[k]; }
    std::optional<std::int32_t> year(std::size_t k) const noexcept {
        return has_year_[k] ? std::optional<std::int32_t>(year_[k]) : std::nullopt;
    }
    OptionalText text(std::size_t k, std::size_t column) const noexcept;
    // The record's scored fields, borrowing the store's bytes; its index is
    // `index` when given (positions, say), else the record's own.
    RecordView view(std::size_t k, std::optional<std::uint64_t> index = std::nullopt) const;

    // How many records have this text present and non-empty; how many a year.
    std::size_t count_present(std::size_t column) const;
    std::size_t count_years() const;

    // A new store of the records at these positions, in this order.
    RecordStore subset(std::span<const std::size_t> positions) const;

    // The store as bytes, and back: nullopt for bytes that are not a store.
    std::string serialize() const;
    static std::optional<RecordStore> deserialize(std::string_view bytes);

    // Bytes held, roughly: blocks, per-record tables, names.
    std::size_t memory_bytes() const noexcept;

private:
    // Where a record's packed texts start: block and offset within it.
    struct Place {
        std::uint32_t block;
        std::uint32_t offset;
    };
    // Room for n more bytes in the last block (a new block when short).
    char* reserve(std::size_t n);
    // The record's packed texts: for each text column a varint of its
    // length plus one (zero: absent), then its bytes.
    const char* packed(std::size_t k) const noexcept;
    std::size_t packed_size(std::size_t k) const noexcept;

    std::vector<std::string> extra_names_;
    std::vector<std::uint64_t> index_;
    std::vector<std::int32_t> year_;
    std::vector<std::uint8_t> has_year_;
    std::vector<Place> places_;
    std::vector<std::unique_ptr<char[]>> blocks_;
    std::vector<std::size_t> block_capacity_;
    std::size_t block_used_ = 0;  // bytes used in the last block
};

}  // namespace refsieve::engine
