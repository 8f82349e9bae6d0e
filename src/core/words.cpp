#include "core/words.hpp"

#include <algorithm>
#include <cstring>

namespace refsieve::same_work {
namespace {

// A 64-bit hash of a word, eight bytes at a time.
std::uint64_t hash_of(std::string_view word) noexcept {
    std::uint64_t h = 0x9E3779B97F4A7C15ULL ^ word.size();
    std::size_t i = 0;
    for (; i + 8 <= word.size(); i += 8) {
        std::uint64_t chunk;
        std::memcpy(&chunk, word.data() + i, 8);
        h = (h ^ chunk) * 0xBF58476D1CE4E5B9ULL;
        h ^= h >> 31;
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, word.data() + i, word.size() - i);
    h = (h ^ tail) * 0x94D049BB133111EBULL;
    return h ^ (h >> 29);
}

std::uint32_t code_points(std::string_view word) noexcept {
    return static_cast<std::uint32_t>(
        std::count_if(word.begin(), word.end(), [](char byte) { return (byte & 0xC0) != 0x80; }));
}

}  // namespace

std::size_t Words::slot_of(std::string_view word, std::uint64_t hash) const noexcept {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
        const std::uint32_t held = slots_[slot];
        if (held == 0 || text(held - 1) == word) return slot;
    }
}

void Words::grow() {
    std::vector<std::uint32_t> old = std::move(slots_);
    slots_.assign(std::max<std::size_t>(64, old.size() * 2), 0);
    for (const std::uint32_t held : old) {
        if (held != 0) slots_[slot_of(text(held - 1), hash_of(text(held - 1)))] = held;
    }
}

std::uint32_t Words::id(std::string_view word) {
    if ((letters_.size() + 1) * 2 > slots_.size()) grow();
    const std::size_t slot = slot_of(word, hash_of(word));
    if (slots_[slot] != 0) return slots_[slot] - 1;
    const auto added = static_cast<std::uint32_t>(letters_.size());
    bytes_.append(word);
    starts_.push_back(bytes_.size());
    letters_.push_back(code_points(word));
    slots_[slot] = added + 1;
    return added;
}

std::size_t Words::memory_bytes() const noexcept {
    return bytes_.capacity() + starts_.capacity() * sizeof(std::uint64_t) +
           (letters_.capacity() + slots_.capacity()) * sizeof(std::uint32_t);
}

}  // namespace refsieve::same_work
