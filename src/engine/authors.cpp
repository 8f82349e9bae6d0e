// The reading follows refsieve_cli.records.authors step by step (parse_names,
// _split_commas, name_from_text, canonical_name, family_words); each step
// below names the function it mirrors, so that a change there is easy to
// carry over.
//
// The texts are UTF-8. Everything the reading splits on (commas,
// semicolons, "and", '&', '.', '-', "et al.") is ASCII, and a byte of a
// character beyond ASCII is never an ASCII byte, so most steps look at
// bytes. The characters beyond ASCII matter where the Python reader asks
// its str methods: white space (once, when the whole list is collapsed:
// every later step sees single spaces only), letter case, letters and
// digits, decimal digits, and the folding of the words of a name.
#include "engine/authors.hpp"

#include <array>
#include <cstddef>
#include <vector>

#include "core/unicode.hpp"
#include "core/utf8.hpp"
#include "engine/name_characters.hpp"

namespace refsieve::engine {
namespace {

// White space as the Python reader splits and strips on it: tab to carriage
// return, the four information separators (0x1C to 0x1F) and space.
constexpr bool is_space(char c) noexcept {
    const auto u = static_cast<unsigned char>(c);
    return u == ' ' || (u >= '\t' && u <= '\r') || (u >= 0x1C && u <= 0x1F);
}
constexpr bool is_ascii(char c) noexcept { return static_cast<unsigned char>(c) < 0x80; }
constexpr bool is_upper(char c) noexcept { return c >= 'A' && c <= 'Z'; }
constexpr bool is_lower(char c) noexcept { return c >= 'a' && c <= 'z'; }
constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
constexpr bool is_alnum(char c) noexcept { return is_upper(c) || is_lower(c) || is_digit(c); }
constexpr char to_lower(char c) noexcept { return is_upper(c) ? static_cast<char>(c - 'A' + 'a') : c; }

constexpr char32_t kHyphen = 0x2010, kNonBreakingHyphen = 0x2011;
constexpr char32_t kCapitalSigma = 0x03A3, kSmallSigma = 0x03C3, kFinalSigma = 0x03C2;

bool has(char32_t c, std::uint8_t flag) noexcept { return (names::flags(c) & flag) != 0; }

// The code point that ends at text[end - 1] (valid UTF-8), and end moved to its start.
char32_t previous(std::string_view text, std::size_t& end) noexcept {
    std::size_t start = end - 1;
    while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    std::size_t at = start;
    const char32_t c = utf8::next(text, at);
    end = start;
    return c;
}

// What divides the words of a given or family name: white space, '.', '-'
// and the two Unicode hyphens (_WORD_PARTS). The character starts at
// text[i]; i moves past it.
bool next_is_name_separator(std::string_view text, std::size_t& i) noexcept {
    const char c = text[i];
    if (is_ascii(c)) {
        ++i;
        return is_space(c) || c == '.' || c == '-';
    }
    const char32_t code = utf8::next(text, i);
    return code == kHyphen || code == kNonBreakingHyphen || has(code, names::kSpace);
}

// A character inside a word (\w), for the word boundary before "et al.": a letter or digit, or '_'.
bool is_word_char(char32_t c) noexcept {
    return c < 0x80 ? is_alnum(static_cast<char>(c)) || c == '_' : has(c, names::kAlnum);
}

// text equals lower_word but for the letter case of text's ASCII letters.
bool equals_folded(std::string_view text, std::string_view lower_word) noexcept {
    if (text.size() != lower_word.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (to_lower(text[i]) != lower_word[i]) return false;
    }
    return true;
}

bool ends_with_folded(std::string_view text, std::string_view lower_word) noexcept {
    return text.size() >= lower_word.size() && equals_folded(text.substr(text.size() - lower_word.size()), lower_word);
}

std::string_view strip_space(std::string_view text) noexcept {
    while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
    return text;
}

// Spaces, commas and semicolons off both ends: what is left around a name.
std::string_view strip_list_punctuation(std::string_view text) noexcept {
    const auto punctuation = [](char c) { return c == ' ' || c == ',' || c == ';'; };
    while (!text.empty() && punctuation(text.front())) text.remove_prefix(1);
    while (!text.empty() && punctuation(text.back())) text.remove_suffix(1);
    return text;
}

// The runs of white space in text written as one space each, none at either end.
void collapse_into(std::string_view text, std::string& out) {
    out.clear();
    bool space_before = false;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t start = i;
        const bool space = is_ascii(text[i]) ? is_space(text[i++]) : has(utf8::next(text, i), names::kSpace);
        if (space) {
            space_before = !out.empty();
            continue;
        }
        if (space_before) out += ' ';
        space_before = false;
        out.append(text.substr(start, i - start));
    }
}

// The words of a collapsed text (one space between words).
void split_words(std::string_view text, std::vector<std::string_view>& words) {
    words.clear();
    std::size_t i = 0;
    while (true) {
        while (i < text.size() && is_space(text[i])) ++i;
        if (i == text.size()) return;
        const std::size_t start = i;
        while (i < text.size() && !is_space(text[i])) ++i;
        words.push_back(text.substr(start, i - start));
    }
}

std::size_t count_words(std::string_view text) noexcept {
    std::size_t count = 0;
    bool in_word = false;
    for (const char c : text) {
        if (is_space(c)) {
            in_word = false;
        } else if (!in_word) {
            in_word = true;
            ++count;
        }
    }
    return count;
}

// Words that end a name without being part of it (_is_suffix). No character
// beyond ASCII lowercases to one of their letters.
bool is_suffix(std::string_view text) noexcept {
    static constexpr std::array<std::string_view, 9> kSuffixes = {"jr",  "jr.", "sr",  "sr.", "ii",
                                                                  "iii", "iv",  "2nd", "3rd"};
    text = strip_space(text);
    for (const std::string_view suffix : kSuffixes) {
        if (equals_folded(text, suffix)) return true;
    }
    return false;
}

// A whole name text that stands for authors not listed.
bool is_et_al(std::string_view text) noexcept {
    static constexpr std::array<std::string_view, 5> kEtAl = {"others", "et al", "et al.", "et. al.", "etal"};
    for (const std::string_view et_al : kEtAl) {
        if (equals_folded(text, et_al)) return true;
    }
    return false;
}

// The length in bytes of the character that starts text.
std::size_t first_character_size(std::string_view text) noexcept {
    std::size_t i = 0;
    utf8::next(text, i);
    return i;
}

// Whether the one character of text has the property Uppercase (or Lowercase): str.isupper and str.islower
// of a single character.
bool is_upper_character(std::string_view text) noexcept {
    std::size_t i = 0;
    return is_ascii(text[0]) ? is_upper(text[0]) : has(utf8::next(text, i), names::kUpper);
}
bool is_lower_character(std::string_view text) noexcept {
    std::size_t i = 0;
    return is_ascii(text[0]) ? is_lower(text[0]) : has(utf8::next(text, i), names::kLower);
}

// str.isupper and str.islower of a word: of one character, its case; of
// more, no letter of the other case nor a title-case one, and at least one
// letter of this case.
bool is_upper_word(std::string_view word) noexcept {
    if (first_character_size(word) == word.size()) return is_upper_character(word);
    bool upper = false;
    for (std::size_t i = 0; i < word.size();) {
        if (is_ascii(word[i])) {
            if (is_lower(word[i])) return false;
            upper = upper || is_upper(word[i]);
            ++i;
            continue;
        }
        const std::uint8_t flags = names::flags(utf8::next(word, i));
        if (flags & (names::kLower | names::kTitle)) return false;
        upper = upper || (flags & names::kUpper);
    }
    return upper;
}
bool is_lower_word(std::string_view word) noexcept {
    if (first_character_size(word) == word.size()) return is_lower_character(word);
    bool lower = false;
    for (std::size_t i = 0; i < word.size();) {
        if (is_ascii(word[i])) {
            if (is_upper(word[i])) return false;
            lower = lower || is_lower(word[i]);
            ++i;
            continue;
        }
        const std::uint8_t flags = names::flags(utf8::next(word, i));
        if (flags & (names::kUpper | names::kTitle)) return false;
        lower = lower || (flags & names::kLower);
    }
    return lower;
}

// A name without the DBLP homonym number at its end: a space and four
// decimal digits ("Stefan Fischer 0003"; _DBLP_NUMBER).
std::string_view without_homonym_number(std::string_view name) noexcept {
    std::size_t end = name.size();
    for (int digits = 0; digits < 4; ++digits) {
        if (end == 0) return name;
        const char32_t c = previous(name, end);
        if (c < 0x80 ? !is_digit(static_cast<char>(c)) : !has(c, names::kDecimal)) return name;
    }
    return end > 0 && name[end - 1] == ' ' ? name.substr(0, end - 1) : name;
}

// Where a trailing "and others" or "et al." starts in a collapsed list
// (_ET_AL_TEXT), or text.size() when there is none. What lies between the
// list and that start (a comma, spaces) is stripped afterwards anyway.
std::size_t et_al_start(std::string_view text) noexcept {
    constexpr std::string_view kAndOthers = " and others";
    if (ends_with_folded(text, kAndOthers)) return text.size() - kAndOthers.size();
    // "et", an optional '.', optional spaces, "al", an optional '.', the end;
    // "et" must start a word.
    std::size_t end = text.size();
    if (end > 0 && text[end - 1] == '.') --end;
    if (end < 2 || !equals_folded(text.substr(end - 2, 2), "al")) return text.size();
    std::size_t at = end - 2;
    while (at > 0 && is_space(text[at - 1])) --at;
    if (at > 0 && text[at - 1] == '.') --at;
    if (at < 2 || !equals_folded(text.substr(at - 2, 2), "et")) return text.size();
    at -= 2;
    std::size_t before = at;
    if (at > 0 && is_word_char(previous(text, before))) return text.size();
    return at;
}

// The length of a " and " or " & " separator of a collapsed list at `at`, or 0 (_AND).
std::size_t and_separator_at(std::string_view text, std::size_t at) noexcept {
    if (text[at] != ' ') return 0;
    const std::string_view rest = text.substr(at + 1);
    if (rest.size() >= 4 && equals_folded(rest.substr(0, 3), "and") && rest[3] == ' ') return 5;
    if (rest.size() >= 2 && rest[0] == '&' && rest[1] == ' ') return 3;
    return 0;
}

// A piece without a leading "and " or "& " (_LEADING_AND).
std::string_view without_leading_and(std::string_view piece) noexcept {
    std::size_t skip = 0;
    if (piece.size() > 3 && equals_folded(piece.substr(0, 3), "and") && is_space(piece[3])) {
        skip = 3;
    } else if (piece.size() > 1 && piece[0] == '&' && is_space(piece[1])) {
        skip = 1;
    }
    if (skip == 0) return piece;
    while (skip < piece.size() && is_space(piece[skip])) ++skip;
    return piece.substr(skip);
}

// Initials only ("J.", "J. A.", "J.-P."): every word between separators one character long
// (_looks_like_given_names).
bool looks_like_given_names(std::string_view piece) noexcept {
    std::size_t length = 0, words = 0;
    for (std::size_t i = 0; i < piece.size();) {
        if (next_is_name_separator(piece, i)) {
            length = 0;
        } else if (++length == 1) {
            ++words;
        } else {
            return false;
        }
    }
    return words > 0;
}

// Whether the capital sigma at word[at, after) ends a word: a cased letter
// before it and none after it, case-ignorable characters skipped (the
// Final_Sigma rule of lower case).
bool is_final_sigma(std::string_view word, std::size_t at, std::size_t after) noexcept {
    bool cased_before = false;
    while (at > 0) {
        const char32_t c = previous(word, at);
        if (unicode::is_case_ignorable(c)) continue;
        cased_before = unicode::is_cased(c);
        break;
    }
    if (!cased_before) return false;
    while (after < word.size()) {
        const char32_t c = utf8::next(word, after);
        if (unicode::is_case_ignorable(c)) continue;
        return !unicode::is_cased(c);
    }
    return true;
}

// Appends a word of a name folded: lower case, decomposed for compatibility, letters and digits only (_fold).
void append_folded(std::string& out, std::string_view word) {
    for (std::size_t i = 0; i < word.size();) {
        if (is_ascii(word[i])) {
            if (is_alnum(word[i])) out += to_lower(word[i]);
            ++i;
            continue;
        }
        const std::size_t at = i;
        const char32_t c = utf8::next(word, i);
        const std::uint8_t flags = names::flags(c);
        if (c == kCapitalSigma) {
            utf8::append(out, is_final_sigma(word, at, i) ? kFinalSigma : kSmallSigma);
        } else if (flags & names::kFoldMapped) {
            names::append_fold(c, out);
        } else if (flags & names::kAlnum) {
            out.append(word.substr(at, i - at));
        }
    }
}

// Calls each(word) for the words of a name between separators, in order.
template <class Each>
void for_each_name_word(std::string_view text, Each&& each) {
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t at = i;
        if (next_is_name_separator(text, i)) {
            if (at > start) each(text.substr(start, at - start));
            start = i;
        }
    }
    if (text.size() > start) each(text.substr(start));
}

