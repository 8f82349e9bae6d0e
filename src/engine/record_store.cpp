#include "engine/record_store.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

namespace refsieve::engine {
namespace {

constexpr std::size_t kBlockBytes = std::size_t{1} << 20;
constexpr std::array<std::string_view, RecordStore::kScoredTexts> kScoredNames = {
    "title", "author", "doi", "journal", "volume", "number", "pages", "publisher"};

std::size_t varint_size(std::uint64_t value) noexcept {
    std::size_t n = 1;
    while (value >= 0x80) {
        value >>= 7;
        ++n;
    }
    return n;
}

char* put_varint(char* out, std::uint64_t value) noexcept {
    while (value >= 0x80) {
        *out++ = static_cast<char>((value & 0x7f) | 0x80);
        value >>= 7;
    }
    *out++ = static_cast<char>(value);
    return out;
}

std::uint64_t get_varint(const char*& in) noexcept {
    std::uint64_t value = 0;
    for (unsigned shift = 0;; shift += 7) {
        const auto byte = static_cast<unsigned char>(*in++);
        value |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
        if (byte < 0x80) return value;
    }
}

// A text's length plus one; zero stands for an absent text.
std::uint64_t length_code(const OptionalText& text) noexcept { return text ? text->size() + 1 : 0; }

// Reads bytes from a serialised store, refusing to read past its end.
class Reader {
public:
    explicit Reader(std::string_view bytes) : rest_(bytes) {}
    bool ok() const noexcept { return ok_; }
    bool at_end() const noexcept { return rest_.empty(); }

