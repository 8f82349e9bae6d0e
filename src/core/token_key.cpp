#include "core/token_key.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "core/normalize.hpp"
#include "core/simd.hpp"
#include "core/utf8.hpp"

namespace refsieve {

namespace {

std::uint64_t load_big_endian(const char* bytes) noexcept {
    std::uint64_t word;
    std::memcpy(&word, bytes, 8);
    return std::endian::native == std::endian::little ? __builtin_bswap64(word) : word;
}

// Bit k set where text[at + k] is a space, for the bytes from at to
// min(at + 16, size). Sixteen bytes are compared at once; near the end of
// a text of sixteen bytes or more, the sixteen that end it are, and those
// before `at` dropped.
unsigned spaces_from(const char* text, std::size_t at, std::size_t size) noexcept {
    constexpr std::size_t kBlock = simd::kBlockBytes;
    if (size >= kBlock) {
        const std::size_t from = std::min(at, size - kBlock);
        return simd::bytes_equal_to(simd::load(text + from), ' ') >> (at - from);
    }
    unsigned spaces = 0;
    for (std::size_t k = 0; k < kBlock && at + k < size; ++k) spaces |= unsigned{text[at + k] == ' '} << k;
    return spaces;
}

// The first eight bytes of text[start, start + size) as a big-endian
// number, zero-padded; `readable` bytes may be read from start on.
std::uint64_t token_prefix(const char* text, std::size_t start, std::size_t size, std::size_t readable) noexcept {
    if (readable >= 8) {
        const std::uint64_t prefix = load_big_endian(text + start);
        return size >= 8 ? prefix : prefix & (~std::uint64_t{0} << (8 * (8 - size)));
    }
    std::uint64_t prefix = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        prefix = (prefix << 8) | (i < size ? static_cast<unsigned char>(text[start + i]) : 0u);
    }
    return prefix;
}

}  // namespace

void TokenKeyBuilder::build(std::string_view text, std::vector<char32_t>& key) {
    normalize_into(text, normalized_);
    build_normalized(normalized_, key);
}

// The tokens of a normalised text are separated by single U+0020 spaces,
// the only whitespace it holds: spaces are found sixteen bytes at a time. A
// short list (the usual case) is sorted by rank, the rest by std::sort,
// which compares prefixes first and bytes only when they tie.
void TokenKeyBuilder::sort_tokens(std::string_view normalized) {
    tokens_.clear();
    const char* const text = normalized.data();
    const std::size_t size = normalized.size();
    if (size == 0) return;
    std::size_t start = 0;
    const auto token_ends_at = [&](std::size_t end) {
        tokens_.push_back({token_prefix(text, start, end - start, size - start), start, end - start});
        start = end + 1;
    };
    // Spaces are gathered 64 bytes at a time, then taken in order.
    for (std::size_t chunk = 0; chunk < size; chunk += 64) {
        std::uint64_t spaces = 0;
        for (std::size_t at = chunk; at < std::min(size, chunk + 64); at += 16) {
            spaces |= std::uint64_t{spaces_from(text, at, size)} << (at - chunk);
        }
        for (; spaces != 0; spaces &= spaces - 1) {
            token_ends_at(chunk + static_cast<std::size_t>(std::countr_zero(spaces)));
        }
    }
    token_ends_at(size);

    if (tokens_.size() > kRankedMost || !sort_by_rank()) {
        std::sort(tokens_.begin(), tokens_.end(), [text](const SortToken& a, const SortToken& b) noexcept {
            if (a.prefix != b.prefix) return a.prefix < b.prefix;
            return std::string_view(text + a.start, a.size) < std::string_view(text + b.start, b.size);
        });
    }
}

// Each token's place is the number of tokens that go before it, counted
// without a branch on the outcome of a comparison (those branches would be
// mispredicted about half the time). Usually the prefixes differ, and
// counting smaller prefixes fills every place once. Otherwise tokens are
// ordered by prefix, then size, then position: of two tokens with equal
// prefixes the one of at most eight bytes is a prefix of the other and
// goes first, and equal tokens keep their order. When two tokens longer
// than eight bytes share a prefix, their bytes decide and sizes do not:
// this returns false, leaving tokens_ as they were.
bool TokenKeyBuilder::sort_by_rank() {
    const std::size_t count = tokens_.size();
    const SortToken* const tokens = tokens_.data();
    sorted_.resize(count);
    std::uint64_t prefixes[kRankedMost];
    for (std::size_t i = 0; i < count; ++i) prefixes[i] = tokens[i].prefix;
    std::uint32_t filled = 0;  // bit k: a token took place k
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t place = 0;
        for (std::size_t j = 0; j < count; ++j) place += prefixes[j] < prefixes[i];
        filled |= std::uint32_t{1} << place;
        sorted_[place] = tokens[i];
    }
    if (filled != (std::uint32_t{1} << count) - 1 && !sort_tied_by_rank()) return false;
    std::swap(tokens_, sorted_);
    return true;
}

bool TokenKeyBuilder::sort_tied_by_rank() noexcept {
    __extension__ using Key = unsigned __int128;
    const std::size_t count = tokens_.size();
    const SortToken* const tokens = tokens_.data();
    Key keys[kRankedMost];
    for (std::size_t i = 0; i < count; ++i) {
        // Texts are far shorter than 2^60 bytes, and positions below 16.
        keys[i] = (Key{tokens[i].prefix} << 64) | (Key{tokens[i].size} << 4) | i;
    }
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t place = 0;
        for (std::size_t j = 0; j < count; ++j) place += keys[j] < keys[i];
        sorted_[place] = tokens[i];
    }
    // Tokens of one prefix are neighbours now, those longer than eight bytes last.
    for (std::size_t k = 0; k + 1 < count; ++k) {
        if (sorted_[k].prefix == sorted_[k + 1].prefix && sorted_[k].size > 8) return false;
    }
    return true;
}

void TokenKeyBuilder::append_utf8_normalized(std::string_view normalized, std::string& out) {
    sort_tokens(normalized);
    const std::size_t start = out.size();
    // The tokens and the spaces between them, plus room for copying eight
    // bytes at a time (a token's last word may carry up to seven bytes past
    // it): tokens are short, and a call per token costs more than the copy.
    out.resize(start + normalized.size() + 8);
    char* next = out.data() + start;
    const char* const text_end = normalized.data() + normalized.size();
    for (std::size_t t = 0; t < tokens_.size(); ++t) {
        if (t > 0) *next++ = ' ';
        const std::string_view token = normalized.substr(tokens_[t].start, tokens_[t].size);
        const std::size_t whole_words = (token.size() + 7) / 8 * 8;
        if (static_cast<std::size_t>(text_end - token.data()) >= whole_words) {
            for (std::size_t k = 0; k < whole_words; k += 8) std::memcpy(next + k, token.data() + k, 8);
        } else {
            std::memcpy(next, token.data(), token.size());
        }
        next += token.size();
    }
    out.resize(start + normalized.size());
}

void TokenKeyBuilder::build_normalized(std::string_view normalized, std::vector<char32_t>& key) {
    sort_tokens(normalized);

    key.resize(normalized.size());  // at least the code point count
    char32_t* next = key.data();
    for (std::size_t t = 0; t < tokens_.size(); ++t) {
        if (t > 0) *next++ = U' ';
        const std::string_view token = normalized.substr(tokens_[t].start, tokens_[t].size);
        for (std::size_t i = 0; i < token.size();) *next++ = utf8::next(token, i);
    }
    key.resize(static_cast<std::size_t>(next - key.data()));
}

}  // namespace refsieve
