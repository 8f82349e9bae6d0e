// Checks the generated Unicode tables against the UCD files themselves,
// parsed here independently of the Python generator, plus a handful of
// well-known facts about particular characters.
#include "core/unicode.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace u = refsieve::unicode;

constexpr char32_t kCodeSpace = 0x110000;

std::string hex(char32_t c) {
    std::ostringstream out;
    out << "U+" << std::uppercase << std::hex << static_cast<std::uint32_t>(c);
    return out.str();
}

std::string trim(const std::string& s) {
    const auto begin = s.find_first_not_of(" \t\r");
    if (begin == std::string::npos) return {};
    const auto end = s.find_last_not_of(" \t\r");
    return s.substr(begin, end - begin + 1);
}

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> out;
    std::string::size_type start = 0;
    for (;;) {
        const auto pos = s.find(sep, start);
        out.push_back(s.substr(start, pos == std::string::npos ? std::string::npos : pos - start));
        if (pos == std::string::npos) return out;
        start = pos + 1;
    }
}

char32_t parse_hex(const std::string& text) {
    const std::string t = trim(text);
    std::size_t used = 0;
    const unsigned long value = std::stoul(t, &used, 16);
    if (t.empty() || used != t.size() || value >= kCodeSpace) {
        throw std::runtime_error("bad code point: " + text);
    }
    return static_cast<char32_t>(value);
}

// What the UCD says about every code point, derived straight from the files.
// Code points without a mapping (including unassigned ones) lowercase to themselves.
struct Reference {
    std::vector<std::uint8_t> flags = std::vector<std::uint8_t>(kCodeSpace, 0);
    std::vector<char32_t> lower;
    Reference() : lower(kCodeSpace) {
        for (char32_t c = 0; c < kCodeSpace; ++c) lower[c] = c;
    }
};

void read_unicode_data(const std::filesystem::path& path, Reference& ref) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot open " + path.string());
    char32_t range_start = 0;
    bool in_range = false;
    std::string line;
    std::size_t lines = 0;
    while (std::getline(in, line)) {
        if (trim(line).empty()) continue;
        ++lines;
        const auto fields = split(line, ';');
        if (fields.size() != 15) throw std::runtime_error("UnicodeData.txt: bad line: " + line);
        const char32_t c = parse_hex(fields[0]);
        const std::string& name = fields[1];
        const char32_t lower = fields[13].empty() ? c : parse_hex(fields[13]);
        const bool first = name.size() > 8 && name.compare(name.size() - 8, 8, ", First>") == 0;
        const bool last = name.size() > 7 && name.compare(name.size() - 7, 7, ", Last>") == 0;
        // Letters, marks and numbers: the General_Category's first letter.
        const bool word = !fields[2].empty() && (fields[2][0] == 'L' || fields[2][0] == 'M' || fields[2][0] == 'N');
        if (first) {
            range_start = c;
            in_range = true;
            continue;
        }
        if (last) {
            if (!in_range) throw std::runtime_error("UnicodeData.txt: Last without First");
            // Ranges carry no lowercase mapping: their code points keep the
            // identity default.
            if (lower != c) throw std::runtime_error("UnicodeData.txt: mapped range");
            if (word) {
                for (char32_t at = range_start; at <= c; ++at) ref.flags[at] |= u::kWord;
            }
            in_range = false;
            continue;
        }
        ref.lower[c] = lower;
        if (word) ref.flags[c] |= u::kWord;
    }
    if (lines < 30000) throw std::runtime_error("UnicodeData.txt: suspiciously short");
}

void read_binary_property(const std::filesystem::path& path, const std::string& version_line,
                          const std::string& property, std::uint8_t bit, Reference& ref) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot open " + path.string());
    std::string line;
    std::getline(in, line);
    if (trim(line) != version_line) throw std::runtime_error(path.string() + ": unexpected header " + line);
    std::size_t entries = 0;
    while (std::getline(in, line)) {
        const std::string body = trim(line.substr(0, line.find('#')));
        if (body.empty()) continue;
        const auto fields = split(body, ';');
        if (fields.size() != 2 || trim(fields[1]) != property) continue;
        const std::string range = trim(fields[0]);
        const auto dots = range.find("..");
        const char32_t first = parse_hex(range.substr(0, dots));
        const char32_t last = dots == std::string::npos ? first : parse_hex(range.substr(dots + 2));
        for (char32_t c = first; c <= last; ++c) ref.flags[c] |= bit;
        ++entries;
    }
    if (entries == 0) throw std::runtime_error(path.string() + ": no " + property + " entries");
}

