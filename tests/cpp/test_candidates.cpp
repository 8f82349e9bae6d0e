// Finding the pairs worth deciding: the word matching of the decision
// against its straightforward twin, and the keys of the candidate index
// against deciding every pair.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/utf8.hpp"
#include "core/word_match.hpp"
#include "engine/grouping.hpp"
#include "engine/works.hpp"
#include "reference/word_match.hpp"

namespace {

using namespace refsieve;

// ---- Word matching: fast against reference ----------------------------------

// Words of two to nine letters, some accented, so that both the byte and
// the code point comparisons run; the second of a pair is often one edit
// away from the first.
std::string random_word(std::mt19937& rng) {
    static const std::vector<std::string> letters = {"a", "b", "c", "d", "e", "k", "o", "r", "s", "t", "é", "ö", "ß"};
    std::string word;
    const int length = std::uniform_int_distribution<int>(2, 9)(rng);
    for (int k = 0; k < length; ++k) word += letters[rng() % letters.size()];
    return word;
}

std::string edited(std::string word, std::mt19937& rng) {
    const std::vector<char32_t> points = utf8::decode(word);
    std::vector<char32_t> out = points;
    const std::size_t at = rng() % (out.size() + 1);
    switch (rng() % 4) {
        case 0: out.insert(out.begin() + static_cast<std::ptrdiff_t>(at), U'x'); break;
        case 1:
            if (at < out.size()) out.erase(out.begin() + static_cast<std::ptrdiff_t>(at));
            break;
        case 2:
            if (at < out.size()) out[at] = U'é';
            break;
        default:
            if (at + 1 < out.size()) std::swap(out[at], out[at + 1]);
    }
    std::string text;
    for (const char32_t c : out) utf8::append(text, c);
    return text;
}

TEST(WordMatch, EqualsTheStraightforwardMatching) {
    std::mt19937 rng(11);
    same_work::Words words;
    std::vector<std::uint32_t> vocabulary;
    for (int k = 0; k < 60; ++k) {
        const std::string word = random_word(rng);
        vocabulary.push_back(words.id(word));
        vocabulary.push_back(words.id(edited(word, rng)));
        // Two neighbouring words that join into another ("back propagation").
        const std::string other = random_word(rng);
        vocabulary.push_back(words.id(other));
        vocabulary.push_back(words.id(word + other));
        vocabulary.push_back(words.id(edited(word + other, rng)));
    }
    const auto random_list = [&] {
        std::vector<std::uint32_t> list(rng() % 9);
        for (std::uint32_t& id : list) id = vocabulary[rng() % vocabulary.size()];
        return list;
    };
    for (int trial = 0; trial < 20000; ++trial) {
        const std::vector<std::uint32_t> xs = random_list(), ys = random_list();
        for (const std::size_t fuzzy : {0, 4, 5, 6}) {
            ASSERT_EQ(same_work::match_titles(xs, ys, words, fuzzy), reference::match_titles(xs, ys, words, fuzzy));
            ASSERT_EQ(same_work::match_names(xs, ys, words, fuzzy), reference::match_names(xs, ys, words, fuzzy));
        }
    }
    for (int trial = 0; trial < 20000; ++trial) {
        const std::string a = random_word(rng);
        const std::string b = rng() % 2 ? edited(a, rng) : random_word(rng);
        ASSERT_EQ(same_work::one_edit_apart(a, b), reference::one_edit_apart(a, b)) << a << " " << b;
    }
}

TEST(WordMatch, ListsLongerThanTheStackHold) {
    same_work::Words words;
    std::vector<std::uint32_t> xs, ys;
    for (int k = 0; k < 100; ++k) {
        xs.push_back(words.id("word" + std::to_string(k)));
        ys.push_back(words.id("word" + std::to_string(k + 50)));
    }
    EXPECT_EQ(same_work::match_titles(xs, ys, words, 5), reference::match_titles(xs, ys, words, 5));
    EXPECT_EQ(same_work::match_names(xs, ys, words, 5), reference::match_names(xs, ys, words, 5));
}

// ---- The candidate index ------------------------------------------------------

struct Entry {
    std::string title;
    std::string families;  // as the command stores them: folded, space-separated
    std::optional<std::int32_t> year;
    std::string doi;
    std::string pages;
    std::string journal;
    std::string kind;
};

engine::RecordStore store_of(const std::vector<Entry>& entries) {
    engine::RecordStore store({engine::WorkCatalogue::kFamilies, engine::WorkCatalogue::kKind});
    std::uint64_t index = 0;
    for (const Entry& e : entries) {
        const auto maybe = [](const std::string& text) {
            return text.empty() ? engine::OptionalText() : engine::OptionalText(text);
        };
        const engine::OptionalText texts[] = {e.title, e.families,     maybe(e.doi), maybe(e.journal),  {},
                                              {},      maybe(e.pages), {},           maybe(e.families), maybe(e.kind)};
        store.append(index++, e.year, texts);
    }
    return store;
}

// Runs the body on the calling thread.
const engine::ParallelFor kHere = [](std::size_t n, const std::function<void(std::size_t, std::size_t)>& body) {
    body(0, n);
};

struct Indexed {
    same_work::Words words;
    std::atomic<bool> stop{false};
    engine::WorkCatalogue works;
    engine::CandidateIndex index;

