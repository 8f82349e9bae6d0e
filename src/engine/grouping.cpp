#include "engine/grouping.hpp"

#include <algorithm>
#include <functional>
#include <mutex>
#include <numeric>
#include <queue>
#include <unordered_map>

namespace refsieve::engine {
namespace {

using same_work::Decision;
using same_work::Verdict;

class UnionFind {
public:
    explicit UnionFind(std::size_t n) : parent_(n) { std::iota(parent_.begin(), parent_.end(), 0u); }
    std::uint32_t find(std::uint32_t x) {
        while (parent_[x] != x) {
            parent_[x] = parent_[parent_[x]];
            x = parent_[x];
        }
        return x;
    }
    void join(std::uint32_t a, std::uint32_t b) {
        a = find(a);
        b = find(b);
        if (a != b) parent_[std::max(a, b)] = std::min(a, b);
    }

private:
    std::vector<std::uint32_t> parent_;
};

// The pairs across two groups: how many are SAME and DIFFERENT, and the sum
// of the SAME pairs' strengths.
struct Link {
    std::uint32_t same = 0;
    std::uint32_t different = 0;
    double strength = 0.0;
};

}  // namespace

std::vector<std::vector<std::uint32_t>> merge_component(
    std::span<const std::uint32_t> members, const std::function<Decision(std::size_t, std::size_t)>& decision,
    double share) {
    const std::size_t n = members.size();
    std::vector<std::unordered_map<std::uint32_t, Link>> links(n);
    for (std::size_t a = 0; a < n; ++a) {
        for (std::size_t b = a + 1; b < n; ++b) {
            const Decision d = decision(a, b);
            if (d.verdict == Verdict::neutral) continue;
            const Link link = d.verdict == Verdict::same ? Link{1, 0, d.strength} : Link{0, 1, 0.0};
            links[a][static_cast<std::uint32_t>(b)] = link;
            links[b][static_cast<std::uint32_t>(a)] = link;
        }
    }
    std::vector<std::size_t> size(n, 1);
    std::vector<std::uint32_t> version(n, 0);
    std::vector<bool> alive(n, true);
    std::vector<std::vector<std::uint32_t>> groups(n);
    for (std::size_t a = 0; a < n; ++a) groups[a] = {members[a]};

    // The eligible joins, highest share of SAME pairs first, then the highest
    // strength, then the lowest groups; an entry whose groups have changed
    // since it was made is stale.
    struct Candidate {
        double share;
        double strength;
        std::uint32_t g, h;
        std::uint32_t g_version, h_version;
        bool operator<(const Candidate& other) const {
            if (share != other.share) return share < other.share;
            if (strength != other.strength) return strength < other.strength;
            if (g != other.g) return g > other.g;
            return h > other.h;
        }
    };
    std::priority_queue<Candidate> heap;
    const auto offer = [&](std::uint32_t g, std::uint32_t h) {
        const auto found = links[g].find(h);
        if (found == links[g].end()) return;
        const Link& link = found->second;
        if (link.same == 0 || link.different != 0) return;
        const double joined = static_cast<double>(link.same) / static_cast<double>(size[g] * size[h]);
        if (joined < share) return;
        const std::uint32_t low = std::min(g, h), high = std::max(g, h);
        heap.push(Candidate{joined, link.strength, low, high, version[low], version[high]});
    };
    for (std::uint32_t g = 0; g < n; ++g) {
        for (const auto& [h, link] : links[g]) {
            if (g < h) offer(g, h);
        }
    }
    while (!heap.empty()) {
        const Candidate top = heap.top();
        heap.pop();
        if (!alive[top.g] || !alive[top.h] || version[top.g] != top.g_version || version[top.h] != top.h_version) {
            continue;
        }
        const std::uint32_t keep = top.g, gone = top.h;
        size[keep] += size[gone];
        alive[gone] = false;
        ++version[keep];
        groups[keep].insert(groups[keep].end(), groups[gone].begin(), groups[gone].end());
        groups[gone].clear();
        for (const auto& [other, link] : links[gone]) {
            if (other == keep) continue;
            links[other].erase(gone);
            Link& joined = links[keep][other];
            joined.same += link.same;
            joined.different += link.different;
            joined.strength += link.strength;
            links[other][keep] = joined;
        }
        links[gone].clear();
        links[keep].erase(gone);
        for (const auto& [other, link] : links[keep]) offer(keep, other);
    }
    std::vector<std::vector<std::uint32_t>> result;
    for (std::size_t a = 0; a < n; ++a) {
        if (alive[a]) result.push_back(std::move(groups[a]));
    }
    return result;
}

namespace {

thread_local CandidateIndex::Scratch t_scratch;

}  // namespace

void Partners::of(std::uint32_t i, const std::function<void(std::uint32_t)>& visit) const {
    const bool self = others_ == &subjects_;
    if (index_ == nullptr) {
        for (std::uint32_t j = self ? i + 1 : 0; j < others_->size(); ++j) visit(j);
        return;
    }
    index_->for_each_partner(subjects_[i], t_scratch, [&](std::uint32_t j) {
        if (!self || j > i) visit(j);
    });
}

std::uint64_t Partners::keys_skipped() noexcept { return t_scratch.keys_skipped; }

std::optional<std::vector<Pair>> partner_pairs(const Partners& partners, MatchControl& control, batch::ThreadPool& pool,
                                               GroupingCounts& counts) {
    std::vector<Pair> pairs;
    std::mutex merging;
    on_pool(pool, control)(partners.subjects().size(), [&](std::size_t lo, std::size_t hi) {
        std::vector<Pair> found;
        std::uint64_t keys_skipped = 0, records_skipped = 0;
        for (std::size_t i = lo; i < hi && !control.stop.load(std::memory_order_relaxed); ++i) {
            const auto subject = static_cast<std::uint32_t>(i);
            const std::uint64_t skipped_before = Partners::keys_skipped();
            partners.of(subject, [&](std::uint32_t j) { found.emplace_back(subject, j); });
            keys_skipped += Partners::keys_skipped() - skipped_before;
            records_skipped += Partners::keys_skipped() != skipped_before;
        }
        const std::lock_guard<std::mutex> lock(merging);
        pairs.insert(pairs.end(), found.begin(), found.end());
        counts.keys_skipped += keys_skipped;
        counts.records_skipped += records_skipped;
    });
    if (control.stop.load()) return std::nullopt;
    std::sort(pairs.begin(), pairs.end());
    return pairs;
}

std::optional<DecidedPairs> decide_partners(const Partners& partners, const same_work::Words& words,
                                            const same_work::Settings& settings, MatchControl& control,
                                            batch::ThreadPool& pool) {
    const auto stopped = [&] { return control.stop.load(std::memory_order_relaxed); };
    DecidedPairs decided;
    std::mutex merging;
    on_pool(pool, control)(partners.subjects().size(), [&](std::size_t lo, std::size_t hi) {
        std::vector<DecidedPair> same;
        GroupingCounts counts;
        for (std::size_t i = lo; i < hi && !stopped(); ++i) {
            const auto subject = static_cast<std::uint32_t>(i);
            const same_work::WorkView view = partners.subjects()[i];
            const std::uint64_t skipped_before = Partners::keys_skipped();
            const same_work::Screen& screen = partners.subjects().screen(i);
            partners.of(subject, [&](std::uint32_t j) {
                ++counts.pairs_decided;
                if (same_work::screened_apart(screen, partners.others().screen(j))) {
                    ++counts.different_pairs;
                    return;
                }
                const Decision d = same_work::decide_verdict(view, partners.others()[j], words, settings);
                if (d.verdict == Verdict::same) {
                    same.push_back(DecidedPair{subject, j, d});
                } else if (d.verdict == Verdict::different) {
                    ++counts.different_pairs;
                }
            });
            if (Partners::keys_skipped() != skipped_before) {
                counts.keys_skipped += Partners::keys_skipped() - skipped_before;
                ++counts.records_skipped;
            }
            control.done.fetch_add(1, std::memory_order_relaxed);
        }
        const std::lock_guard<std::mutex> lock(merging);
        decided.same.insert(decided.same.end(), same.begin(), same.end());
        decided.counts.pairs_decided += counts.pairs_decided;
        decided.counts.different_pairs += counts.different_pairs;
        decided.counts.keys_skipped += counts.keys_skipped;
        decided.counts.records_skipped += counts.records_skipped;
    });
    if (stopped()) return std::nullopt;
    std::sort(decided.same.begin(), decided.same.end(), [](const DecidedPair& x, const DecidedPair& y) {
        return x.first != y.first ? x.first < y.first : x.second < y.second;
    });
    decided.counts.same_pairs = decided.same.size();
    return decided;
}

namespace {

// visit(j) for the proposed partners j > a of record a.
using PartnersAfter = std::function<void(std::uint32_t, const std::function<void(std::uint32_t)>&)>;

// The groups from the SAME pairs of a catalogue (sorted): components along
// them, each grouped on its own.
std::optional<Grouping> group_decided(const WorkCatalogue& works, const same_work::Words& words,
                                      const DecidedPairs& decided, const PartnersAfter& partners_after,
                                      const GroupingOptions& options, MatchControl& control, batch::ThreadPool& pool) {
    const auto stopped = [&] { return control.stop.load(std::memory_order_relaxed); };
    const auto decide = [&](std::uint32_t a, std::uint32_t b) {
        return same_work::decide(works[a], works[b], words, options.decision);
    };
    Grouping grouping;
    grouping.counts = decided.counts;
    const std::vector<DecidedPair>& same = decided.same;

    // 2. Components along the SAME pairs.
    UnionFind components(works.size());
    for (const DecidedPair& pair : same) components.join(pair.first, pair.second);
    std::vector<std::uint32_t> root_of(works.size());
    std::vector<std::uint32_t> component_size(works.size(), 0);
    for (std::uint32_t k = 0; k < works.size(); ++k) {
        root_of[k] = components.find(k);
        ++component_size[root_of[k]];
    }
    std::vector<std::vector<std::uint32_t>> members_of;
    {
        std::vector<std::uint32_t> slot(works.size(), 0);
        for (std::uint32_t k = 0; k < works.size(); ++k) {
            if (root_of[k] == k && component_size[k] >= 2) {
                slot[k] = static_cast<std::uint32_t>(members_of.size());
                members_of.emplace_back();
                members_of.back().reserve(component_size[k]);
            }
        }
        for (std::uint32_t k = 0; k < works.size(); ++k) {
            if (component_size[root_of[k]] >= 2) members_of[slot[root_of[k]]].push_back(k);
        }
    }
    grouping.counts.components = members_of.size();
    for (const std::vector<std::uint32_t>& members : members_of) {
        grouping.counts.largest_component = std::max<std::uint64_t>(grouping.counts.largest_component, members.size());
        if (members.size() > options.most_decided_component) ++grouping.counts.components_from_candidates;
    }

    // 3. Each component grouped on its own: from every pair in it, or for a
    // component too large for that, from its proposed pairs alone.
    std::vector<std::vector<std::vector<std::uint32_t>>> groups_of(members_of.size());
    const auto pair_key = [](std::uint32_t a, std::uint32_t b) { return std::uint64_t{a} << 32 | b; };
    on_pool(pool, control)(members_of.size(), [&](std::size_t lo, std::size_t hi) {
        for (std::size_t c = lo; c < hi && !stopped(); ++c) {
            const std::vector<std::uint32_t>& members = members_of[c];
            if (members.size() <= options.most_decided_component) {
                groups_of[c] = merge_component(
                    members, [&](std::size_t a, std::size_t b) { return decide(members[a], members[b]); },
                    options.share);
                continue;
            }
            std::unordered_map<std::uint64_t, Decision> proposed;
            for (const std::uint32_t a : members) {
                partners_after(a, [&](std::uint32_t b) {
                    if (root_of[b] == root_of[a]) proposed.emplace(pair_key(a, b), decide(a, b));
                });
            }
            groups_of[c] = merge_component(
                members,
                [&](std::size_t a, std::size_t b) {
                    const auto found = proposed.find(pair_key(members[a], members[b]));
                    return found == proposed.end() ? Decision{} : found->second;
                },
                options.share);
        }
    });
    if (stopped()) return std::nullopt;

    grouping.group.resize(works.size());
    std::iota(grouping.group.begin(), grouping.group.end(), 0u);
    for (const auto& groups : groups_of) {
        for (const std::vector<std::uint32_t>& group : groups) {
            const std::uint32_t first = *std::min_element(group.begin(), group.end());
            for (const std::uint32_t k : group) grouping.group[k] = first;
        }
    }
    for (const DecidedPair& pair : same) {
        if (grouping.group[pair.first] == grouping.group[pair.second]) grouping.same_inside.push_back(pair);
    }
    return grouping;
}

}  // namespace

std::optional<Grouping> group_works(const WorkCatalogue& works, const same_work::Words& words,
                                    const CandidateIndex* index, const GroupingOptions& options, MatchControl& control,
                                    batch::ThreadPool& pool) {
    const Partners partners(works, works, index);
    const std::optional<DecidedPairs> decided = decide_partners(partners, words, options.decision, control, pool);
    if (!decided) return std::nullopt;
    return group_decided(
        works, words, *decided,
        [&](std::uint32_t a, const std::function<void(std::uint32_t)>& visit) { partners.of(a, visit); }, options,
        control, pool);
}

std::optional<Grouping> group_found_pairs(const WorkCatalogue& works, const same_work::Words& words,
                                          std::span<const Pair> same, const GroupingOptions& options,
                                          MatchControl& control, batch::ThreadPool& pool) {
    // The pairs decided again: their decisions are part of the result.
    std::vector<Pair> pairs;
    pairs.reserve(same.size());
    for (const Pair& pair : same) {
        if (pair.first != pair.second)
            pairs.emplace_back(std::min(pair.first, pair.second), std::max(pair.first, pair.second));
    }
    std::sort(pairs.begin(), pairs.end());
    pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
    std::vector<Decision> decisions(pairs.size());
    on_pool(pool, control)(pairs.size(), [&](std::size_t lo, std::size_t hi) {
        for (std::size_t p = lo; p < hi; ++p) {
            decisions[p] = same_work::decide(works[pairs[p].first], works[pairs[p].second], words, options.decision);
        }
    });
    if (control.stop.load()) return std::nullopt;
    DecidedPairs decided;
    decided.counts.pairs_decided = pairs.size();
    std::vector<std::size_t> starts(works.size() + 1, 0);
    for (std::size_t p = 0; p < pairs.size(); ++p) {
        if (decisions[p].verdict == Verdict::same)
            decided.same.push_back({pairs[p].first, pairs[p].second, decisions[p]});
        decided.counts.different_pairs += decisions[p].verdict == Verdict::different;
        ++starts[pairs[p].first + 1];
    }
    decided.counts.same_pairs = decided.same.size();
    for (std::size_t k = 0; k < works.size(); ++k) starts[k + 1] += starts[k];
    return group_decided(
        works, words, decided,
        [&](std::uint32_t a, const std::function<void(std::uint32_t)>& visit) {
            for (std::size_t p = starts[a]; p < starts[a + 1]; ++p) visit(pairs[p].second);
        },
        options, control, pool);
}

}  // namespace refsieve::engine
