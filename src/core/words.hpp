// The words of a catalogue's titles and family names, each stored once and
// named by a number, with what matching two words needs to know of each.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace refsieve::same_work {

class Words {
public:
    // The word's number; a word not seen before is added.
    std::uint32_t id(std::string_view word);

    // The word's text: valid until the next call of id().
    std::string_view text(std::uint32_t id) const noexcept {
        return {bytes_.data() + starts_[id], static_cast<std::size_t>(starts_[id + 1] - starts_[id])};
    }
    // How many code points the word has.
    std::uint32_t letters(std::uint32_t id) const noexcept { return letters_[id]; }
    bool is_ascii(std::uint32_t id) const noexcept { return letters_[id] == starts_[id + 1] - starts_[id]; }
    std::size_t size() const noexcept { return letters_.size(); }

    // Bytes held, roughly.
    std::size_t memory_bytes() const noexcept;

private:
    void grow();
    std::size_t slot_of(std::string_view word, std::uint64_t hash) const noexcept;

    std::string bytes_;                     // every word's text, one after another
    std::vector<std::uint64_t> starts_{0};  // word k is bytes_[starts_[k], starts_[k + 1])
    std::vector<std::uint32_t> letters_;    // code points of word k
    std::vector<std::uint32_t> slots_;      // open addressing: word number + 1, 0 for free
};

}  // namespace refsieve::same_work
