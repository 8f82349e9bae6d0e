// Whether two records are one work: a decision read off facts that two
// versions of one work share and two works cannot (two DOIs, distant years,
// page ranges apart, a volume against a paper in it, an erratum against the
// work it corrects), and off how much of their titles and author lists agree.
// The total score ranks candidates; this decides. Its answer is SAME, DIFFERENT
// (the two can never be one work, whatever else agrees) or NEUTRAL (not enough
// evidence either way).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/record.hpp"
#include "core/words.hpp"

namespace refsieve::same_work {

enum class Verdict : std::uint8_t { neutral, same, different };

// Why the decision is what it is; reason_name() gives each a short name.
enum class Reason : std::uint8_t {
    // SAME
    same_doi,
    identifiers_and_authors,
    title_without_authors,
    title_and_authors,
    // DIFFERENT
    different_dois,
    entry_types,
    marker_words,
    venue_kinds,
    page_ranges,
    years_apart,
    title_numbers,
    part_numbers,
    // NEUTRAL
    doi_with_other_title,
    title_disagrees,
    year_gap,
    no_authors,
    authors_disagree,
    generic_title,
    short_title,
};

std::string_view reason_name(Reason reason) noexcept;

// The thresholds of the decision. The defaults are the decision; other
// values serve to measure how much each one matters.
struct Settings {
    // Title word agreement (dice of the content words) a SAME needs.
    double title_agreement = 0.8;
    // A title of this many content words or more that begins the other
    // title agrees with it (the same title with a subtitle added).
    std::size_t prefix_words = 4;
    // Title agreement that suffices when pages (or the issue), authors and
    // year agree; or a title of this many content words that begins the other.
    double title_agreement_with_identifiers = 0.5;
    std::size_t prefix_words_with_identifiers = 2;
    // Title agreement that a shared DOI still needs (below it, one DOI is likely mistyped).
    double title_agreement_with_doi = 0.5;
    // Share of both family-name lists that must match.
    double author_agreement = 0.5;
    // Largest year gap of a SAME pair; smallest gap of two works.
    std::uint32_t same_years = 1;
    std::uint32_t different_years = 3;
    // A title of this many content words or fewer needs more evidence.
    std::size_t short_title_words = 3;
    // From this many authors a short or generic title needs no frequency check.
    std::size_t weak_title_authors = 2;
    // Records with one title that make it a recurring one (a column).
    std::uint32_t recurring_title = 3;
    // Letters a word needs before one edit may match it to another.
    std::size_t fuzzy_letters = 5;
};

struct Decision {
    Verdict verdict = Verdict::neutral;
    Reason reason = Reason::title_disagrees;
    // How strongly a SAME pair agrees: orders the merges of a grouping.
    double strength = 0.0;
};

enum class VenueKind : std::uint8_t { none, proceedings, journal, both, plain };
enum class TypeClass : std::uint8_t { none, volume, part, report, thesis };

// A page range: its first and last page, and for a lone number (no range)
// its digits, which may be a range whose dash was lost.
struct Pages {
    std::uint32_t first = 0;
    std::uint32_t last = 0;
    std::optional<std::string> lone;
};

// What the decision reads of one record, borrowed: from a WorkFacts, or
// from a catalogue that keeps the facts of many records packed.
struct WorkView {
    std::span<const std::uint32_t> content;   // title words without stop words (Words ids)
    std::span<const std::uint32_t> numbers;   // numbers the title names, sorted, each once
    std::span<const std::uint32_t> parts;     // numbers of a numbered part ("part 2"), sorted
    std::span<const std::uint32_t> families;  // family names of two or more letters (Words ids)
    std::string_view doi;                     // empty: none
    std::string_view journal;                 // normalised; empty: none
    std::optional<std::int32_t> year;
    std::optional<std::uint32_t> volume;
    std::optional<std::uint32_t> number;
    // The page range; lone_pages holds the digits of a lone number (no
    // range), which may be a range whose dash was lost.
    bool has_pages = false;
    std::uint32_t first_page = 0;
    std::uint32_t last_page = 0;
    std::string_view lone_pages;
    unsigned markers = 0;  // bit k: the k-th word that makes a title about another work
    bool generic = false;  // the title is front matter only ("Editor's Notes")
    bool et_al = false;    // the author list was cut ("et al.")
    VenueKind venue = VenueKind::none;
    TypeClass type_class = TypeClass::none;
    // How many records of the record's own catalogue have the same content
    // words, in order: a title that recurs names a column, not a work.
    std::uint32_t title_frequency = 1;
};

// What the decision reads of one record, worked out once.
struct WorkFacts {
    std::vector<std::uint32_t> content;
    std::vector<std::uint32_t> numbers;
    std::vector<std::uint32_t> parts;
    unsigned markers = 0;
    bool generic = false;
    std::vector<std::uint32_t> families;
    bool et_al = false;
    std::optional<std::int32_t> year;
    std::string doi;
    std::optional<Pages> pages;
    std::optional<std::uint32_t> volume;
    std::optional<std::uint32_t> number;
    std::string journal;
    VenueKind venue = VenueKind::none;
    TypeClass type_class = TypeClass::none;
    std::uint32_t title_frequency = 1;

    WorkView view() const noexcept;
};

// A few facts of a record, packed in 16 bytes, that tell most pairs of two
// works apart without reading the rest: when screened_apart says so, decide
// says DIFFERENT.
struct Screen {
    std::uint32_t doi = 0;  // a hash of the DOI, never 0; 0: none
    std::uint32_t first_page = 0;
    std::uint32_t last_page = 0;
    std::uint16_t markers = 0;
    std::uint8_t kinds = 0;  // venue kind, and entry type class three bits up
    std::uint8_t pages = 0;  // 0: none, 1: a range, 2: a lone number
};
Screen screen_of(const WorkView& work) noexcept;
bool screened_apart(const Screen& a, const Screen& b) noexcept;

// The title words of a text: lower case, apostrophes dropped, split into runs
// of letters, marks and numbers, and number phrases ("Twenty-Fifth", "25th",
// "XXV") written as digits.
std::vector<std::string> title_words(std::string_view title);

// The facts of one record. families holds its people's family names, folded,
// separated by spaces; kind its entry type, if its format has one.
WorkFacts work_facts(const RecordView& record, std::string_view families, bool et_al, std::string_view kind,
                     Words& words);

// The facts in two steps, for callers that work out many records at once:
// first all but the words (any thread), then the words' numbers (one thread
// at a time, as Words is shared).
struct WorkDraft {
    WorkFacts facts;  // content and families still empty
    std::vector<std::string> content;
    std::vector<std::string_view> families;  // borrowed from the families text
};
WorkDraft work_draft(const RecordView& record, std::string_view families, bool et_al, std::string_view kind);
void add_words(WorkDraft& draft, Words& words);

// The decision for two records' facts, the first taken as the subject.
Decision decide(const WorkView& a, const WorkView& b, const Words& words, const Settings& settings = {});

// The decision's verdict, sooner: a SAME decision in full, any other with
// the same verdict but maybe another reason and no strength. For finding
// the SAME pairs among many.
Decision decide_verdict(const WorkView& a, const WorkView& b, const Words& words, const Settings& settings = {});

}  // namespace refsieve::same_work