// The canonical words of the people read, written one person at a time:
// first the given names, then the family name, which ends the person
// (canonical_name, canonical_authors, family_words).
class Writer {
public:
    explicit Writer(AuthorsRead& out) : out_(out) {}

    // The initial of each word of given names: the first character of the word folded.
    void given(std::string_view text) {
        for_each_name_word(text, [&](std::string_view word) {
            folded_.clear();
            append_folded(folded_, word);
            if (!folded_.empty()) initials_.append(folded_, 0, first_character_size(folded_));
        });
    }

    // Given names written as a run of capitals ("JA" in "Smith JA"): each letter one initial.
    void given_letters(std::string_view capitals) {
        for (const char c : capitals) initials_ += to_lower(c);
    }

    // The family name: its last word that folds to something.
    void family(std::string_view text) {
        family_.clear();
        for_each_name_word(text, [&](std::string_view word) {
            folded_.clear();
            append_folded(folded_, word);
            if (!folded_.empty()) family_.swap(folded_);
        });
        if (!initials_.empty() || !family_.empty()) {
            if (!out_.canonical.empty()) out_.canonical += ' ';
            out_.canonical += initials_;
            out_.canonical += family_;
        }
        if (!family_.empty()) {
            if (!out_.families.empty()) out_.families += ' ';
            out_.families += family_;
        }
        initials_.clear();
    }

private:
    AuthorsRead& out_;
    std::string initials_;
    std::string folded_;
    std::string family_;
};

