#include "engine/works.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>

namespace refsieve::engine {
namespace {

// The content words that two titles agreeing with each other must both
// begin with, the prefix rule of the decision: this many of them.
constexpr std::size_t kPrefixWords = 4;

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
    std::uint64_t value() const noexcept { return value_; }

private:
    std::uint64_t value_ = 0xcbf29ce484222325ULL;
};

// The distinct content words of a record, rarest first (fewest records, then
// lowest number), and how many of the first of them any title that agrees
// with it at least `agreement` must share one of.
std::vector<std::uint32_t> rare_prefix(const same_work::WorkFacts& facts, const std::vector<std::uint32_t>& frequency,
                                       double agreement) {
    std::vector<std::uint32_t> distinct(facts.content.begin(), facts.content.end());
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    std::sort(distinct.begin(), distinct.end(), [&](std::uint32_t a, std::uint32_t b) {
        return frequency[a] != frequency[b] ? frequency[a] < frequency[b] : a < b;
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

}  // namespace

WorkCatalogue::WorkCatalogue(const RecordStore& store, same_work::Words& words, const std::atomic<bool>& stop) {
    const std::optional<std::size_t> families = store.text_column(kFamilies);
    const std::optional<std::size_t> et_al = store.text_column(kEtAl);
    const std::optional<std::size_t> kind = store.text_column(kKind);
    facts_.reserve(store.size());
    std::unordered_map<std::string, std::uint32_t> titles;
    for (std::size_t k = 0; k < store.size(); ++k) {
        if (k % 4096 == 0 && stop.load(std::memory_order_relaxed)) return;
        const auto text_of = [&](const std::optional<std::size_t>& column) {
            return column ? text_or_empty(store.text(k, *column)) : std::string_view();
        };
        facts_.push_back(
            same_work::work_facts(store.view(k), text_of(families), !text_of(et_al).empty(), text_of(kind), words));
        ++titles[same_work::content_key(facts_.back())];
    }
    for (same_work::WorkFacts& facts : facts_) facts.title_frequency = titles[same_work::content_key(facts)];
}

std::vector<Pair> candidate_pairs(const WorkCatalogue& works, const same_work::Words& words,
                                  const CandidateOptions& options, CandidateCounts& counts) {
    std::vector<std::uint32_t> frequency(words.size(), 0);
    for (std::size_t k = 0; k < works.size(); ++k) {
        std::vector<std::uint32_t> distinct(works[k].content.begin(), works[k].content.end());
        std::sort(distinct.begin(), distinct.end());
        distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
        for (const std::uint32_t word : distinct) ++frequency[word];
    }
    // (key, record) for every key of every record, then grouped by key.
    std::vector<std::pair<std::uint64_t, std::uint32_t>> keyed;
    for (std::size_t k = 0; k < works.size(); ++k) {
        const same_work::WorkFacts& facts = works[k];
        const auto record = static_cast<std::uint32_t>(k);
        if (!facts.doi.empty()) keyed.emplace_back(KeyHash('d').add(std::string_view(facts.doi)).value(), record);
        if (facts.content.size() >= kPrefixWords) {
            KeyHash prefix('p');
            for (std::size_t w = 0; w < kPrefixWords; ++w) prefix.add(facts.content[w]);
            keyed.emplace_back(prefix.value(), record);
        }
        if (facts.pages && facts.pages->first > 1) {
            for (const std::uint32_t family : facts.families) {
                keyed.emplace_back(KeyHash('f').add(family).add(facts.pages->first).value(), record);
            }
        }
        if (!facts.journal.empty() && facts.volume && facts.number) {
            keyed.emplace_back(
                KeyHash('i').add(std::string_view(facts.journal)).add(*facts.volume).add(*facts.number).value(),
                record);
        }
        for (const std::uint32_t word : rare_prefix(facts, frequency, options.title_agreement)) {
            keyed.emplace_back(KeyHash('w').add(word).value(), record);
        }
    }
    std::sort(keyed.begin(), keyed.end());
    keyed.erase(std::unique(keyed.begin(), keyed.end()), keyed.end());
    std::vector<Pair> pairs;
    for (std::size_t lo = 0; lo < keyed.size();) {
        std::size_t hi = lo + 1;
        while (hi < keyed.size() && keyed[hi].first == keyed[lo].first) ++hi;
        const std::size_t holders = hi - lo;
        if (holders >= 2) {
            ++counts.keys;
            if (holders > options.most_per_key) {
                ++counts.keys_skipped;
                counts.records_skipped += holders;
            } else {
                for (std::size_t a = lo; a < hi; ++a) {
                    for (std::size_t b = a + 1; b < hi; ++b) pairs.emplace_back(keyed[a].second, keyed[b].second);
                }
            }
        }
        lo = hi;
    }
    std::sort(pairs.begin(), pairs.end());
    pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
    counts.pairs = pairs.size();
    return pairs;
}

std::vector<Pair> every_pair(std::size_t count) {
    std::vector<Pair> pairs;
    pairs.reserve(count * (count > 0 ? count - 1 : 0) / 2);
    for (std::size_t a = 0; a < count; ++a) {
        for (std::size_t b = a + 1; b < count; ++b) {
            pairs.emplace_back(static_cast<std::uint32_t>(a), static_cast<std::uint32_t>(b));
        }
    }
    return pairs;
}

}  // namespace refsieve::engine
