// The one writer of reports on standard error, for the warnings of the
// core and the failures of the layers above it.
#pragma once

#include <string_view>

namespace refsieve {

// Writes text and a newline on standard error, flushed at once.
void write_report(std::string_view text) noexcept;

}  // namespace refsieve
