// Token-sort ratio and Jaro–Winkler similarity on pairs of valid UTF-8
// texts (the input's two pieces, cut at a 0xFF byte).
//
// Invariants: similarities stay in range; a text is fully similar to
// itself; the ratio of raw texts equals the ratio of their normal forms;
// equal multisets of normalised tokens give exactly 100.0.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/normalize.hpp"
#include "core/token_sort.hpp"
#include "core/utf8.hpp"
#include "fuzz_input.hpp"
#include "reference/jaro.hpp"
#include "reference/text.hpp"

namespace {

bool in_range(double value, double lo, double hi) { return value >= lo && value <= hi; }  // false for NaN

void check_jaro_winkler(const std::string& a, const std::string& b) {
    const double jw = refsieve::reference::jaro_winkler(a, b);
    if (!in_range(jw, 0.0, 1.0)) fuzz::fail("Jaro-Winkler out of [0, 1]", a, b);
    if (refsieve::reference::jaro_winkler(a, a) != 1.0) fuzz::fail("Jaro-Winkler of a text with itself is not 1", a, a);
    if (a.empty() != b.empty() && jw != 0.0) fuzz::fail("Jaro-Winkler against the empty text is not 0", a, b);
    const std::vector<char32_t> ca = refsieve::utf8::decode(a);
    const std::vector<char32_t> cb = refsieve::utf8::decode(b);
    const double jaro = refsieve::reference::generic_jaro(std::span<const char32_t>(ca), std::span<const char32_t>(cb));
    if (!in_range(jaro, 0.0, 1.0) || jw < jaro) fuzz::fail("Jaro out of range or lowered by Winkler", a, b);
}

// The tokens of normalize(text) in reverse order, joined by assorted
// whitespace and padded at both ends: the same multiset of normalised
// tokens in a different form, and never an empty text.
std::string shuffled_form(const std::string& text) {
    static const char* const kSeparators[] = {" ", "\t", "\xE3\x80\x80", "\xC2\xA0 ", "\r\n"};
    const std::string normal = refsieve::normalize(text);
    const auto tokens = refsieve::reference::tokenize_and_sort(normal);
    std::string out = "\xE2\x80\xA8";  // U+2028
    for (std::size_t i = tokens.size(); i-- > 0;) {
        out.append(tokens[i]);
        out += kSeparators[i % std::size(kSeparators)];
    }
    return out;
}

void check_token_sort_ratio(const std::string& a, const std::string& b) {
    const double ratio = refsieve::reference::token_sort_ratio_f64(a, b);
    if (!fuzz::same_bits(refsieve::token_sort_ratio_f64(a, b), ratio)) {
        fuzz::fail("shipped token-sort ratio differs from the reference", a, b);
    }
    if (!in_range(ratio, 0.0, 100.0)) fuzz::fail("token-sort ratio out of [0, 100]", a, b);
    if ((a.empty() || b.empty()) && ratio != 0.0) fuzz::fail("ratio with an empty text is not 0", a, b);

    const std::string na = refsieve::normalize(a);
    const std::string nb = refsieve::normalize(b);
    // Raw and normalised texts give the same ratio, except when both
    // normalise to nothing (the raw texts are non-empty, the normal forms are not).
    if (!(na.empty() && nb.empty()) && refsieve::reference::token_sort_ratio_f64(na, nb) != ratio) {
        fuzz::fail("ratio of raw texts differs from ratio of their normal forms", a, b);
    }
    if (!a.empty()) {
        const std::string other = shuffled_form(a);
        if (refsieve::reference::token_sort_ratio_f64(a, other) != 100.0)
            fuzz::fail("same tokens, ratio not 100", a, other);
        if (refsieve::reference::token_sort_ratio_f64(other, a) != 100.0)
            fuzz::fail("same tokens, ratio not 100", other, a);
    }
    const auto ta = refsieve::reference::tokenize_and_sort(na);
    const auto tb = refsieve::reference::tokenize_and_sort(nb);
    if (!a.empty() && !b.empty() && ta == tb && ratio != 100.0) fuzz::fail("same tokens, ratio not 100", a, b);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::string> texts = fuzz::split_texts(data, size);
    const std::string& a = fuzz::text_at(texts, 0);
    const std::string& b = fuzz::text_at(texts, 1);
    check_jaro_winkler(a, b);
    check_token_sort_ratio(a, b);
    return 0;
}
