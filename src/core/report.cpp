#include "core/report.hpp"

#include <cstdio>

namespace refsieve {

void write_report(std::string_view text) noexcept {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
    std::fflush(stderr);
}

}  // namespace refsieve