    std::uint64_t varint() {
        std::uint64_t value = 0;
        for (unsigned shift = 0; shift < 64; shift += 7) {
            if (rest_.empty()) return fail();
            const auto byte = static_cast<unsigned char>(rest_.front());
            rest_.remove_prefix(1);
            value |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
            if (byte < 0x80) return value;
        }
        return fail();
    }
    std::string_view take(std::uint64_t n) {
        if (n > rest_.size()) {
            fail();
            return {};
        }
        const std::string_view taken = rest_.substr(0, n);
        rest_.remove_prefix(n);
        return taken;
    }

private:
    std::uint64_t fail() {
        ok_ = false;
        rest_ = {};
        return 0;
    }
    std::string_view rest_;
    bool ok_ = true;
};

constexpr std::string_view kMagic = "refsieve-records-1";

}  // namespace

RecordStore::RecordStore(std::vector<std::string> extra_names) : extra_names_(std::move(extra_names)) {}

std::optional<std::size_t> RecordStore::text_column(std::string_view name) const {
    for (std::size_t c = 0; c < kScoredNames.size(); ++c) {
        if (kScoredNames[c] == name) return c;
    }
    for (std::size_t c = 0; c < extra_names_.size(); ++c) {
        if (extra_names_[c] == name) return kScoredTexts + c;
    }
    return std::nullopt;
}

char* RecordStore::reserve(std::size_t n) {
    if (blocks_.empty() || block_used_ + n > block_capacity_.back()) {
        const std::size_t capacity = std::max(kBlockBytes, n);
        blocks_.push_back(std::make_unique_for_overwrite<char[]>(capacity));
        block_capacity_.push_back(capacity);
        block_used_ = 0;
    }
    return blocks_.back().get() + block_used_;
}

void RecordStore::append(std::uint64_t index, std::optional<std::int32_t> year, std::span<const OptionalText> texts) {
    std::size_t bytes = 0;
    for (std::size_t c = 0; c < text_columns(); ++c) {
        OptionalText text = c < texts.size() ? texts[c] : std::nullopt;
        if (!text && (c == kTitle || c == kAuthor)) text = std::string_view();
        bytes += varint_size(length_code(text)) + (text ? text->size() : 0);
    }
    char* out = reserve(bytes);
    places_.push_back(Place{static_cast<std::uint32_t>(blocks_.size() - 1), static_cast<std::uint32_t>(block_used_)});
    for (std::size_t c = 0; c < text_columns(); ++c) {
        OptionalText text = c < texts.size() ? texts[c] : std::nullopt;
        if (!text && (c == kTitle || c == kAuthor)) text = std::string_view();
        out = put_varint(out, length_code(text));
        if (text && !text->empty()) {
            std::memcpy(out, text->data(), text->size());
            out += text->size();
        }
    }
    block_used_ += bytes;
    index_.push_back(index);
    year_.push_back(year.value_or(0));
    has_year_.push_back(year.has_value());
}

const char* RecordStore::packed(std::size_t k) const noexcept {
    return blocks_[places_[k].block].get() + places_[k].offset;
}

std::size_t RecordStore::packed_size(std::size_t k) const noexcept {
    const char* const start = packed(k);
    const char* at = start;
    for (std::size_t c = 0; c < text_columns(); ++c) {
        const std::uint64_t code = get_varint(at);
        if (code > 1) at += code - 1;
    }
    return static_cast<std::size_t>(at - start);
}

OptionalText RecordStore::text(std::size_t k, std::size_t column) const noexcept {
    const char* at = packed(k);
    for (std::size_t c = 0;; ++c) {
        const std::uint64_t code = get_varint(at);
        if (c == column) return code == 0 ? OptionalText() : OptionalText(std::string_view(at, code - 1));
        if (code > 1) at += code - 1;
    }
}

RecordView RecordStore::view(std::size_t k, std::optional<std::uint64_t> index) const {
    std::array<OptionalText, kScoredTexts> texts;
    const char* at = packed(k);
    for (std::size_t c = 0; c < kScoredTexts; ++c) {
        const std::uint64_t code = get_varint(at);
        if (code != 0) texts[c] = std::string_view(at, code - 1);
        if (code > 1) at += code - 1;
    }
    return RecordView{
        .index = index.value_or(index_[k]),
        .title = texts[kTitle].value_or(std::string_view()),
        .author = texts[kAuthor].value_or(std::string_view()),
        .year = year(k),
        .doi = texts[kDoi],
        .journal = texts[kJournal],
        .volume = texts[kVolume],
        .number = texts[kNumber],
        .pages = texts[kPages],
        .publisher = texts[kPublisher],
    };
}

std::size_t RecordStore::count_present(std::size_t column) const {
    std::size_t count = 0;
    for (std::size_t k = 0; k < size(); ++k) {
        const OptionalText found = text(k, column);
        count += found && !found->empty();
    }
    return count;
}

std::size_t RecordStore::count_years() const {
    std::size_t count = 0;
    for (const std::uint8_t has : has_year_) count += has;
    return count;
}

RecordStore RecordStore::subset(std::span<const std::size_t> positions) const {
    RecordStore out(extra_names_);
    std::vector<OptionalText> texts(text_columns());
    for (const std::size_t k : positions) {
        for (std::size_t c = 0; c < texts.size(); ++c) texts[c] = text(k, c);
        out.append(index_[k], year(k), texts);
    }
    return out;
}

std::string RecordStore::serialize() const {
    std::string out(kMagic);
    const auto put = [&](std::uint64_t value) {
        char buffer[10];
        out.append(buffer, put_varint(buffer, value));
    };
    put(extra_names_.size());
    for (const std::string& name : extra_names_) {
        put(name.size());
        out += name;
    }
    put(size());
    for (std::size_t k = 0; k < size(); ++k) {
        put(index_[k]);
        // The year as a 33-bit code: zero when absent, else the year's
        // unsigned form plus one.
        put(has_year_[k] ? static_cast<std::uint64_t>(static_cast<std::uint32_t>(year_[k])) + 1 : 0);
        const std::size_t bytes = packed_size(k);
        put(bytes);
        out.append(packed(k), bytes);
    }
    return out;
}

std::optional<RecordStore> RecordStore::deserialize(std::string_view bytes) {
    if (!bytes.starts_with(kMagic)) return std::nullopt;
    Reader in(bytes.substr(kMagic.size()));
    std::vector<std::string> names(std::min<std::uint64_t>(in.varint(), 1024));
    for (std::string& name : names) name = std::string(in.take(in.varint()));
    RecordStore store(std::move(names));
    const std::uint64_t count = in.varint();
    std::vector<OptionalText> texts(store.text_columns());
    for (std::uint64_t k = 0; k < count && in.ok(); ++k) {
        const std::uint64_t index = in.varint();
        const std::uint64_t year_code = in.varint();
        Reader record(in.take(in.varint()));
        for (OptionalText& text : texts) {
            const std::uint64_t code = record.varint();
            text = code == 0 ? OptionalText() : OptionalText(record.take(code - 1));
        }
        if (!in.ok() || !record.ok() || !record.at_end() || year_code > (std::uint64_t{1} << 32)) return std::nullopt;
        const std::optional<std::int32_t> year =
            year_code == 0
                ? std::nullopt
                : std::optional<std::int32_t>(static_cast<std::int32_t>(static_cast<std::uint32_t>(year_code - 1)));
        store.append(index, year, texts);
    }
    if (!in.ok() || !in.at_end()) return std::nullopt;
    return store;
}

std::size_t RecordStore::memory_bytes() const noexcept {
    std::size_t bytes = index_.capacity() * sizeof(std::uint64_t) + year_.capacity() * sizeof(std::int32_t) +
                        has_year_.capacity() + places_.capacity() * sizeof(Place);
    for (const std::size_t capacity : block_capacity_) bytes += capacity;
    return bytes;
}

}  // namespace refsieve::engine
