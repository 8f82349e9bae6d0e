// Author lists in plain ASCII text, read into the command's canonical
// author text and family words without the interpreter.
//
// The command's reader (refsieve_cli.records.authors) splits an author list
// into names ("Lamport, Leslie and Shostak, Robert", "L. Lamport, R.
// Shostak", "Lamport L, Shostak R; et al.") and writes each person as the
// initials of the given names followed by the last word of the family
// name, folded to lower-case letters and digits ("llamport"). This is the
// same reading, for the texts that need nothing but ASCII rules: it gives
// byte for byte what the command's reader gives, and declines every other
// text (non-ASCII, or markup that the command decodes first).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace refsieve::engine {

// One author list read: the canonical text ("llamport rshostak", the words
// of the people whose canonical word is not empty) and the family words
// ("lamport shostak"); either may be empty.
struct AuthorsRead {
    std::string canonical;
    std::string families;
};

// Whether read_plain_authors reads this text: pure ASCII with nothing the
// command's markup decoding would change (no backslash, '{' or '<', and
// every '&' followed by white space or the end, which no entity can start).
bool is_plain_author_text(std::string_view text) noexcept;

// The author list in text read, or nullopt when is_plain_author_text(text)
// is false.
std::optional<AuthorsRead> read_plain_authors(std::string_view text);

}  // namespace refsieve::engine