    Indexed(const engine::RecordStore& store, const engine::CandidateOptions& options)
        : works(store, words, kHere, stop), index(works, words, options, kHere) {}

    std::set<std::pair<std::uint32_t, std::uint32_t>> pairs(std::uint64_t* skipped = nullptr) {
        std::set<std::pair<std::uint32_t, std::uint32_t>> found;
        engine::CandidateIndex::Scratch scratch;
        for (std::uint32_t i = 0; i < works.size(); ++i) {
            index.for_each_partner(works[i], scratch, [&](std::uint32_t j) {
                EXPECT_TRUE(found.insert({i, j}).second || i == j) << "proposed twice";
            });
        }
        if (skipped != nullptr) *skipped = scratch.keys_skipped;
        return found;
    }
};

TEST(CandidateIndex, KeysPairRecordsInTheYearsTheDecisionAllows) {
    const std::vector<Entry> entries = {
        {"Learning sparse quantum kernels", "smith jones", 2001, "", ""},    // 0
        {"Learning sparse quantum kernels", "smith", 2002, "", ""},          // 1: a year later
        {"Learning sparse quantum kernels", "smith jones", 2004, "", ""},    // 2: three years later
        {"Learning sparse quantum kernels", "smith", std::nullopt, "", ""},  // 3: no year
        {"Learning sparse quantum kernels", "", 2001, "", ""},               // 4: no authors
        {"Another title entirely here", "brown", 1990, "10.1/x", ""},        // 5
        {"Different words", "green", 2015, "10.1/x", ""},                    // 6: the same DOI, years apart
        {"Sparse quantum kernels learning", "white", 2001, "", ""},          // 7: other authors
    };
    Indexed indexed(store_of(entries), {});
    const auto found = indexed.pairs();
    const auto paired = [&](std::uint32_t a, std::uint32_t b) { return found.count({a, b}) && found.count({b, a}); };
    EXPECT_TRUE(paired(0, 1));
    EXPECT_FALSE(paired(0, 2) || paired(1, 2));  // no SAME pair is more than a year apart
    EXPECT_TRUE(paired(0, 3) && paired(2, 3));   // without a year: any year
    EXPECT_TRUE(paired(0, 4) && paired(3, 4));   // without authors: any authors
    EXPECT_TRUE(paired(5, 6));                   // one DOI: whatever the years
    EXPECT_FALSE(paired(0, 7));                  // title words by other people wait for another key
}

TEST(CandidateIndex, AKeyHeldByTooManyRecordsIsPassedOverAndCounted) {
    std::vector<Entry> entries;
    for (int k = 0; k < 12; ++k) entries.push_back({"Common words title", "", 2000, "", ""});
    engine::CandidateOptions options;
    options.most_per_key = 5;
    Indexed capped(store_of(entries), options);
    std::uint64_t skipped = 0;
    EXPECT_TRUE(capped.pairs(&skipped).empty());
    EXPECT_GT(skipped, 0u);
    Indexed open(store_of(entries), {});
    EXPECT_EQ(open.pairs().size(), 12u * 12u);  // every ordered pair, each record with itself too
}

// The screen tells two works apart only where the decision does.
TEST(CandidateIndex, WhatTheScreenTellsApartTheDecisionCallsDifferent) {
    std::mt19937 rng(9);
    const std::vector<std::string> titles = {"Errata for sparse kernels", "Sparse kernels",
                                             "A review of sparse kernels", "Sparse kernels part 2"};
    const std::vector<std::string> pages = {"", "10-20", "15-30", "21-40", "1020", "10", "1-5"};
    const std::vector<std::string> journals = {"", "Journal of Kernels", "Proc. Conf. on Kernels", "VLDB",
                                               "Kernel Letters and Proceedings"};
    const std::vector<std::string> kinds = {"", "article", "inproceedings", "book", "techreport"};
    const std::vector<std::string> dois = {"", "10.1/a", "10.1/b"};
    std::vector<Entry> entries;
    for (int k = 0; k < 300; ++k) {
        entries.push_back({titles[rng() % titles.size()], rng() % 2 ? "smith" : "", 2000 + static_cast<int>(rng() % 3),
                           dois[rng() % dois.size()], pages[rng() % pages.size()], journals[rng() % journals.size()],
                           kinds[rng() % kinds.size()]});
    }
    Indexed indexed(store_of(entries), {});
    std::size_t apart = 0;
    for (std::uint32_t a = 0; a < indexed.works.size(); ++a) {
        for (std::uint32_t b = 0; b < indexed.works.size(); ++b) {
            if (!same_work::screened_apart(indexed.works.screen(a), indexed.works.screen(b))) continue;
            ++apart;
            ASSERT_EQ(same_work::decide(indexed.works[a], indexed.works[b], indexed.words).verdict,
                      same_work::Verdict::different)
                << entries[a].title << " / " << entries[b].title;
        }
    }
    EXPECT_GT(apart, 30000u);  // most pairs of this mix are two works
}

// Versions of random works (typos, dropped words, reordered or missing
// authors, years one apart, missing pages) among unrelated records: the keys
// propose every pair that deciding every pair calls the same work, but for
// a few; and the verdict found sooner is the decision's.
TEST(CandidateIndex, ProposesThePairsThatDecidingEveryPairFindsSame) {
    std::mt19937 rng(5);
    std::vector<std::string> vocabulary;
    for (int k = 0; k < 400; ++k) vocabulary.push_back(random_word(rng) + random_word(rng));
    std::vector<std::string> people;
    for (int k = 0; k < 150; ++k) people.push_back(random_word(rng) + "son");
    std::vector<Entry> entries;
    for (int work = 0; work < 300; ++work) {
        std::vector<std::string> title(4 + rng() % 6), authors(1 + rng() % 4);
        for (std::string& word : title) word = vocabulary[rng() % vocabulary.size()];
        for (std::string& name : authors) name = people[rng() % people.size()];
        const std::int32_t year = 1980 + static_cast<std::int32_t>(rng() % 40);
        const std::string pages = std::to_string(1 + rng() % 500) + "-" + std::to_string(501 + rng() % 500);
        const int versions = 1 + static_cast<int>(rng() % 3);
        for (int v = 0; v < versions; ++v) {
            std::vector<std::string> t = title, a = authors;
            if (v > 0 && rng() % 2) t[rng() % t.size()] = edited(t[rng() % t.size()], rng);
            if (v > 0 && rng() % 3 == 0 && t.size() > 5)
                t.erase(t.begin() + static_cast<std::ptrdiff_t>(rng() % t.size()));
            if (v > 0) std::shuffle(a.begin(), a.end(), rng);
            std::string joined_title, joined_authors;
            for (const std::string& word : t) joined_title += word + " ";
            for (const std::string& name : a) joined_authors += name + " ";
            if (v > 0 && rng() % 5 == 0) joined_authors.clear();
            joined_authors = joined_authors.empty() ? "" : joined_authors.substr(0, joined_authors.size() - 1);
            const std::int32_t shifted = year + (v > 0 ? static_cast<std::int32_t>(rng() % 3) - 1 : 0);
            entries.push_back({joined_title, joined_authors, shifted, "", rng() % 2 ? pages : ""});
        }
    }
    Indexed indexed(store_of(entries), {});
    const auto proposed = indexed.pairs();
    std::size_t same = 0, found = 0;
    for (std::uint32_t a = 0; a < indexed.works.size(); ++a) {
        for (std::uint32_t b = a + 1; b < indexed.works.size(); ++b) {
            const same_work::Decision full = same_work::decide(indexed.works[a], indexed.works[b], indexed.words);
            const same_work::Decision sooner =
                same_work::decide_verdict(indexed.works[a], indexed.works[b], indexed.words);
            ASSERT_EQ(sooner.verdict, full.verdict);
            if (full.verdict != same_work::Verdict::same) continue;
            ASSERT_EQ(sooner.reason, full.reason);
            ASSERT_EQ(sooner.strength, full.strength);
            ++same;
            found += proposed.count({a, b});
        }
    }
    ASSERT_GT(same, 150u);
    EXPECT_GE(static_cast<double>(found), 0.99 * static_cast<double>(same)) << found << " of " << same;

    // Grouping on the proposed pairs ends as grouping on every pair when the
    // keys left no SAME pair out.
    if (found == same) {
        batch::ThreadPool pool(2);
        engine::MatchControl control;
        control.while_waiting = [] {};
        const auto keyed = engine::group_works(indexed.works, indexed.words, &indexed.index, {}, control, pool);
        const auto every = engine::group_works(indexed.works, indexed.words, nullptr, {}, control, pool);
        ASSERT_TRUE(keyed && every);
        EXPECT_EQ(keyed->group, every->group);
        EXPECT_EQ(keyed->counts.same_pairs, every->counts.same_pairs);
        EXPECT_LT(keyed->counts.pairs_decided, every->counts.pairs_decided / 10);
    }
}

}  // namespace
