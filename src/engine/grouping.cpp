#include "engine/grouping.hpp"

#include <algorithm>
#include <functional>
#include <numeric>
#include <queue>
#include <unordered_map>

namespace refsieve::engine {
namespace {

using same_work::Decision;
using same_work::Verdict;

// Pairs decided between two looks at the stop flag.
constexpr std::size_t kPairsPerRange = 4096;

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

std::optional<Grouping> group_works(const WorkCatalogue& works, const same_work::Words& words,
                                    std::span<const Pair> candidates, const GroupingOptions& options,
                                    MatchControl& control, batch::ThreadPool& pool) {
    const auto run = [&](std::size_t n, const std::function<void(std::size_t, std::size_t)>& body) {
        pool.parallel_for(n, body, control.period, control.while_waiting);
    };
    const auto stopped = [&] { return control.stop.load(std::memory_order_relaxed); };

    // 1. The candidate pairs decided.
    std::vector<Decision> decided(candidates.size());
    const std::size_t ranges = (candidates.size() + kPairsPerRange - 1) / kPairsPerRange;
    run(ranges, [&](std::size_t lo, std::size_t hi) {
        for (std::size_t range = lo; range < hi && !stopped(); ++range) {
            const std::size_t end = std::min(candidates.size(), (range + 1) * kPairsPerRange);
            for (std::size_t p = range * kPairsPerRange; p < end; ++p) {
                decided[p] =
                    same_work::decide(works[candidates[p].first], works[candidates[p].second], words, options.decision);
            }
        }
    });
    if (stopped()) return std::nullopt;

    Grouping grouping;
    grouping.counts.pairs_decided = candidates.size();
    // 2. Components along the SAME pairs.
    UnionFind components(works.size());
    for (std::size_t p = 0; p < candidates.size(); ++p) {
        if (decided[p].verdict == Verdict::same) {
            ++grouping.counts.same_pairs;
            components.join(candidates[p].first, candidates[p].second);
        } else if (decided[p].verdict == Verdict::different) {
            ++grouping.counts.different_pairs;
        }
    }
    std::vector<std::vector<std::uint32_t>> members_of(works.size());
    for (std::uint32_t k = 0; k < works.size(); ++k) members_of[components.find(k)].push_back(k);
    std::vector<std::uint32_t> roots;
    for (std::uint32_t k = 0; k < works.size(); ++k) {
        if (members_of[k].size() >= 2) roots.push_back(k);
    }
    grouping.counts.components = roots.size();

    // The candidate decisions of the components too large to decide every
    // pair, by their pair of records.
    std::unordered_map<std::uint64_t, Decision> candidate_decision;
    const auto pair_key = [](std::uint32_t a, std::uint32_t b) { return std::uint64_t{a} << 32 | b; };
    for (const std::uint32_t root : roots) {
        grouping.counts.largest_component =
            std::max<std::uint64_t>(grouping.counts.largest_component, members_of[root].size());
        if (members_of[root].size() > options.most_decided_component) ++grouping.counts.components_from_candidates;
    }
    if (grouping.counts.components_from_candidates > 0) {
        for (std::size_t p = 0; p < candidates.size(); ++p) {
            const std::uint32_t root = components.find(candidates[p].first);
            if (members_of[root].size() > options.most_decided_component) {
                candidate_decision.emplace(pair_key(candidates[p].first, candidates[p].second), decided[p]);
            }
        }
    }

    // 3. Each component grouped on its own.
    std::vector<std::vector<std::vector<std::uint32_t>>> groups_of(roots.size());
    run(roots.size(), [&](std::size_t lo, std::size_t hi) {
        for (std::size_t c = lo; c < hi && !stopped(); ++c) {
            const std::vector<std::uint32_t>& members = members_of[roots[c]];
            const bool every_pair = members.size() <= options.most_decided_component;
            groups_of[c] = merge_component(
                members,
                [&](std::size_t a, std::size_t b) {
                    if (every_pair) {
                        return same_work::decide(works[members[a]], works[members[b]], words, options.decision);
                    }
                    const auto found = candidate_decision.find(pair_key(members[a], members[b]));
                    return found == candidate_decision.end() ? Decision{} : found->second;
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
    for (std::size_t p = 0; p < candidates.size(); ++p) {
        if (decided[p].verdict == Verdict::same &&
            grouping.group[candidates[p].first] == grouping.group[candidates[p].second]) {
            grouping.same_inside.push_back(DecidedPair{candidates[p].first, candidates[p].second, decided[p]});
        }
    }
    return grouping;
}

}  // namespace refsieve::engine
