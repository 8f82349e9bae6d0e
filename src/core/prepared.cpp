#include "core/prepared.hpp"

#include <algorithm>
#include <cstring>

#include "core/normalize.hpp"
#include "core/scoring_rules.hpp"
#include "core/token_key.hpp"
#include "core/utf8.hpp"

namespace refsieve {
namespace {

SubjectKey subject_key(TokenKeyBuilder& builder, std::string_view text, bool normalized) {
    SubjectKey key;
    if (normalized) {
        builder.build_normalized(text, key.code_points);
    } else {
        builder.build(text, key.code_points);
    }
    key.pattern.assign(key.code_points);
    return key;
}

// A size that PreparedCandidate::fits has checked.
std::uint32_t stored_size(std::size_t size) noexcept { return static_cast<std::uint32_t>(size); }

std::size_t code_point_count(std::string_view text) noexcept {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char byte) { return (byte & 0xC0) != 0x80; }));
}

// Whether the prepared form of text has at most `most` bytes (when
// bytes_stored, as for the normalised title) or code points (a key: ASCII
// keys take one byte per code point). Normalising writes at most four
// bytes for each code point it reads, and a space only for whitespace it
// drops, so a text of up to most / 4 bytes fits without being normalised.
bool prepared_form_fits(std::string_view text, bool bytes_stored, std::size_t most) {
    if (text.size() <= most / 4) return true;
    std::string normalized;
    const bool ascii = normalize_into(text, normalized);
    return (bytes_stored || ascii ? normalized.size() : code_point_count(normalized)) <= most;
}

// What preparing a candidate works in, kept by each thread.
struct CandidateWork {
    TokenKeyBuilder builder;
    std::string normalized;
    std::string key;  // UTF-8, for keys beyond ASCII
    std::string block;
};

CandidateWork& candidate_work() {
    thread_local CandidateWork work;
    return work;
}

// Appends the sorted key of a normalised text to out: its bytes when all
// are ASCII, else its code points, four bytes each, from a multiple of four
// on (relative to `start`). Returns the code point count and whether the
// key is wide.
std::pair<std::uint32_t, bool> append_key(std::string_view normalized, bool ascii, std::string& out, std::size_t start,
                                          CandidateWork& work) {
    if (ascii) {
        work.builder.append_utf8_normalized(normalized, out);
        return {stored_size(normalized.size()), false};
    }
    work.key.clear();
    work.builder.append_utf8_normalized(normalized, work.key);
    out.resize(start + PreparedCandidate::wide_aligned(out.size() - start));
    std::size_t count = 0;
    for (std::size_t i = 0; i < work.key.size();) {
        const char32_t c = utf8::next(work.key, i);
        char bytes[sizeof(char32_t)];
        std::memcpy(bytes, &c, sizeof c);
        out.append(bytes, sizeof bytes);
        ++count;
    }
    return {stored_size(count), true};
}

// A length code (a length plus one; zero for an absent text) in seven-bit
// groups, low group first, the top bit marking that another follows.
void append_length_code(std::size_t code, std::string& out) {
    while (code >= 0x80) {
        out.push_back(static_cast<char>((code & 0x7f) | 0x80));
        code >>= 7;
    }
    out.push_back(static_cast<char>(code));
}

// The next stored identifying text, moving `at` past it.
std::optional<std::string_view> next_stored_text(const char*& at) noexcept {
    std::size_t code = 0;
    for (unsigned shift = 0;; shift += 7) {
        const auto byte = static_cast<unsigned char>(*at++);
        code |= static_cast<std::size_t>(byte & 0x7f) << shift;
        if (byte < 0x80) break;
    }
    if (code == 0) return std::nullopt;
    const std::string_view text(at, code - 1);
    at += code - 1;
    return text;
}

}  // namespace

RecordView PreparedCandidate::identifiers() const noexcept {
    RecordView record;
    record.index = index_;
    if (!has_identifiers()) return record;
    const char* at = reinterpret_cast<const char*>(texts_ + offset(kPublisherKey) + bytes(kPublisherKey));
    record.doi = next_stored_text(at);
    record.journal = next_stored_text(at);
    record.volume = next_stored_text(at);
    record.number = next_stored_text(at);
    record.pages = next_stored_text(at);
    return record;
}