// The texts of one reading, kept between pieces so that their memory is reused.
struct Scratch {
    std::string list;  // the whole list, collapsed
    std::string name;  // one name, collapsed
    std::string joined;
    std::vector<std::string_view> parts;
    std::vector<std::string_view> words;
    std::vector<std::string> pieces;
    std::size_t piece_count = 0;
};

// The text between two views of one string, from the start of first to the end of last.
std::string_view span(std::string_view first, std::string_view last) noexcept {
    return {first.data(), static_cast<std::size_t>(last.data() + last.size() - first.data())};
}

// One name written "Family, Given", "Given Family" or "Family INITIALS";
// nothing for an empty text or "et al." (name_from_text).
void read_name(std::string_view text, Scratch& scratch, Writer& writer) {
    collapse_into(text, scratch.name);
    std::string_view name = strip_list_punctuation(without_homonym_number(scratch.name));
    if (name.empty() || is_et_al(name)) return;

    std::vector<std::string_view>& parts = scratch.parts;
    parts.clear();
    for (std::size_t start = 0; start <= name.size();) {
        std::size_t comma = name.find(',', start);
        if (comma == std::string_view::npos) comma = name.size();
        const std::string_view part = strip_space(name.substr(start, comma - start));
        if (!part.empty() && !is_suffix(part)) parts.push_back(part);
        start = comma + 1;
    }
    if (parts.empty()) return;
    if (parts.size() >= 2) {
        // "Family, Given" (a third part, after dropping a suffix, is more given names).
        for (std::size_t i = 1; i < parts.size(); ++i) writer.given(parts[i]);
        writer.family(parts[0]);
        return;
    }

    std::vector<std::string_view>& words = scratch.words;
    split_words(parts[0], words);
    while (words.size() > 1 && is_suffix(words.back())) words.pop_back();
    if (words.size() == 1) {
        writer.family(words[0]);
        return;
    }
    const std::string_view last = words.back();
    bool all_upper = true, all_lower = true;
    for (const std::string_view word : words) {
        all_upper = all_upper && is_upper_word(word);
        all_lower = all_lower && is_lower_word(word);
    }
    bool capitals = last.size() <= 3;
    for (const char c : last) capitals = capitals && is_upper(c);
    if (capitals && !all_upper) {
        // Catalogue initials after the family name ("Smith JA").
        writer.given_letters(last);
        writer.family(span(words.front(), words[words.size() - 2]));
        return;
    }
    // Lower-case words before the last ("Jean de la Fontaine") belong to the family name.
    if (!all_lower) {
        for (std::size_t i = 1; i + 1 < words.size(); ++i) {
            if (is_lower_character(words[i])) {
                writer.given(span(words.front(), words[i - 1]));
                writer.family(span(words[i], last));
                return;
            }
        }
    }
    writer.given(span(words.front(), words[words.size() - 2]));
    writer.family(last);
}

