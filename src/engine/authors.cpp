// The reading follows refsieve_cli.records.authors step by step (parse_names,
// _split_commas, name_from_text, canonical_name, family_words); each step
// below names the function it mirrors, so that a change there is easy to
// carry over. The texts are ASCII, so every character test is a byte test.
#include "engine/authors.hpp"

#include <array>
#include <cstddef>
#include <vector>

namespace refsieve::engine {
namespace {

// White space as the Python reader splits and strips on it: tab to carriage
// return, the four information separators (0x1C to 0x1F) and space.
constexpr bool is_space(char c) noexcept {
    const auto u = static_cast<unsigned char>(c);
    return u == ' ' || (u >= '\t' && u <= '\r') || (u >= 0x1C && u <= 0x1F);
}
constexpr bool is_upper(char c) noexcept { return c >= 'A' && c <= 'Z'; }
constexpr bool is_lower(char c) noexcept { return c >= 'a' && c <= 'z'; }
constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
constexpr bool is_alnum(char c) noexcept { return is_upper(c) || is_lower(c) || is_digit(c); }
// A character inside a word, for the word boundary before "et al.".
constexpr bool is_word_char(char c) noexcept { return is_alnum(c) || c == '_'; }
constexpr char to_lower(char c) noexcept { return is_upper(c) ? static_cast<char>(c - 'A' + 'a') : c; }
// What divides the words of a given or family name: white space, '.' and '-'.
constexpr bool is_name_separator(char c) noexcept { return is_space(c) || c == '.' || c == '-'; }

// text equals lower_word but for the letter case of text.
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
    std::size_t i = 0;
    while (true) {
        while (i < text.size() && is_space(text[i])) ++i;
        if (i == text.size()) return;
        const std::size_t start = i;
        while (i < text.size() && !is_space(text[i])) ++i;
        if (!out.empty()) out += ' ';
        out.append(text.substr(start, i - start));
    }
}

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

// Words that end a name without being part of it (_is_suffix).
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

// str.isupper and str.islower: at least one letter, and all letters in that case.
bool is_upper_word(std::string_view word) noexcept {
    bool upper = false;
    for (const char c : word) {
        if (is_lower(c)) return false;
        upper = upper || is_upper(c);
    }
    return upper;
}
bool is_lower_word(std::string_view word) noexcept {
    bool lower = false;
    for (const char c : word) {
        if (is_upper(c)) return false;
        lower = lower || is_lower(c);
    }
    return lower;
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
    if (at > 0 && is_word_char(text[at - 1])) return text.size();
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
    for (const char c : piece) {
        if (is_name_separator(c)) {
            length = 0;
        } else if (++length == 1) {
            ++words;
        } else {
            return false;
        }
    }
    return words > 0;
}

// The canonical words of the people read, written one person at a time:
// first the given names, then the family name, which ends the person
// (canonical_name, canonical_authors, family_words).
class Writer {
public:
    explicit Writer(AuthorsRead& out) : out_(out) {}

    // The initial of each word of given names: its first letter or digit, in lower case.
    void given(std::string_view text) {
        bool in_word = false, taken = false;
        for (const char c : text) {
            if (is_name_separator(c)) {
                in_word = false;
                continue;
            }
            if (!in_word) {
                in_word = true;
                taken = false;
            }
            if (!taken && is_alnum(c)) {
                initials_ += to_lower(c);
                taken = true;
            }
        }
    }

    // Given names written as a run of capitals ("JA" in "Smith JA"): each letter one initial.
    void given_letters(std::string_view capitals) {
        for (const char c : capitals) initials_ += to_lower(c);
    }

    // The family name: its last word that has letters or digits, folded.
    void family(std::string_view text) {
        std::string_view word;
        std::size_t end = text.size();
        while (word.empty() && end > 0) {
            while (end > 0 && is_name_separator(text[end - 1])) --end;
            std::size_t begin = end;
            bool has_alnum = false;
            while (begin > 0 && !is_name_separator(text[begin - 1])) has_alnum = is_alnum(text[--begin]) || has_alnum;
            if (has_alnum) word = text.substr(begin, end - begin);
            end = begin;
        }
        if (!initials_.empty() || !word.empty()) {
            if (!out_.canonical.empty()) out_.canonical += ' ';
            out_.canonical += initials_;
            append_folded(out_.canonical, word);
        }
        if (!word.empty()) {
            if (!out_.families.empty()) out_.families += ' ';
            append_folded(out_.families, word);
        }
        initials_.clear();
    }

private:
    static void append_folded(std::string& out, std::string_view word) {
        for (const char c : word) {
            if (is_alnum(c)) out += to_lower(c);
        }
    }

    AuthorsRead& out_;
    std::string initials_;
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
    std::string_view name = scratch.name;
    // A DBLP homonym number: a space and four digits at the end ("Stefan Fischer 0003").
    if (name.size() >= 5 && name[name.size() - 5] == ' ') {
        bool digits = true;
        for (std::size_t i = name.size() - 4; i < name.size(); ++i) digits = digits && is_digit(name[i]);
        if (digits) name.remove_suffix(5);
    }
    name = strip_list_punctuation(name);
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
            if (is_lower(words[i][0])) {
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

// The names of a plain-text author list, whatever its separators (parse_names).
void read_list(std::string_view text, Scratch& scratch, Writer& writer) {
    collapse_into(text, scratch.list);
    std::string_view list = scratch.list;
    list = strip_list_punctuation(list.substr(0, et_al_start(list)));
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

}  // namespace

bool is_plain_author_text(std::string_view text) noexcept {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80 || c == '\\' || c == '{' || c == '<') return false;
        if (c == '&') {
            // An entity starts with something else after the '&'.
            const char next = i + 1 < text.size() ? text[i + 1] : ' ';
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
    read_list(text, scratch, writer);
    return read;
}

}  // namespace refsieve::engine
