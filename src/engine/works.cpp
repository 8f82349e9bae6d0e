#include "engine/works.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string_view>

namespace refsieve::engine {
namespace {

using same_work::WorkView;

// Records worked out at once before their words are numbered.
constexpr std::size_t kDraftChunk = 16384;

// Packed::flags
constexpr std::uint8_t kFlagYear = 1, kFlagVolume = 2, kFlagNumber = 4, kFlagPages = 8, kFlagGeneric = 16,
                       kFlagEtAl = 32;

// The postings' year of a record without one: before every year.
constexpr std::int32_t kNoYear = std::numeric_limits<std::int32_t>::min();
// A key that pairs records whatever their years.
constexpr std::int32_t kAnyYear = -1;

std::string_view text_or_empty(const OptionalText& text) { return text ? *text : std::string_view(); }

// A 64-bit hash of bytes (FNV-1a), built up one field at a time.
class KeyHash {
public:
    explicit KeyHash(char kind) { add(&kind, 1); }
    KeyHash& add(const void* data, std::size_t size) {
        const auto* bytes = static_cast<const unsigned char*>(data);
        for (std::size_t i = 0; i < size; ++i) value_ = (value_ ^ bytes[i]) * 0x100000001b3ULL;
        return *this;
    }
    KeyHash& add(std::string_view text) {
        add(text.data(), text.size());
        const char end = 0;
        return add(&end, 1);
    }
    template <class Number>
    KeyHash& add(Number number) {
        return add(&number, sizeof number);
    }
    std::uint64_t value() const noexcept {
        // Mixed once more, since the table takes its low bits.
        std::uint64_t h = value_ ^ (value_ >> 33);
        h *= 0xff51afd7ed558ccdULL;
        return h ^ (h >> 33);
    }

private:
    std::uint64_t value_ = 0xcbf29ce484222325ULL;
};

std::vector<std::uint32_t> distinct_words(std::span<const std::uint32_t> content) {
    std::vector<std::uint32_t> distinct(content.begin(), content.end());
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    return distinct;
}

// The distinct content words of a record, rarest first (fewest records, then
// lowest number), cut to the first few: any title whose words agree with
// these at least `agreement` (dice, exact words) shares one of them.
std::vector<std::uint32_t> rare_prefix(std::span<const std::uint32_t> content,
                                       const std::vector<std::uint32_t>& frequency, double agreement) {
    std::vector<std::uint32_t> distinct = distinct_words(content);
    const auto frequency_of = [&](std::uint32_t word) { return word < frequency.size() ? frequency[word] : 0u; };
    std::sort(distinct.begin(), distinct.end(), [&](std::uint32_t a, std::uint32_t b) {
        return frequency_of(a) != frequency_of(b) ? frequency_of(a) < frequency_of(b) : a < b;
    });
    // Two word sets of sizes n and m with d = 2o / (n + m) >= agreement share
    // at least o >= agreement * n / (2 - agreement) words; then their first
    // n - o + 1 words in one global order meet.
    const auto n = static_cast<double>(distinct.size());
    const auto least_shared = static_cast<std::size_t>(std::ceil(agreement * n / (2.0 - agreement) - 1e-9));
    const std::size_t prefix = distinct.size() - std::min(distinct.size(), std::max<std::size_t>(least_shared, 1)) + 1;
    distinct.resize(std::min(prefix, distinct.size()));
    return distinct;
}

// How many letters of a family name's ends its keys take.
constexpr std::size_t kFamilyEnd = 4;

// A family name as keys: its first and its last kFamilyEnd letters (one key
// for a name no longer than that). One letter inserted, dropped or changed
// leaves one of them as it was, but in the middle of a short name.
void family_parts(std::string_view family, std::vector<std::uint64_t>& parts) {
    std::vector<std::size_t> starts;  // where each code point starts
    for (std::size_t i = 0; i < family.size(); ++i) {
        if ((static_cast<unsigned char>(family[i]) & 0xC0) != 0x80) starts.push_back(i);
    }
    if (starts.size() <= kFamilyEnd) {
        parts.push_back(KeyHash('n').add(family).value());
        return;
    }
    parts.push_back(KeyHash('<').add(family.substr(0, starts[kFamilyEnd])).value());
    parts.push_back(KeyHash('>').add(family.substr(starts[starts.size() - kFamilyEnd])).value());
}

}  // namespace

// ---- WorkCatalogue ---------------------------------------------------------

WorkCatalogue::WorkCatalogue(const RecordStore& store, same_work::Words& words, const ParallelFor& run,
                             const std::atomic<bool>& stop) {
    const std::optional<std::size_t> families = store.text_column(kFamilies);
    const std::optional<std::size_t> et_al = store.text_column(kEtAl);
    const std::optional<std::size_t> kind = store.text_column(kKind);
    works_.reserve(store.size());
    std::vector<same_work::WorkDraft> drafts;
    for (std::size_t first = 0; first < store.size(); first += kDraftChunk) {
        if (stop.load(std::memory_order_relaxed)) return;
        const std::size_t count = std::min(kDraftChunk, store.size() - first);
        drafts.assign(count, {});
        run(count, [&](std::size_t lo, std::size_t hi) {
            for (std::size_t d = lo; d < hi; ++d) {
                const std::size_t k = first + d;
                const auto text_of = [&](const std::optional<std::size_t>& column) {
                    return column ? text_or_empty(store.text(k, *column)) : std::string_view();
                };
                drafts[d] =
                    same_work::work_draft(store.view(k), text_of(families), !text_of(et_al).empty(), text_of(kind));
            }
        });
        for (same_work::WorkDraft& draft : drafts) {
            same_work::add_words(draft, words);
            append(draft.facts);
        }
    }
    drafts = {};
    journal_at_ = {};
    count_titles();
    screens_.reserve(works_.size());
    for (std::size_t k = 0; k < works_.size(); ++k) screens_.push_back(same_work::screen_of((*this)[k]));
}

void WorkCatalogue::append(const same_work::WorkFacts& facts) {
    Packed packed;
    packed.ids_at = ids_.size();
    for (const auto* list : {&facts.content, &facts.numbers, &facts.parts, &facts.families}) {
        ids_.insert(ids_.end(), list->begin(), list->end());
    }
    packed.content = static_cast<std::uint32_t>(facts.content.size());
    packed.numbers = static_cast<std::uint32_t>(facts.numbers.size());
    packed.parts = static_cast<std::uint32_t>(facts.parts.size());
    packed.families = static_cast<std::uint32_t>(facts.families.size());
    packed.texts_at = texts_.size();
    texts_.append(facts.doi);
    packed.doi = static_cast<std::uint32_t>(facts.doi.size());
    if (facts.pages && facts.pages->lone) {
        texts_.append(*facts.pages->lone);
        packed.lone_pages = static_cast<std::uint32_t>(facts.pages->lone->size());
    }
    if (!facts.journal.empty()) {
        const auto [at, added] = journal_at_.try_emplace(facts.journal, texts_.size());
        if (added) texts_.append(facts.journal);
        packed.journal_at = at->second;
        packed.journal = static_cast<std::uint32_t>(facts.journal.size());
    }
    if (facts.year) {
        packed.flags |= kFlagYear;
        packed.year = *facts.year;
    }
    if (facts.volume) {
        packed.flags |= kFlagVolume;
        packed.volume = *facts.volume;
    }
    if (facts.number) {
        packed.flags |= kFlagNumber;
        packed.number = *facts.number;
    }
    if (facts.pages) {
        packed.flags |= kFlagPages;
        packed.first_page = facts.pages->first;
        packed.last_page = facts.pages->last;
    }
    if (facts.generic) packed.flags |= kFlagGeneric;
    if (facts.et_al) packed.flags |= kFlagEtAl;
    packed.markers = facts.markers;
    packed.venue = facts.venue;
    packed.type_class = facts.type_class;
    works_.push_back(packed);
}

// Each record's title_frequency: the records of the catalogue with the same
// content words, in order.
void WorkCatalogue::count_titles() {
    const auto content_bytes = [&](const Packed& packed) {
        return std::string_view(reinterpret_cast<const char*>(ids_.data() + packed.ids_at),
                                packed.content * sizeof(std::uint32_t));
    };
    std::unordered_map<std::string_view, std::uint32_t> titles;
    titles.reserve(works_.size());
    for (const Packed& packed : works_) ++titles[content_bytes(packed)];
    for (Packed& packed : works_) packed.title_frequency = titles[content_bytes(packed)];
}

std::vector<std::uint32_t> WorkCatalogue::title_frequencies() const {
    std::vector<std::uint32_t> counts;
    counts.reserve(works_.size());
    for (const Packed& packed : works_) counts.push_back(packed.title_frequency);
    return counts;
}

void WorkCatalogue::use_title_frequencies(std::span<const std::uint32_t> counts) {
    for (std::size_t k = 0; k < works_.size() && k < counts.size(); ++k) works_[k].title_frequency = counts[k];
}

WorkView WorkCatalogue::operator[](std::size_t k) const noexcept {
    const Packed& packed = works_[k];
    WorkView view;
    const std::uint32_t* ids = ids_.data() + packed.ids_at;
    view.content = {ids, packed.content};
    ids += packed.content;
    view.numbers = {ids, packed.numbers};
    ids += packed.numbers;
    view.parts = {ids, packed.parts};
    ids += packed.parts;
    view.families = {ids, packed.families};
    view.doi = std::string_view(texts_.data() + packed.texts_at, packed.doi);
    view.lone_pages = std::string_view(texts_.data() + packed.texts_at + packed.doi, packed.lone_pages);
    view.journal = std::string_view(texts_.data() + packed.journal_at, packed.journal);
    if (packed.flags & kFlagYear) view.year = packed.year;
    if (packed.flags & kFlagVolume) view.volume = packed.volume;
    if (packed.flags & kFlagNumber) view.number = packed.number;
    view.has_pages = (packed.flags & kFlagPages) != 0;
    view.first_page = packed.first_page;
    view.last_page = packed.last_page;
    view.markers = packed.markers;
    view.generic = (packed.flags & kFlagGeneric) != 0;
    view.et_al = (packed.flags & kFlagEtAl) != 0;
    view.venue = packed.venue;
    view.type_class = packed.type_class;
    view.title_frequency = packed.title_frequency;
    return view;
}

std::size_t WorkCatalogue::memory_bytes() const noexcept {
    return works_.capacity() * sizeof(Packed) + screens_.capacity() * sizeof(same_work::Screen) +
           ids_.capacity() * sizeof(std::uint32_t) + texts_.capacity();
}

// ---- CandidateIndex --------------------------------------------------------

std::vector<CandidateIndex::Key> CandidateIndex::keys_of(const WorkView& record, bool probing) const {
    std::vector<Key> keys;
    const auto near = static_cast<std::int32_t>(options_.same_years);
    if (!record.doi.empty()) keys.push_back({KeyHash('d').add(record.doi).value(), kAnyYear});
    if (options_.prefix_words > 0 && record.content.size() >= options_.prefix_words) {
        KeyHash prefix('p');
        for (std::size_t w = 0; w < options_.prefix_words; ++w) prefix.add(record.content[w]);
        keys.push_back({prefix.value(), near});
    }
    // The same pages identify a work only from page 2 on, or as the same range.
    const bool identifying_pages = record.has_pages && (record.first_page > 1 || record.last_page > record.first_page);
    // Each family name as its first and its last letters, so that a name
    // with one letter wrong still shares a key.
    std::vector<std::uint64_t> families;
    for (const std::uint32_t family : record.families) family_parts(words_.text(family), families);
    if (identifying_pages) {
        for (const std::uint64_t family : families) {
            KeyHash pages('f');
            pages.add(family).add(record.first_page);
            if (record.first_page <= 1) pages.add(record.last_page);
            keys.push_back({pages.value(), near});
        }
    }
    if (!record.journal.empty() && record.volume && record.number) {
        keys.push_back({KeyHash('i').add(record.journal).add(*record.volume).add(*record.number).value(), near});
    }
    // A rare word with a family name: a pair is the same work by its titles
    // only when its authors agree too.
    for (const std::uint32_t word : rare_prefix(record.content, frequency_, options_.title_agreement)) {
        for (const std::uint64_t family : families) keys.push_back({KeyHash('w').add(word).add(family).value(), near});
    }
    // With no authors on one side, the titles must agree and either the
    // pages do, or the whole title does in the same year: the first page, or
    // one of the rarest words in that year, pairs a record without authors
    // with every other.
    const bool authors = !record.families.empty();
    const auto without_authors_key = [&](KeyHash key, std::int32_t years) {
        constexpr std::uint32_t kNoAuthors = 0, kAnyAuthors = 1;
        if (!authors) keys.push_back({KeyHash(key).add(probing ? kAnyAuthors : kNoAuthors).value(), years});
        if (!authors && !probing) keys.push_back({KeyHash(key).add(kAnyAuthors).value(), years});
        if (authors) keys.push_back({KeyHash(key).add(probing ? kNoAuthors : kAnyAuthors).value(), years});
    };
    if (identifying_pages) {
        KeyHash pages('g');
        pages.add(record.first_page);
        if (record.first_page <= 1) pages.add(record.last_page);
        without_authors_key(pages, near);
    }
    if (record.year) {
        for (const std::uint32_t word : rare_prefix(record.content, frequency_, options_.whole_title_agreement)) {
            without_authors_key(KeyHash('a').add(word), 0);
        }
    }
    std::sort(keys.begin(), keys.end(), [](const Key& a, const Key& b) { return a.hash < b.hash; });
    keys.erase(std::unique(keys.begin(), keys.end(), [](const Key& a, const Key& b) { return a.hash == b.hash; }),
               keys.end());
    return keys;
}

CandidateIndex::CandidateIndex(const WorkCatalogue& works, const same_work::Words& words,
                               const CandidateOptions& options, const ParallelFor& run)
    : words_(words), options_(options), records_(works.size()), frequency_(words.size(), 0) {
    for (std::size_t k = 0; k < works.size(); ++k) {
        for (const std::uint32_t word : distinct_words(works[k].content)) ++frequency_[word];
    }
    // (key, year, record) for every key of every record, then grouped by key.
    struct Entry {
        std::uint64_t key;
        Posting posting;
        bool operator<(const Entry& other) const noexcept {
            if (key != other.key) return key < other.key;
            if (posting.year != other.posting.year) return posting.year < other.posting.year;
            return posting.record < other.posting.record;
        }
    };
    std::vector<std::vector<Entry>> parts(std::max<std::size_t>(1, (works.size() + kDraftChunk - 1) / kDraftChunk));
    run(parts.size(), [&](std::size_t lo, std::size_t hi) {
        for (std::size_t part = lo; part < hi; ++part) {
            const std::size_t end = std::min(works.size(), (part + 1) * kDraftChunk);
            for (std::size_t k = part * kDraftChunk; k < end; ++k) {
                const WorkView record = works[k];
                const std::int32_t year = record.year ? *record.year : kNoYear;
                for (const Key& key : keys_of(record, false)) {
                    parts[part].push_back({key.hash, {key.years >= 0 ? year : kNoYear, static_cast<std::uint32_t>(k)}});
                }
            }
            std::sort(parts[part].begin(), parts[part].end());
        }
    });
    // The sorted parts one after another, then merged pairwise until one run is left.
    std::vector<Entry> entries;
    std::vector<std::size_t> bounds{0};
    for (std::vector<Entry>& part : parts) {
        entries.insert(entries.end(), part.begin(), part.end());
        part = {};
        bounds.push_back(entries.size());
    }
    parts = {};
    while (bounds.size() > 2) {
        const std::size_t runs = bounds.size() - 1;
        run(runs / 2, [&](std::size_t lo, std::size_t hi) {
            for (std::size_t pair = lo; pair < hi; ++pair) {
                const auto at = [&](std::size_t bound) {
                    return entries.begin() + static_cast<std::ptrdiff_t>(bounds[bound]);
                };
                std::inplace_merge(at(2 * pair), at(2 * pair + 1), at(2 * pair + 2));
            }
        });
        std::vector<std::size_t> merged;
        for (std::size_t bound = 0; bound < bounds.size(); bound += 2) merged.push_back(bounds[bound]);
        if (merged.back() != bounds.back()) merged.push_back(bounds.back());
        bounds = std::move(merged);
    }
    postings_.reserve(entries.size());
    std::size_t distinct = 0;
    for (std::size_t e = 0; e < entries.size(); ++e) distinct += e == 0 || entries[e].key != entries[e - 1].key;
    std::size_t capacity = 16;
    while (capacity < distinct * 2) capacity *= 2;
    slots_.assign(capacity, Slot{});
    for (std::size_t lo = 0; lo < entries.size();) {
        std::size_t hi = lo + 1;
        while (hi < entries.size() && entries[hi].key == entries[lo].key) ++hi;
        std::size_t slot = entries[lo].key & (capacity - 1);
        while (slots_[slot].size != 0) slot = (slot + 1) & (capacity - 1);
        slots_[slot] = Slot{entries[lo].key, postings_.size(), static_cast<std::uint32_t>(hi - lo)};
        for (std::size_t e = lo; e < hi; ++e) postings_.push_back(entries[e].posting);
        lo = hi;
    }
    table_size_ = distinct;
}

const CandidateIndex::Slot* CandidateIndex::find(std::uint64_t key) const noexcept {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = key & mask;; slot = (slot + 1) & mask) {
        if (slots_[slot].size == 0) return nullptr;
        if (slots_[slot].key == key) return &slots_[slot];
    }
}

