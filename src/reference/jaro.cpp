#include "reference/jaro.hpp"

#include "core/utf8.hpp"

namespace refsieve::reference {

double jaro_winkler(std::string_view a, std::string_view b) {
    const std::vector<char32_t> ca = utf8::decode(a);
    const std::vector<char32_t> cb = utf8::decode(b);
    const std::span<const char32_t> sa(ca);
    const std::span<const char32_t> sb(cb);
    return winkler_adjust(generic_jaro(sa, sb), sa, sb);
}

}  // namespace refsieve::reference
