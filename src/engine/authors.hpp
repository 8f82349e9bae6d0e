// Author lists in plain text, read into the command's canonical author text
// and family words without the interpreter.
//
// The command's reader (refsieve_cli.records.authors) splits an author list
// into names ("Lamport, Leslie and Shostak, Robert", "L. Lamport, R.
// Shostak", "Lamport L, Shostak R; et al.") and writes each person as the
// initials of the given names followed by the last word of the family
// name, folded to lower-case letters and digits ("llamport"). This is the
// same reading, for texts in UTF-8 that the command's markup decoding
// leaves as they are: it gives byte for byte what the command's reader
// gives, with the character facts of engine/name_characters.hpp, and
// declines every other text (markup, characters it does not know).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace refsieve::engine {

// One author list read: the canonical text ("llamport rshostak", the words
// of the people whose canonical word is not empty) and the family words
// ("lamport shostak"), either of which may be empty; and whether the list
// ends in "et al." or "and others" (more people wrote it than it names).
struct AuthorsRead {
    std::string canonical;
    std::string families;
    bool cut_short = false;
};

// Whether read_plain_authors reads this text: valid UTF-8 of characters
// that the reader knows (names::kKnown), with nothing the command's markup
// decoding would change (no backslash, '{' or '<', and every '&' followed
// by white space or the end, which no entity can start).
bool is_plain_author_text(std::string_view text) noexcept;

// The author list in text read, or nullopt when is_plain_author_text(text)
// is false.
std::optional<AuthorsRead> read_plain_authors(std::string_view text);

}  // namespace refsieve::engine
