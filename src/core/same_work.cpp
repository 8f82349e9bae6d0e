#include "core/same_work.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>

#include "core/normalize.hpp"
#include "core/unicode.hpp"
#include "core/utf8.hpp"
#include "core/word_match.hpp"

namespace refsieve::same_work {
namespace {

// ---- The rule's constants -----------------------------------------------------

constexpr std::array<std::string_view, 19> kStopWords = {"a",   "an",   "and", "are",  "as",  "at", "by",
                                                         "for", "from", "in",  "into", "is",  "of", "on",
                                                         "or",  "the",  "to",  "via",  "with"};

// Words that make a title name an item about a work (its erratum, a review
// of it, a reply to it) rather than the work.
constexpr std::array<std::string_view, 16> kMarkerWords = {
    "addenda", "addendum", "comment",   "comments", "correction", "corrections", "corrigenda", "corrigendum",
    "errata",  "erratum",  "rejoinder", "reply",    "response",   "retraction",  "review",     "reviews"};

// Words of periodical front matter and recurring columns: a title of these
// (and stop words) alone names a kind of item, not a work.
constexpr std::array<std::string_view, 83> kFrontMatterWords = {"abstract",
                                                                "abstracts",
                                                                "acknowledgement",
                                                                "acknowledgements",
                                                                "acknowledgment",
                                                                "acknowledgments",
                                                                "addendum",
                                                                "address",
                                                                "announcement",
                                                                "announcements",
                                                                "book",
                                                                "books",
                                                                "call",
                                                                "calls",
                                                                "chair",
                                                                "chairman",
                                                                "chairs",
                                                                "column",
                                                                "columns",
                                                                "comment",
                                                                "comments",
                                                                "committee",
                                                                "content",
                                                                "contents",
                                                                "correction",
                                                                "corrections",
                                                                "corrigendum",
                                                                "digest",
                                                                "editor",
                                                                "editorial",
                                                                "editorials",
                                                                "editors",
                                                                "errata",
                                                                "erratum",
                                                                "event",
                                                                "events",
                                                                "foreword",
                                                                "forum",
                                                                "guest",
                                                                "index",
                                                                "interview",
                                                                "introduction",
                                                                "issue",
                                                                "keynote",
                                                                "letter",
                                                                "letters",
                                                                "memoriam",
                                                                "message",
                                                                "messages",
                                                                "minutes",
                                                                "news",
                                                                "newsletter",
                                                                "note",
                                                                "notes",
                                                                "obituary",
                                                                "overview",
                                                                "panel",
                                                                "paper",
                                                                "papers",
                                                                "preface",
                                                                "president",
                                                                "presidents",
                                                                "program",
                                                                "remarks",
                                                                "reply",
                                                                "report",
                                                                "reports",
                                                                "response",
                                                                "review",
                                                                "reviewer",
                                                                "reviewers",
                                                                "reviews",
                                                                "secretary",
                                                                "secretarys",
                                                                "session",
                                                                "special",
                                                                "summary",
                                                                "table",
                                                                "treasurer",
                                                                "treasurers",
                                                                "update",
                                                                "vice",
                                                                "welcome"};

constexpr std::array<std::string_view, 20> kUnits = {
    "zero", "one",    "two",    "three",    "four",     "five",    "six",     "seven",     "eight",    "nine",
    "ten",  "eleven", "twelve", "thirteen", "fourteen", "fifteen", "sixteen", "seventeen", "eighteen", "nineteen"};
constexpr std::array<std::string_view, 20> kUnitOrdinals = {
    "",           "first",     "second",    "third",       "fourth",     "fifth",     "sixth",
    "seventh",    "eighth",    "ninth",     "tenth",       "eleventh",   "twelfth",   "thirteenth",
    "fourteenth", "fifteenth", "sixteenth", "seventeenth", "eighteenth", "nineteenth"};
constexpr std::array<std::string_view, 8> kTens = {"twenty", "thirty",  "forty",  "fifty",
                                                   "sixty",  "seventy", "eighty", "ninety"};
constexpr std::array<std::string_view, 8> kTenOrdinals = {"twentieth", "thirtieth",  "fortieth",  "fiftieth",
                                                          "sixtieth",  "seventieth", "eightieth", "ninetieth"};
// Roman numerals from ii (v and x only after a numbering word, with i).
constexpr std::array<std::string_view, 19> kRoman = {"ii",  "iii",  "iv",    "v",   "vi",   "vii", "viii",
                                                     "ix",  "x",    "xi",    "xii", "xiii", "xiv", "xv",
                                                     "xvi", "xvii", "xviii", "xix", "xx"};
// Words that name a numbered part: "part i", "volume 2".
constexpr std::array<std::string_view, 10> kNumberingWords = {"part", "parts",   "vol", "volume", "chapter",
                                                              "book", "section", "no",  "number", "series"};

// The words of a venue's name that tell its kind, with their usual
// abbreviations (as in ISO 4: "Proc.", "Lett.", "Trans.").
constexpr std::array<std::string_view, 12> kProceedingsWords = {"proceedings", "proceeding", "proc",       "conference",
                                                                "conf",        "symposium",  "symp",       "workshop",
                                                                "congress",    "congr",      "colloquium", "colloq"};
constexpr std::array<std::string_view, 16> kJournalWords = {
    "journal", "j",         "jour",   "transactions", "trans",    "magazine", "mag",  "letters",
    "lett",    "quarterly", "annals", "ann",          "bulletin", "bull",     "acta", "newsletter"};

template <std::size_t N>
bool among(std::string_view word, const std::array<std::string_view, N>& list) noexcept {
    return std::find(list.begin(), list.end(), word) != list.end();
}

template <std::size_t N>
std::optional<std::size_t> position(std::string_view word, const std::array<std::string_view, N>& list) noexcept {
    const auto found = std::find(list.begin(), list.end(), word);
    if (found == list.end()) return std::nullopt;
    return static_cast<std::size_t>(found - list.begin());
}

bool is_digits(std::string_view word) noexcept {
    return !word.empty() && std::all_of(word.begin(), word.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The value of at most the first nine digits (as the prototype reads them).
std::uint32_t digits_value(std::string_view digits) noexcept {
    std::uint32_t value = 0;
    for (const char c : digits.substr(0, 9)) value = value * 10 + static_cast<std::uint32_t>(c - '0');
    return value;
}

// A number written with digits, maybe ordinal: "25", "25th".
std::optional<std::uint32_t> written_number(std::string_view word) noexcept {
    std::size_t digits = 0;
    while (digits < word.size() && word[digits] >= '0' && word[digits] <= '9') ++digits;
    if (digits == 0) return std::nullopt;
    const std::string_view rest = word.substr(digits);
    if (!rest.empty() && rest != "st" && rest != "nd" && rest != "rd" && rest != "th") return std::nullopt;
    return digits_value(word.substr(0, digits));
}

std::optional<std::uint32_t> unit_value(std::string_view word) noexcept {
    if (const auto at = position(word, kUnits)) return static_cast<std::uint32_t>(*at);
    if (const auto at = position(word, kUnitOrdinals); at && *at > 0) return static_cast<std::uint32_t>(*at);
    return std::nullopt;
}

std::optional<std::uint32_t> tens_value(std::string_view word) noexcept {
    if (const auto at = position(word, kTens)) return static_cast<std::uint32_t>(20 + 10 * *at);
    if (const auto at = position(word, kTenOrdinals)) return static_cast<std::uint32_t>(20 + 10 * *at);
    return std::nullopt;
}

// The words with every number phrase written as its digits: "twenty fifth",
// "25th" and "xxv" all become "25".
std::vector<std::string> numbers_as_digits(const std::vector<std::string>& words) {
    std::vector<std::string> out;
    // A tens word ("twenty") waiting for the unit that may complete it.
    std::uint32_t tens = 0;
    bool tens_waiting = false;
    const auto flush_tens = [&] {
        if (tens_waiting) out.push_back(std::to_string(tens));
        tens_waiting = false;
    };
    for (const std::string& word : words) {
        const std::string_view previous = out.empty() ? std::string_view() : std::string_view(out.back());
        std::optional<std::uint32_t> value = written_number(word);
        if (!value) {
            if (const std::optional<std::uint32_t> tens_of_word = tens_value(word)) {
                flush_tens();
                tens = *tens_of_word;
                tens_waiting = true;
                continue;
            }
            if (const std::optional<std::uint32_t> unit = unit_value(word)) {
                value = unit;
                if (tens_waiting && *unit >= 1 && *unit <= 9) {
                    value = tens + *unit;
                    tens_waiting = false;
                }
            } else if (const auto roman = position(word, kRoman); roman && word != "v" && word != "x") {
                value = static_cast<std::uint32_t>(*roman + 2);
            } else if ((word == "i" || word == "v" || word == "x") && among(previous, kNumberingWords)) {
                value = word == "i" ? 1 : word == "v" ? 5 : 10;
            }
        }
        flush_tens();
        out.push_back(value ? std::to_string(*value) : word);
    }
    flush_tens();
    return out;
}

// "([0-9]+)\s*[-‐‑‒–—―]+\s*([0-9]+)" at the first place it matches, else the
// first digit run; none without digits.
std::optional<Pages> page_range(std::string_view pages) {
    const auto digit_run_at = [&](std::size_t at) {
        std::size_t end = at;
        while (end < pages.size() && pages[end] >= '0' && pages[end] <= '9') ++end;
        return end;
    };
    const auto without_zeros = [](std::string_view digits) {
        const std::size_t first = digits.find_first_not_of('0');
        return first == std::string_view::npos ? std::string_view("0") : digits.substr(first);
    };
    // After a digit run at `end`: spaces, one or more dashes, spaces, then digits?
    const auto second_run = [&](std::size_t end) -> std::optional<std::pair<std::size_t, std::size_t>> {
        std::size_t at = end;
        const auto skip_spaces = [&] {
            while (at < pages.size()) {
                std::size_t next = at;
                const char32_t c = utf8::next(pages, next);
                if (!unicode::is_white_space(c)) break;
                at = next;
            }
        };
        skip_spaces();
        std::size_t dashes = 0;
        while (at < pages.size()) {
            std::size_t next = at;
            const char32_t c = utf8::next(pages, next);
            if (c != U'-' && !(c >= 0x2010 && c <= 0x2015)) break;
            at = next;
            ++dashes;
        }
        if (dashes == 0) return std::nullopt;
        skip_spaces();
        const std::size_t run_end = digit_run_at(at);
        if (run_end == at) return std::nullopt;
        return std::pair{at, run_end};
    };
    std::optional<std::pair<std::size_t, std::size_t>> first_digits;
    for (std::size_t at = 0; at < pages.size(); ++at) {
        if (pages[at] < '0' || pages[at] > '9') continue;
        // Every start of a digit run is tried, as a regular expression would.
        for (std::size_t end = at + 1; end <= digit_run_at(at); ++end) {
            if (!first_digits) first_digits = std::pair{at, digit_run_at(at)};
            if (const auto second = second_run(end)) {
                const std::string_view s = without_zeros(pages.substr(at, end - at));
                const std::string_view e = without_zeros(pages.substr(second->first, second->second - second->first));
                Pages range;
                range.first = digits_value(s);
                range.last = digits_value(e);
                if (range.last < range.first && e.size() < s.size()) {
                    // "1234-56" is 1234-1256.
                    std::string completed(s.substr(0, s.size() - e.size()));
                    completed.append(e);
                    range.last = digits_value(completed);
                }
                if (range.last < range.first) range.last = range.first;
                return range;
            }
        }
    }
    if (!first_digits) return std::nullopt;
    const std::string_view digits =
        without_zeros(pages.substr(first_digits->first, first_digits->second - first_digits->first));
    Pages lone;
    lone.first = lone.last = digits_value(digits);
    lone.lone = std::string(digits);
    return lone;
}

std::optional<std::uint32_t> first_number(const std::optional<std::string_view>& text) {
    if (!text) return std::nullopt;
    const std::size_t at = text->find_first_of("0123456789");
    if (at == std::string_view::npos) return std::nullopt;
    std::size_t end = at;
    while (end < text->size() && (*text)[end] >= '0' && (*text)[end] <= '9') ++end;
    return digits_value(text->substr(at, end - at));
}

VenueKind venue_kind(const std::optional<std::string_view>& journal) {
    if (!journal) return VenueKind::none;
    const std::vector<std::string> words = title_words(*journal);
    if (words.empty()) return VenueKind::none;
    const bool proceedings =
        std::any_of(words.begin(), words.end(), [](const std::string& w) { return among(w, kProceedingsWords); });
    const bool journal_word =
        std::any_of(words.begin(), words.end(), [](const std::string& w) { return among(w, kJournalWords); });
    if (proceedings && !journal_word) return VenueKind::proceedings;
    if (journal_word && !proceedings) return VenueKind::journal;
    return proceedings ? VenueKind::both : VenueKind::plain;
}

TypeClass type_class(std::string_view kind) {
    static constexpr std::array<std::string_view, 11> kVolumes = {
        "proceedings", "book",    "collection", "mvbook", "mvcollection", "mvproceedings",
        "periodical",  "booklet", "edbook",     "conf",   "ebook"};
    static constexpr std::array<std::string_view, 14> kParts = {"inproceedings",
                                                                "conference",
                                                                "incollection",
                                                                "inbook",
                                                                "article",
                                                                "chap",
                                                                "cpaper",
                                                                "jour",
                                                                "ejour",
                                                                "chapter",
                                                                "paper-conference",
                                                                "article-journal",
                                                                "article-magazine",
                                                                "article-newspaper"};
    static constexpr std::array<std::string_view, 3> kReports = {"techreport", "report", "rprt"};
    static constexpr std::array<std::string_view, 4> kTheses = {"phdthesis", "mastersthesis", "thesis", "thes"};
    const std::string lower = normalize(kind);
    if (among(lower, kVolumes)) return TypeClass::volume;
    if (among(lower, kParts)) return TypeClass::part;
    if (among(lower, kReports)) return TypeClass::report;
    if (among(lower, kTheses)) return TypeClass::thesis;
    return TypeClass::none;
}

std::size_t letters(std::string_view word) noexcept {
    return static_cast<std::size_t>(
        std::count_if(word.begin(), word.end(), [](char byte) { return (byte & 0xC0) != 0x80; }));
}

enum class PagesRelation : std::uint8_t { unknown, same, conflict };

std::string digits_of(std::uint32_t value) { return std::to_string(value); }

PagesRelation pages_relation(const WorkView& p, const WorkView& q) {
    if (!p.has_pages || !q.has_pages) return PagesRelation::unknown;
    if (p.first_page == q.first_page) return PagesRelation::same;
    const bool p_lone = !p.lone_pages.empty(), q_lone = !q.lone_pages.empty();
    // A lone number that is the other's range with its dash lost: "524532" and "524-532".
    if (p_lone && !q_lone && p.lone_pages == digits_of(q.first_page) + digits_of(q.last_page)) {
        return PagesRelation::same;
    }
    if (q_lone && !p_lone && q.lone_pages == digits_of(p.first_page) + digits_of(p.last_page)) {
        return PagesRelation::same;
    }
    if (p.last_page < q.first_page || q.last_page < p.first_page) return PagesRelation::conflict;
    if (!p_lone && !q_lone) return PagesRelation::same;  // two ranges that overlap
    return PagesRelation::unknown;
}

bool subset(std::span<const std::uint32_t> small, std::span<const std::uint32_t> large) {
    return std::includes(large.begin(), large.end(), small.begin(), small.end());
}

std::optional<Reason> conflict(const WorkView& a, const WorkView& b, const Settings& settings) {
    if (!a.doi.empty() && !b.doi.empty() && a.doi != b.doi) return Reason::different_dois;
    if (a.type_class != TypeClass::none && b.type_class != TypeClass::none && a.type_class != b.type_class) {
        return Reason::entry_types;
    }
    if (a.markers != b.markers) return Reason::marker_words;
    if (a.venue != VenueKind::none && b.venue != VenueKind::none) {
        const auto pair = [&](VenueKind x, VenueKind y) {
            return (a.venue == x && b.venue == y) || (a.venue == y && b.venue == x);
        };
        // A conference paper is not its journal version, and a venue named by
        // neither kind of word ("VLDB") against a journal is the same case.
        if (pair(VenueKind::proceedings, VenueKind::journal) || pair(VenueKind::plain, VenueKind::journal)) {
            return Reason::venue_kinds;
        }
    }
    if (pages_relation(a, b) == PagesRelation::conflict) return Reason::page_ranges;
    if (a.year && b.year && std::abs(static_cast<std::int64_t>(*a.year) - *b.year) >= settings.different_years) {
        return Reason::years_apart;
    }
    if (!a.numbers.empty() && !b.numbers.empty() && !subset(a.numbers, b.numbers) && !subset(b.numbers, a.numbers)) {
        return Reason::title_numbers;
    }
    if (!std::equal(a.parts.begin(), a.parts.end(), b.parts.begin(), b.parts.end())) return Reason::part_numbers;
    return std::nullopt;
}

// The shorter content list, of prefix_words or more, begins the longer one.
bool prefix_title(std::span<const std::uint32_t> xs, std::span<const std::uint32_t> ys, std::size_t prefix_words) {
    if (xs.size() > ys.size()) std::swap(xs, ys);
    return prefix_words > 0 && xs.size() >= prefix_words && std::equal(xs.begin(), xs.end(), ys.begin());
}

// The facts of a pair that speak for one work.
struct Agreement {
    double dice = 0.0;
    std::size_t families_matched = 0;
    std::optional<double> author_share;  // none when either list is empty
    std::optional<std::uint32_t> year_gap;
    bool identifiers = false;
};

// The share of two family-name lists that matched: of the shorter, and of
// the longer too unless the shorter was cut short ("et al.").
double author_share(const WorkView& a, const WorkView& b, std::size_t families_matched) {
    const double matched_count = static_cast<double>(families_matched);
    const std::size_t shorter = std::min(a.families.size(), b.families.size());
    const std::size_t longer = std::max(a.families.size(), b.families.size());
    double share = matched_count / static_cast<double>(shorter);
    const bool shorter_cut = a.families.size() < b.families.size() ? a.et_al : b.et_al;
    if (!shorter_cut || a.families.size() == b.families.size()) {
        share = std::min(share, matched_count / static_cast<double>(longer));
    }
    return share;
}

Agreement agreement(const WorkView& a, const WorkView& b, const Words& words, const Settings& settings) {
    Agreement result;
    if (!a.content.empty() && !b.content.empty()) {
        const TitleMatch title = match_titles(a.content, b.content, words, settings.fuzzy_letters);
        result.dice =
            2.0 * static_cast<double>(title.matched) / static_cast<double>(title.first_length + title.second_length);
    }
    if (!a.families.empty() && !b.families.empty()) {
        result.families_matched = match_names(a.families, b.families, words, settings.fuzzy_letters);
        result.author_share = author_share(a, b, result.families_matched);
    }
    if (a.year && b.year) {
        result.year_gap = static_cast<std::uint32_t>(std::abs(static_cast<std::int64_t>(*a.year) - *b.year));
    }
    const PagesRelation pages = pages_relation(a, b);
    // Page 1 alone identifies nothing: electronic articles all start there.
    const bool same_pages =
        pages == PagesRelation::same &&
        (std::max(a.first_page, b.first_page) > 1 ||
         (a.first_page == b.first_page && a.last_page == b.last_page && a.last_page > a.first_page));
    const bool same_issue = !a.journal.empty() && a.journal == b.journal && a.volume && a.volume == b.volume &&
                            a.number && a.number == b.number;
    result.identifiers = same_pages || same_issue;
    return result;
}

}  // namespace

Screen screen_of(const WorkView& work) noexcept {
    static_assert(kMarkerWords.size() <= 16, "a screen keeps 16 marker bits");
    Screen screen;
    if (!work.doi.empty()) {
        std::uint32_t h = 2166136261u;
        for (const char c : work.doi) h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
        screen.doi = h == 0 ? 1 : h;
    }
    if (work.has_pages) {
        screen.pages = work.lone_pages.empty() ? 1 : 2;
        screen.first_page = work.first_page;
        screen.last_page = work.last_page;
    }
    screen.markers = static_cast<std::uint16_t>(work.markers);
    screen.kinds =
        static_cast<std::uint8_t>(static_cast<unsigned>(work.venue) | static_cast<unsigned>(work.type_class) << 3);
    return screen;
}

// What conflict() finds from these facts alone; a shared DOI (or two whose
// hashes meet) is left to decide, which reads it before any conflict.
bool screened_apart(const Screen& a, const Screen& b) noexcept {
    if (a.doi != 0 && b.doi != 0) return a.doi != b.doi;
    const auto type_of = [](const Screen& s) { return static_cast<TypeClass>(s.kinds >> 3); };
    const auto venue_of = [](const Screen& s) { return static_cast<VenueKind>(s.kinds & 7); };
    if (type_of(a) != TypeClass::none && type_of(b) != TypeClass::none && type_of(a) != type_of(b)) return true;
    if (a.markers != b.markers) return true;
    const auto venues = [&](VenueKind x, VenueKind y) {
        return (venue_of(a) == x && venue_of(b) == y) || (venue_of(a) == y && venue_of(b) == x);
    };
    if (venues(VenueKind::proceedings, VenueKind::journal) || venues(VenueKind::plain, VenueKind::journal)) {
        return true;
    }
    return a.pages == 1 && b.pages == 1 && a.first_page != b.first_page &&
           (a.last_page < b.first_page || b.last_page < a.first_page);
}

std::string_view reason_name(Reason reason) noexcept {
    switch (reason) {
        case Reason::same_doi: return "doi";
        case Reason::identifiers_and_authors: return "identifiers+authors";
        case Reason::title_without_authors: return "title-without-authors";
        case Reason::title_and_authors: return "title+authors";
        case Reason::different_dois: return "different-dois";
        case Reason::entry_types: return "entry-types";
        case Reason::marker_words: return "marker-words";
        case Reason::venue_kinds: return "venue-kinds";
        case Reason::page_ranges: return "page-ranges";
        case Reason::years_apart: return "years-apart";
        case Reason::title_numbers: return "title-numbers";
        case Reason::part_numbers: return "part-numbers";
        case Reason::doi_with_other_title: return "doi-with-other-title";
        case Reason::title_disagrees: return "title";
        case Reason::year_gap: return "year";
        case Reason::no_authors: return "no-authors";
        case Reason::authors_disagree: return "authors";
        case Reason::generic_title: return "generic-title";
        case Reason::short_title: return "short-title";
    }
    return "";
}

std::vector<std::string> title_words(std::string_view title) {
    std::string lower;
    normalize_into(title, lower);
    std::vector<std::string> words;
    std::string current;
    for (std::size_t i = 0; i < lower.size();) {
        const char32_t c = utf8::next(lower, i);
        if (c == U'\'' || c == 0x2019 || c == 0x02BC) continue;  // "editor's" is "editors"
        if (unicode::is_word_character(c)) {
            utf8::append(current, c);
        } else if (!current.empty()) {
            words.push_back(std::move(current));
            current.clear();
        }
    }
    if (!current.empty()) words.push_back(std::move(current));
    return numbers_as_digits(words);
}

WorkDraft work_draft(const RecordView& record, std::string_view families, bool et_al, std::string_view kind) {
    WorkDraft draft;
    WorkFacts& facts = draft.facts;
    const std::vector<std::string> title = title_words(record.title);
    for (const std::string& word : title) {
        if (!among(std::string_view(word), kStopWords)) draft.content.push_back(word);
    }
    if (draft.content.empty()) draft.content = title;
    for (std::size_t i = 0; i < title.size(); ++i) {
        if (is_digits(title[i])) facts.numbers.push_back(digits_value(title[i]));
        if (i > 0 && among(std::string_view(title[i - 1]), kNumberingWords) && is_digits(title[i])) {
            facts.parts.push_back(digits_value(title[i]));
        }
        if (const auto marker = position(std::string_view(title[i]), kMarkerWords)) facts.markers |= 1u << *marker;
    }
    for (std::vector<std::uint32_t>* numbers : {&facts.numbers, &facts.parts}) {
        std::sort(numbers->begin(), numbers->end());
        numbers->erase(std::unique(numbers->begin(), numbers->end()), numbers->end());
    }
    facts.generic =
        !draft.content.empty() && std::all_of(draft.content.begin(), draft.content.end(), [](const std::string& word) {
            return among(std::string_view(word), kFrontMatterWords) || among(std::string_view(word), kStopWords);
        });
    for (std::size_t at = 0; at < families.size();) {
        const std::size_t end = std::min(families.find(' ', at), families.size());
        const std::string_view family = families.substr(at, end - at);
        if (letters(family) > 1) draft.families.push_back(family);
        at = end + 1;
    }
    facts.et_al = et_al;
    facts.year = record.year;
    if (record.doi && !record.doi->empty()) facts.doi = *record.doi;
    if (record.pages) facts.pages = page_range(*record.pages);
    facts.volume = first_number(record.volume);
    facts.number = first_number(record.number);
    if (record.journal) facts.journal = normalize(*record.journal);
    facts.venue = venue_kind(record.journal);
    facts.type_class = type_class(kind);
    // An entry without a type whose title begins "Proceedings" is a volume.
    if (facts.type_class == TypeClass::none && !title.empty() && (title[0] == "proceedings" || title[0] == "proc")) {
        facts.type_class = TypeClass::volume;
    }
    return draft;
}

void add_words(WorkDraft& draft, Words& words) {
    for (const std::string& word : draft.content) draft.facts.content.push_back(words.id(word));
    for (const std::string_view family : draft.families) draft.facts.families.push_back(words.id(family));
}

WorkFacts work_facts(const RecordView& record, std::string_view families, bool et_al, std::string_view kind,
                     Words& words) {
    WorkDraft draft = work_draft(record, families, et_al, kind);
    add_words(draft, words);
    return std::move(draft.facts);
}

WorkView WorkFacts::view() const noexcept {
    WorkView view;
    view.content = content;
    view.numbers = numbers;
    view.parts = parts;
    view.families = families;
    view.doi = doi;
    view.journal = journal;
    view.year = year;
    view.volume = volume;
    view.number = number;
    if (pages) {
        view.has_pages = true;
        view.first_page = pages->first;
        view.last_page = pages->last;
        if (pages->lone) view.lone_pages = *pages->lone;
    }
    view.markers = markers;
    view.generic = generic;
    view.et_al = et_al;
    view.venue = venue;
    view.type_class = type_class;
    view.title_frequency = title_frequency;
    return view;
}

Decision decide(const WorkView& a, const WorkView& b, const Words& words, const Settings& settings) {
    if (!a.doi.empty() && a.doi == b.doi) {
        if (conflict(a, b, settings) == Reason::entry_types) return {Verdict::different, Reason::entry_types, 0.0};
        const double dice = agreement(a, b, words, settings).dice;
        if (!a.content.empty() && !b.content.empty() && dice < settings.title_agreement_with_doi) {
            return {Verdict::neutral, Reason::doi_with_other_title, dice};
        }
        return {Verdict::same, Reason::same_doi, 3.0};
    }
    if (const std::optional<Reason> reason = conflict(a, b, settings)) return {Verdict::different, *reason, 0.0};
    const Agreement agreed = agreement(a, b, words, settings);
    const double dice = agreed.dice;
    // The same pages (or issue), authors and year, and titles that agree at
    // least in part, or one that begins the other (a subtitle dropped).
    if (agreed.identifiers &&
        (dice >= settings.title_agreement_with_identifiers ||
         prefix_title(a.content, b.content, settings.prefix_words_with_identifiers)) &&
        agreed.author_share && *agreed.author_share >= settings.author_agreement && agreed.year_gap &&
        *agreed.year_gap <= settings.same_years) {
        return {Verdict::same, Reason::identifiers_and_authors, dice + *agreed.author_share + 1.0};
    }
    if (dice < settings.title_agreement && !prefix_title(a.content, b.content, settings.prefix_words))
        return {Verdict::neutral, Reason::title_disagrees, dice};
    if (agreed.year_gap && *agreed.year_gap > settings.same_years) return {Verdict::neutral, Reason::year_gap, dice};
    const bool generic = a.generic || b.generic;
    const bool short_title = std::min(a.content.size(), b.content.size()) <= settings.short_title_words;
    if (!agreed.author_share) {
        // Without authors on one side: an identifier must agree, or the whole
        // title and the year.
        if (agreed.identifiers || (dice == 1.0 && agreed.year_gap == 0u && !short_title && !generic)) {
            return {Verdict::same, Reason::title_without_authors, dice + 0.5};
        }
        return {Verdict::neutral, Reason::no_authors, dice};
    }
    if (*agreed.author_share < settings.author_agreement) return {Verdict::neutral, Reason::authors_disagree, dice};
    if ((generic || short_title) && !agreed.identifiers) {
        // A short or generic title names a column as often as a work: it needs
        // the same list of authors and the same (or, short, the next) year; a
        // single author also needs the whole title, the same year, and a title
        // that recurs in neither catalogue.
        // The same list of authors: every name matched, or the shorter list,
        // cut short ("et al."), matched in full.
        const WorkView& shorter = a.families.size() <= b.families.size() ? a : b;
        const bool same_list = (a.families.size() == b.families.size() || shorter.et_al) &&
                               shorter.families.size() == agreed.families_matched;
        bool enough;
        if (a.families.size() >= settings.weak_title_authors && b.families.size() >= settings.weak_title_authors) {
            enough = same_list && (agreed.year_gap == 0u || (!generic && (!agreed.year_gap || *agreed.year_gap <= 1)));
        } else {
            enough = same_list && dice == 1.0 && agreed.year_gap == 0u &&
                     a.title_frequency < settings.recurring_title && b.title_frequency < settings.recurring_title;
        }
        if (!enough) return {Verdict::neutral, generic ? Reason::generic_title : Reason::short_title, dice};
    }
    const double strength =
        dice + *agreed.author_share + (agreed.year_gap == 0u ? 0.5 : 0.0) + (agreed.identifiers ? 0.5 : 0.0);
    return {Verdict::same, Reason::title_and_authors, strength};
}

Decision decide_verdict(const WorkView& a, const WorkView& b, const Words& words, const Settings& settings) {
    const bool same_doi = !a.doi.empty() && a.doi == b.doi;
    if (!same_doi) {
        if (const std::optional<Reason> reason = conflict(a, b, settings)) return {Verdict::different, *reason, 0.0};
        // Every way to SAME but a shared DOI needs the authors to agree when
        // both records name some: titles need not be matched when they do not.
        if (!a.families.empty() && !b.families.empty() &&
            author_share(a, b, match_names(a.families, b.families, words, settings.fuzzy_letters)) <
                settings.author_agreement) {
            return {Verdict::neutral, Reason::authors_disagree, 0.0};
        }
    }
    return decide(a, b, words, settings);
}

}  // namespace refsieve::same_work