PreparedSubject prepare_subject(const RecordView& record) {
    TokenKeyBuilder builder;
    PreparedSubject p;
    p.record = record;
    p.has_title = !record.title.empty();
    if (p.has_title) {
        normalize_into(record.title, p.normalized_title);
        p.title_keywords = scoring::keyword_set(p.normalized_title);
        p.title_key = subject_key(builder, p.normalized_title, true);
    }
    p.has_author = !record.author.empty();
    if (p.has_author) p.author_key = subject_key(builder, record.author, false);
    p.has_publisher = record.publisher && !record.publisher->empty();
    if (p.has_publisher) p.publisher_key = subject_key(builder, *record.publisher, false);
    if (record.journal) {
        p.normalized_journal.emplace();
        normalize_into(*record.journal, *p.normalized_journal);
    }
    return p;
}

PreparedCandidate PreparedCandidate::prepare(const RecordView& record, std::string& out) {
    CandidateWork& work = candidate_work();
    PreparedCandidate p;
    p.index_ = record.index;
    if (record.year) {
        p.flags_ |= kHasYear;
        p.year_ = *record.year;
    }
    const auto non_empty = [](const std::optional<std::string_view>& text) { return text && !text->empty(); };
    if (non_empty(record.doi) || non_empty(record.volume) || non_empty(record.number) || non_empty(record.pages)) {
        p.flags_ |= kHasIdentifiers;
    }
    const std::size_t start = out.size();
    // Appends the key of the normalised text in work.normalized.
    const auto set_key = [&](Part part, Flag wide_flag, bool ascii) {
        const auto [size, is_wide] = append_key(work.normalized, ascii, out, start, work);
        p.sizes_[part] = size;
        if (is_wide) p.flags_ |= wide_flag;
    };
    if (!record.title.empty()) {
        p.flags_ |= kHasTitle;
        const bool ascii = normalize_into(record.title, work.normalized);
        p.keywords_ = static_cast<std::uint8_t>(scoring::keyword_set(work.normalized));
        out.append(work.normalized);
        p.sizes_[kTitleText] = stored_size(work.normalized.size());
        set_key(kTitleKey, kWideTitleKey, ascii);
    }
    if (!record.author.empty()) {
        p.flags_ |= kHasAuthor;
        set_key(kAuthorKey, kWideAuthorKey, normalize_into(record.author, work.normalized));
    }
    if (record.publisher && !record.publisher->empty()) {
        p.flags_ |= kHasPublisher;
        set_key(kPublisherKey, kWidePublisherKey, normalize_into(*record.publisher, work.normalized));
    }
    if (p.has_identifiers()) {
        for (const std::optional<std::string_view>& text :
             {record.doi, record.journal, record.volume, record.number, record.pages}) {
            append_length_code(text ? text->size() + 1 : 0, out);
            if (text) out.append(*text);
        }
    }
    return p;
}

bool PreparedCandidate::fits(const RecordView& record, std::size_t most) {
    return prepared_form_fits(record.title, true, most) && prepared_form_fits(record.author, false, most) &&
           (!record.publisher || prepared_form_fits(*record.publisher, false, most));
}

CandidateCatalogue::CandidateCatalogue(std::span<const RecordView> records)
    : CandidateCatalogue(records, [](std::size_t count, const auto& body) { body(0, count); }) {}

void CandidateCatalogue::prepare_block(std::size_t block, const std::function<RecordView(std::size_t)>& record_at) {
    const std::size_t lo = block * kBlockRecords;
    const std::size_t hi = std::min(candidates_.size(), lo + kBlockRecords);
    std::string& texts = candidate_work().block;
    texts.clear();
    std::vector<std::size_t> starts(hi - lo);
    for (std::size_t k = lo; k < hi; ++k) {
        // Each record's texts start on a multiple of four, as its wide keys need.
        texts.resize(PreparedCandidate::wide_aligned(texts.size()));
        starts[k - lo] = texts.size();
        candidates_[k] = PreparedCandidate::prepare(record_at(k), texts);
    }
    blocks_[block] = std::make_unique_for_overwrite<std::byte[]>(texts.size());
    std::byte* const storage = blocks_[block].get();
    std::memcpy(storage, texts.data(), texts.size());
    for (std::size_t k = lo; k < hi; ++k) candidates_[k].set_texts(storage + starts[k - lo]);
}

}  // namespace refsieve