std::string& add_piece(Scratch& scratch) {
    if (scratch.piece_count == scratch.pieces.size()) scratch.pieces.emplace_back();
    std::string& piece = scratch.pieces[scratch.piece_count++];
    piece.clear();
    return piece;
}

// Reads the name "family, given".
void read_joined(std::string_view family, std::string_view given, Scratch& scratch, Writer& writer) {
    scratch.joined.assign(family);
    scratch.joined += ", ";
    scratch.joined += given;
    read_name(scratch.joined, scratch, writer);
}

// The names of a comma-separated part of a list; a single "Family, Given"
// stays whole, and "Family, Given, Family, Given" is read in pairs
// (_split_commas, _pieces, _pair_up).
void read_comma_part(std::string_view part, Scratch& scratch, Writer& writer) {
    scratch.piece_count = 0;
    for (std::size_t start = 0; start <= part.size();) {
        std::size_t comma = part.find(',', start);
        if (comma == std::string_view::npos) comma = part.size();
        std::string_view piece = strip_space(part.substr(start, comma - start));
        start = comma + 1;
        if (piece.empty()) continue;
        piece = without_leading_and(piece);
        // A suffix piece ("Carino, Jr., Pekka Kostamaa") belongs to the name before it.
        if (scratch.piece_count > 0 && is_suffix(piece)) {
            std::string& before = scratch.pieces[scratch.piece_count - 1];
            before += ' ';
            before += piece;
        } else {
            add_piece(scratch).assign(piece);
        }
    }
    const std::size_t count = scratch.piece_count;
    const auto piece_at = [&](std::size_t i) -> std::string_view { return scratch.pieces[i]; };
    bool pairs = false;
    if (count == 2) {
        pairs = count_words(piece_at(0)) == 1 || count_words(piece_at(1)) == 1 || looks_like_given_names(piece_at(1));
    } else if (count > 2 && count % 2 == 0) {
        bool single_word_families = true, some_initials = false;
        for (std::size_t i = 0; i < count; i += 2) {
            single_word_families = single_word_families && count_words(piece_at(i)) == 1;
            some_initials = some_initials || looks_like_given_names(piece_at(i + 1));
        }
        pairs = single_word_families && some_initials;
    }
    if (pairs) {
        for (std::size_t i = 0; i < count; i += 2) read_joined(piece_at(i), piece_at(i + 1), scratch, writer);
    } else {
        for (std::size_t i = 0; i < count; ++i) read_name(piece_at(i), scratch, writer);
    }
}

