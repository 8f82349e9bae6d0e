// The records of a store as works: what the same-work decision reads of
// each (core/same_work.hpp), packed, and the index that finds the pairs of
// records worth deciding without looking at every pair.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/same_work.hpp"
#include "engine/control.hpp"
#include "engine/record_store.hpp"

namespace refsieve::engine {

// The decision's facts of every record of a store, packed record after
// record. The words are shared with the other store of a match, so that
// both name a word by one number.
class WorkCatalogue {
public:
    // Extra text columns of a store that the decision reads.
    static constexpr const char* kFamilies = "families";
    static constexpr const char* kEtAl = "et_al";
    static constexpr const char* kKind = "kind";

    // The facts of every record; stops early, incomplete, when stop is set.
    WorkCatalogue(const RecordStore& store, same_work::Words& words, const ParallelFor& run,
                  const std::atomic<bool>& stop);

    std::size_t size() const noexcept { return works_.size(); }
    same_work::WorkView operator[](std::size_t k) const noexcept;
    const same_work::Screen& screen(std::size_t k) const noexcept { return screens_[k]; }

    // How many records have each record's title. A store that is part of a
    // larger catalogue takes the counts of the whole (one per record).
    std::vector<std::uint32_t> title_frequencies() const;
    void use_title_frequencies(std::span<const std::uint32_t> counts);
    std::size_t memory_bytes() const noexcept;

private:
    // One record's facts: its lists in ids_, its texts in texts_.
    struct Packed {
        std::uint64_t ids_at = 0;    // content, numbers, parts, families, one after another
        std::uint64_t texts_at = 0;  // DOI, then lone page number
        std::uint64_t journal_at = 0;
        std::uint32_t content = 0, numbers = 0, parts = 0, families = 0;
        std::uint32_t doi = 0, lone_pages = 0, journal = 0;
        std::int32_t year = 0;
        std::uint32_t volume = 0, number = 0, first_page = 0, last_page = 0;
        std::uint32_t title_frequency = 1;
        std::uint32_t markers = 0;
        std::uint8_t flags = 0;
        same_work::VenueKind venue = same_work::VenueKind::none;
        same_work::TypeClass type_class = same_work::TypeClass::none;
    };
    void append(const same_work::WorkFacts& facts);
    void count_titles();

    std::vector<Packed> works_;
    std::vector<same_work::Screen> screens_;
    std::vector<std::uint32_t> ids_;
    std::string texts_;
    // Where each distinct journal's text is in texts_, while building.
    std::unordered_map<std::string, std::uint64_t> journal_at_;
};

// How the pairs worth deciding were found, and what was left out.
struct CandidateCounts {
    std::uint64_t pairs = 0;            // distinct pairs proposed
    std::uint64_t keys = 0;             // distinct keys of the indexed records
    std::uint64_t keys_skipped = 0;     // looks at a key held by more records than a key may pair
    std::uint64_t records_skipped = 0;  // records that had such a key
};

struct CandidateOptions {
    // Pairs whose content words agree at least this much (dice, exact words
    // only) share a key; the decision needs more, and fuzzy words make up
    // the difference.
    double title_agreement = 0.6;
    // A key is not looked at when more records than this hold it in the
    // years that it pairs (counted).
    std::size_t most_per_key = 2000;
    // The decision's own thresholds that keys follow: the year gap of a
    // SAME pair, and the words of a title that begins another.
    std::uint32_t same_years = 1;
    std::size_t prefix_words = 4;
    // Records without authors are the same work as another only when the
    // whole titles agree; they share a key when their words agree at least
    // this much (dice, exact words only).
    double whole_title_agreement = 0.8;
};

// Keys of the records of one catalogue, for finding the records of it that
// may be one work with a given record (of it, or of another catalogue with
// the same Words). Records share a key when they have the same DOI; or, in
// years close enough for the decision, the same first content words, the
// same family name and first page, the same journal, volume and number, or
// a family name and a rare content word among the few that any title
// agreeing with theirs must share; a record without authors, one of the
// rarest words of its title in the same year. A record without a year
// pairs in every year.
class CandidateIndex {
public:
    CandidateIndex(const WorkCatalogue& works, const same_work::Words& words, const CandidateOptions& options,
                   const ParallelFor& run);

    // Calls visit(j) for each indexed record j that shares a key with
    // record (each j once per call, in no particular order); `seen` is the
    // caller's scratch, one entry per indexed record, kept between calls.
    // A key held by too many records is passed over and counted in skipped.
    struct Scratch {
        std::vector<std::uint32_t> seen;
        std::uint32_t stamp = 0;
        std::uint64_t keys_skipped = 0;
    };
    void for_each_partner(const same_work::WorkView& record, Scratch& scratch,
                          const std::function<void(std::uint32_t)>& visit) const;

    std::size_t keys() const noexcept { return table_size_; }
    std::size_t memory_bytes() const noexcept;

private:
    struct Posting {
        std::int32_t year;  // kNoYear for none
        std::uint32_t record;
    };
    struct Slot {
        std::uint64_t key = 0;
        std::uint64_t begin = 0;
        std::uint32_t size = 0;  // 0: a free slot
    };
    struct Key {
        std::uint64_t hash;
        // Pairs only records this many years apart or less (and those
        // without a year); negative: any years.
        std::int32_t years;
    };
    // The keys a record is indexed under, or looked up by (probing).
    std::vector<Key> keys_of(const same_work::WorkView& record, bool probing) const;
    const Slot* find(std::uint64_t key) const noexcept;

    const same_work::Words& words_;
    CandidateOptions options_;
    std::size_t records_;
    std::vector<std::uint32_t> frequency_;  // records of the catalogue with each word
    std::vector<Posting> postings_;         // by key, then year, then record
    std::vector<Slot> slots_;
    std::size_t table_size_ = 0;
};

}  // namespace refsieve::engine
