#include "core/token_sort.hpp"

#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/jaro_bitparallel.hpp"
#include "core/normalize.hpp"
#include "core/token_key.hpp"
#include "core/utf8.hpp"

namespace refsieve {
namespace {

// What one token_sort_ratio_f64 call works in. Jaro is symmetric (see
// jaro.hpp), so the masks are built for the shorter key: more often one
// word of them, and fewer to build.
struct TokenSortWork {
    TokenKeyBuilder builder;
    std::string normalized;
    std::string utf8_key1;
    std::string utf8_key2;
    std::vector<char32_t> key1;
    std::vector<char32_t> key2;
    KeyPattern pattern;
    JaroScratch jaro;

    template <class C>
    double similarity(std::span<const C> a, std::span<const C> b) {
        if (b.size() > a.size()) std::swap(a, b);
        pattern.assign(b);
        return jaro_winkler(a, b, pattern, jaro);
    }

    double ratio(std::string_view s1, std::string_view s2) {
        const bool ascii1 = utf8_key(s1, utf8_key1);
        if (utf8_key(s2, utf8_key2) && ascii1) {
            return ratio_from_similarity(similarity(bytes(utf8_key1), bytes(utf8_key2)));
        }
        decode_into(utf8_key1, key1);
        decode_into(utf8_key2, key2);
        return ratio_from_similarity(similarity(std::span<const char32_t>(key1), std::span<const char32_t>(key2)));
    }

    // Writes the key of text into key; returns whether it is all ASCII.
    bool utf8_key(std::string_view text, std::string& key) {
        const bool ascii = normalize_into(text, normalized);
        key.clear();
        builder.append_utf8_normalized(normalized, key);
        return ascii;
    }
    static std::span<const unsigned char> bytes(const std::string& text) {
        return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
    }
    static void decode_into(std::string_view text, std::vector<char32_t>& out) {
        out.clear();
        for (std::size_t i = 0; i < text.size();) out.push_back(utf8::next(text, i));
    }
};

// Texts up to this many bytes together use the calling thread's kept
// working storage; longer ones get their own, so nothing large is kept.
constexpr std::size_t kKeptWorkBytes = 4096;

}  // namespace

double token_sort_ratio_f64(std::string_view s1, std::string_view s2) {
    if (s1.empty() || s2.empty()) return 0.0;
    if (s1.size() + s2.size() <= kKeptWorkBytes) {
        thread_local TokenSortWork work;
        return work.ratio(s1, s2);
    }
    TokenSortWork work;
    return work.ratio(s1, s2);
}

}  // namespace refsieve