void CandidateIndex::for_each_partner(const WorkView& record, Scratch& scratch,
                                      const std::function<void(std::uint32_t)>& visit) const {
    if (scratch.seen.size() < records_) {
        scratch.seen.assign(records_, 0);
        scratch.stamp = 0;
    }
    if (++scratch.stamp == 0) {
        std::fill(scratch.seen.begin(), scratch.seen.end(), 0);
        scratch.stamp = 1;
    }
    const auto pair_with = [&](const Posting* first, const Posting* last) {
        if (static_cast<std::size_t>(last - first) > options_.most_per_key) {
            ++scratch.keys_skipped;
            return;
        }
        for (const Posting* p = first; p != last; ++p) {
            if (scratch.seen[p->record] == scratch.stamp) continue;
            scratch.seen[p->record] = scratch.stamp;
            visit(p->record);
        }
    };
    const auto year_at = [](const Posting& p, std::int32_t year) { return p.year < year; };
    for (const Key& key : keys_of(record, true)) {
        const Slot* slot = find(key.hash);
        if (slot == nullptr) continue;
        const Posting* first = postings_.data() + slot->begin;
        const Posting* last = first + slot->size;
        if (key.years < 0 || !record.year) {
            pair_with(first, last);
            continue;
        }
        // Records without a year, then those within the decision's year gap.
        const Posting* no_year_end = std::lower_bound(first, last, kNoYear + 1, year_at);
        pair_with(first, no_year_end);
        const std::int64_t year = *record.year;
        const auto low = static_cast<std::int32_t>(std::max<std::int64_t>(year - key.years, kNoYear + 1));
        const auto high = static_cast<std::int32_t>(
            std::min<std::int64_t>(year + key.years, std::numeric_limits<std::int32_t>::max() - 1));
        const Posting* from = std::lower_bound(no_year_end, last, low, year_at);
        const Posting* to = std::lower_bound(from, last, high + 1, year_at);
        pair_with(from, to);
    }
}

std::size_t CandidateIndex::memory_bytes() const noexcept {
    return frequency_.capacity() * sizeof(std::uint32_t) + postings_.capacity() * sizeof(Posting) +
           slots_.capacity() * sizeof(Slot);
}

}  // namespace refsieve::engine