// The names of a plain-text author list, whatever its separators (parse_names);
// whether it ends in "et al." (is_cut_short).
void read_list(std::string_view text, Scratch& scratch, Writer& writer, AuthorsRead& read) {
    collapse_into(text, scratch.list);
    std::string_view list = scratch.list;
    const std::size_t et_al = et_al_start(list);
    read.cut_short = et_al != list.size();
    list = strip_list_punctuation(list.substr(0, et_al));
    if (list.empty()) return;
    if (list.find(';') != std::string_view::npos) {
        for (std::size_t start = 0; start <= list.size();) {
            std::size_t semicolon = list.find(';', start);
            if (semicolon == std::string_view::npos) semicolon = list.size();
            const std::string_view chunk = list.substr(start, semicolon - start);
            if (!strip_space(chunk).empty()) read_name(chunk, scratch, writer);
            start = semicolon + 1;
        }
        return;
    }
    std::size_t start = 0;
    for (std::size_t at = 0; at < list.size();) {
        const std::size_t separator = and_separator_at(list, at);
        if (separator == 0) {
            ++at;
            continue;
        }
        read_comma_part(list.substr(start, at - start), scratch, writer);
        at += separator;
        start = at;
    }
    read_comma_part(list.substr(start), scratch, writer);
}

// The code point of the valid UTF-8 sequence at text[i] (moving i past it), or nullopt for an invalid one:
// a stray or missing continuation byte, an overlong form, a surrogate, or beyond U+10FFFF.
std::optional<char32_t> next_checked(std::string_view text, std::size_t& i) noexcept {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length;
    char32_t least;
    if (lead < 0x80) {
        ++i;
        return lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, least = 0x10000;
    } else {
        return std::nullopt;
    }
    if (text.size() - i < length) return std::nullopt;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return std::nullopt;
    }
    std::size_t at = i;
    const char32_t c = utf8::next(text, at);
    if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return std::nullopt;
    i = at;
    return c;
}

}  // namespace

bool is_plain_author_text(std::string_view text) noexcept {
    for (std::size_t i = 0; i < text.size();) {
        const char c = text[i];
        if (!is_ascii(c)) {
            const std::optional<char32_t> code = next_checked(text, i);
            if (!code || !has(*code, names::kKnown)) return false;
            continue;
        }
        ++i;
        if (c == '\\' || c == '{' || c == '<') return false;
        if (c == '&') {
            // An entity starts with something else after the '&'.
            const char next = i < text.size() ? text[i] : ' ';
            if (next != ' ' && next != '\t' && next != '\n' && next != '\f') return false;
        }
    }
    return true;
}

std::optional<AuthorsRead> read_plain_authors(std::string_view text) {
    if (!is_plain_author_text(text)) return std::nullopt;
    thread_local Scratch scratch;
    AuthorsRead read;
    Writer writer(read);
    read_list(text, scratch, writer, read);
    return read;
}

}  // namespace refsieve::engine