class UcdReference : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const std::filesystem::path dir = REFSIEVE_UCD_DIR;
        if (!std::filesystem::is_directory(dir)) return;
        try {
            auto parsed = std::make_unique<Reference>();
            read_unicode_data(dir / "UnicodeData.txt", *parsed);
            read_binary_property(dir / "DerivedCoreProperties.txt", "# DerivedCoreProperties-17.0.0.txt", "Cased",
                                 u::kCased, *parsed);
            read_binary_property(dir / "DerivedCoreProperties.txt", "# DerivedCoreProperties-17.0.0.txt",
                                 "Case_Ignorable", u::kCaseIgnorable, *parsed);
            read_binary_property(dir / "PropList.txt", "# PropList-17.0.0.txt", "White_Space", u::kWhiteSpace, *parsed);
            ref_ = std::move(parsed);
        } catch (const std::exception& e) {
            // A present but unreadable UCD is a failure, not a reason to skip.
            load_error_ = e.what();
        }
    }
    static void TearDownTestSuite() { ref_.reset(); }

    void SetUp() override {
        if (!load_error_.empty()) FAIL() << "cannot read the UCD: " << load_error_;
        if (!ref_) GTEST_SKIP() << "UCD 17.0.0 not found at " << REFSIEVE_UCD_DIR;
    }

    static std::unique_ptr<Reference> ref_;
    static std::string load_error_;
};

std::unique_ptr<Reference> UcdReference::ref_;
std::string UcdReference::load_error_;

// Reports at most this many mismatching code points per check, then a count.
constexpr int kMaxReported = 20;

TEST_F(UcdReference, EveryCodePointMatchesTheUcd) {
    int mismatches = 0;
    for (char32_t c = 0; c < kCodeSpace; ++c) {
        const std::uint8_t want_flags = ref_->flags[c];
        const char32_t want_lower = ref_->lower[c];
        const u::CharInfo info = u::char_info(c);
        const bool ok = info.flags == want_flags &&
                        static_cast<char32_t>(static_cast<std::int32_t>(c) + info.lower_delta) == want_lower &&
                        u::simple_lowercase(c) == want_lower && u::is_cased(c) == ((want_flags & u::kCased) != 0) &&
                        u::is_case_ignorable(c) == ((want_flags & u::kCaseIgnorable) != 0) &&
                        u::is_white_space(c) == ((want_flags & u::kWhiteSpace) != 0) &&
                        u::is_word_character(c) == ((want_flags & u::kWord) != 0);
        if (!ok && ++mismatches <= kMaxReported) {
            ADD_FAILURE() << hex(c) << ": tables say flags " << int(info.flags) << " lower "
                          << hex(u::simple_lowercase(c)) << ", UCD says flags " << int(want_flags) << " lower "
                          << hex(want_lower);
        }
    }
    EXPECT_EQ(mismatches, 0);
}

TEST_F(UcdReference, AsciiFastPathAgreesWithTwoLevelTables) {
    // char_info never reaches the two-level tables below U+0080; they must still be right.
    namespace d = u::detail;
    for (char32_t c = 0; c < 128; ++c) {
        const unsigned block = d::kStage1[c >> d::kShift];
        const u::CharInfo staged = d::kRecords[d::kStage2[block * d::kBlockSize + (c & (d::kBlockSize - 1))]];
        EXPECT_EQ(staged.flags, ref_->flags[c]) << hex(c);
        EXPECT_EQ(static_cast<char32_t>(static_cast<std::int32_t>(c) + staged.lower_delta), ref_->lower[c]) << hex(c);
    }
}

// The complete White_Space set, as listed in PropList.txt.
const std::vector<char32_t> kWhiteSpace = {
    0x0009, 0x000A, 0x000B, 0x000C, 0x000D, 0x0020, 0x0085, 0x00A0, 0x1680, 0x2000, 0x2001, 0x2002, 0x2003,
    0x2004, 0x2005, 0x2006, 0x2007, 0x2008, 0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000,
};

TEST(UnicodeWhiteSpace, ExactlyTheListedCodePoints) {
    ASSERT_EQ(kWhiteSpace.size(), 25u);
    std::vector<char32_t> found;
    for (char32_t c = 0; c < kCodeSpace; ++c) {
        if (u::is_white_space(c)) found.push_back(c);
    }
    EXPECT_EQ(found, kWhiteSpace);
}

class WhiteSpaceChar : public ::testing::TestWithParam<char32_t> {};

TEST_P(WhiteSpaceChar, IsNeitherCasedNorCaseIgnorable) {
    const char32_t c = GetParam();
    EXPECT_TRUE(u::is_white_space(c)) << hex(c);
    EXPECT_FALSE(u::is_cased(c)) << hex(c);
    EXPECT_FALSE(u::is_case_ignorable(c)) << hex(c);
    EXPECT_EQ(u::simple_lowercase(c), c) << hex(c);
}

INSTANTIATE_TEST_SUITE_P(AllWhiteSpace, WhiteSpaceChar, ::testing::ValuesIn(kWhiteSpace));

class NotWhiteSpaceChar : public ::testing::TestWithParam<char32_t> {};

