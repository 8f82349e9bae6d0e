// Sorted token keys: the normalised tokens of a text, sorted by their bytes
// and joined by single spaces, as code points. The token-sort ratio is the
// Jaro–Winkler similarity of two such keys (normalize is idempotent, so the
// key of a normalised text is the key of the raw text).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace refsieve {

// Builds sorted token keys, reusing its storage from key to key.
class TokenKeyBuilder {
public:
    // The key of text, written into key.
    void build(std::string_view text, std::vector<char32_t>& key);

    // The key of a text that is normalised already.
    void build_normalized(std::string_view normalized, std::vector<char32_t>& key);

    // The same key in UTF-8 (the sorted tokens joined by single spaces),
    // appended to out.
    void append_utf8_normalized(std::string_view normalized, std::string& out);

private:
    // Splits a normalised text into tokens_, sorted.
    void sort_tokens(std::string_view normalized);

    // A token of the text being sorted, and its first eight bytes as a
    // big-endian number (zero-padded): tokens whose numbers differ are
    // ordered by them, as by their bytes.
    struct SortToken {
        std::uint64_t prefix;
        std::size_t start;
        std::size_t size;
    };

    // Sorts up to kRankedMost tokens_ without comparing their bytes, when
    // their prefixes suffice; returns whether they did.
    bool sort_by_rank();
    // sort_by_rank's placing into sorted_ when some prefixes are equal.
    bool sort_tied_by_rank() noexcept;
    static constexpr std::size_t kRankedMost = 16;

    std::string normalized_;
    std::vector<SortToken> tokens_;
    std::vector<SortToken> sorted_;  // tokens_ in order, then swapped with it
};

// The key of one text.
inline std::vector<char32_t> token_sort_key(std::string_view text) {
    TokenKeyBuilder builder;
    std::vector<char32_t> key;
    builder.build(text, key);
    return key;
}

}  // namespace refsieve