TEST_P(NotWhiteSpaceChar, IsNotWhiteSpace) { EXPECT_FALSE(u::is_white_space(GetParam())) << hex(GetParam()); }

// Separators and invisible characters often mistaken for whitespace.
INSTANTIATE_TEST_SUITE_P(LookAlikes, NotWhiteSpaceChar,
                         ::testing::Values(0x001C, 0x001D, 0x001E, 0x001F, 0x180E, 0x200B, 0x2060, 0xFEFF));

struct LowerCase {
    char32_t from;
    char32_t to;
};

void PrintTo(const LowerCase& m, std::ostream* os) { *os << hex(m.from) << "->" << hex(m.to); }

class SimpleLowercase : public ::testing::TestWithParam<LowerCase> {};

TEST_P(SimpleLowercase, MapsAsExpected) {
    const LowerCase m = GetParam();
    EXPECT_EQ(u::simple_lowercase(m.from), m.to) << hex(m.from);
}

std::vector<LowerCase> letters_and_digits() {
    std::vector<LowerCase> cases;
    for (char32_t c = 'A'; c <= 'Z'; ++c) cases.push_back({c, c + 0x20});
    for (char32_t c = 'a'; c <= 'z'; ++c) cases.push_back({c, c});
    for (char32_t c = '0'; c <= '9'; ++c) cases.push_back({c, c});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Ascii, SimpleLowercase, ::testing::ValuesIn(letters_and_digits()));

INSTANTIATE_TEST_SUITE_P(BeyondAscii, SimpleLowercase,
                         ::testing::Values(LowerCase{0x212A, 0x006B},    // KELVIN SIGN -> k
                                           LowerCase{0x1E9E, 0x00DF},    // CAPITAL SHARP S -> sharp s
                                           LowerCase{0x2126, 0x03C9},    // OHM SIGN -> omega
                                           LowerCase{0x0130, 0x0069},    // simple part of the U+0130 mapping
                                           LowerCase{0x03A3, 0x03C3},    // SIGMA -> non-final sigma
                                           LowerCase{0x10400, 0x10428},  // DESERET, beyond the BMP
                                           LowerCase{0x00DF, 0x00DF},    // lowercase already
                                           LowerCase{0x4E00, 0x4E00}));  // uncased

TEST(UnicodeLowercase, CapitalIWithDotHasTwoCodePointMapping) {
    EXPECT_EQ(u::kCapitalIWithDot, char32_t{0x0130});
    EXPECT_EQ(u::kCapitalIWithDotLower[0], char32_t{0x0069});
    EXPECT_EQ(u::kCapitalIWithDotLower[1], char32_t{0x0307});
    EXPECT_TRUE(u::is_cased(0x0130));
    // Its second code point, COMBINING DOT ABOVE, must not break a cased word.
    EXPECT_TRUE(u::is_case_ignorable(0x0307));
}

class CaseIgnorableChar : public ::testing::TestWithParam<char32_t> {};

TEST_P(CaseIgnorableChar, IsCaseIgnorable) { EXPECT_TRUE(u::is_case_ignorable(GetParam())) << hex(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Samples, CaseIgnorableChar,
                         ::testing::Values(0x0027,    // APOSTROPHE
                                           0x002E,    // FULL STOP
                                           0x003A,    // COLON
                                           0x2019,    // RIGHT SINGLE QUOTATION MARK
                                           0x00AD,    // SOFT HYPHEN
                                           0x0301));  // COMBINING ACUTE ACCENT

TEST(UnicodeCased, GreekCapitalsAreCasedAndLowercase) {
    for (char32_t c = 0x0391; c <= 0x03A9; ++c) {
        if (c == 0x03A2) continue;  // unassigned
        EXPECT_TRUE(u::is_cased(c)) << hex(c);
        EXPECT_FALSE(u::is_case_ignorable(c)) << hex(c);
        EXPECT_EQ(u::simple_lowercase(c), c + 0x20) << hex(c);
    }
    EXPECT_FALSE(u::is_cased(0x03A2));
}

class BeyondCodeSpace : public ::testing::TestWithParam<char32_t> {};

TEST_P(BeyondCodeSpace, HasNoProperties) {
    const char32_t c = GetParam();
    const u::CharInfo info = u::char_info(c);
    EXPECT_EQ(info.flags, 0) << hex(c);
    EXPECT_EQ(info.lower_delta, 0) << hex(c);
    EXPECT_EQ(u::simple_lowercase(c), c) << hex(c);
    EXPECT_FALSE(u::is_white_space(c) || u::is_cased(c) || u::is_case_ignorable(c)) << hex(c);
}

INSTANTIATE_TEST_SUITE_P(OutOfRange, BeyondCodeSpace,
                         ::testing::Values(char32_t{0x110000}, char32_t{0x110041}, char32_t{0x7FFFFFFF},
                                           char32_t{0xFFFFFFFF}));

}  // namespace
