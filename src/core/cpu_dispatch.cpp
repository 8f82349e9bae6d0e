#include "core/cpu_dispatch.hpp"

#include <algorithm>
#include <cstdlib>
#include <iterator>

#include "core/report.hpp"

namespace refsieve {
namespace {

#define REFSIEVE_CPU_PATH_ENTRY(name, ...) {CpuPath::name, #name},
// Every path and its name, in the order of CpuPath.
constexpr struct {
    CpuPath path;
    std::string_view name;
} kAllPaths[] = {REFSIEVE_CPU_PATHS(REFSIEVE_CPU_PATH_ENTRY)};
#undef REFSIEVE_CPU_PATH_ENTRY

// "baseline, avx2, avx512": the names of every path.
std::string all_path_names() {
    std::string names;
    for (const auto& entry : kAllPaths) names += (names.empty() ? "" : ", ") + std::string(entry.name);
    return names;
}

// Whether this CPU has the instruction sets of the path's target.
bool cpu_runs(CpuPath path) {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    const bool avx2 = __builtin_cpu_supports("popcnt") && __builtin_cpu_supports("bmi") &&
                      __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("avx2");
    switch (path) {
        case CpuPath::baseline: return true;
        case CpuPath::avx2: return avx2;
        case CpuPath::avx512:
            return avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq") &&
                   __builtin_cpu_supports("avx512cd");
    }
    return false;
#else
    return path == CpuPath::baseline;
#endif
}

}  // namespace

std::string_view cpu_path_name(CpuPath path) noexcept {
    for (const auto& entry : kAllPaths) {
        if (entry.path == path) return entry.name;
    }
    return kAllPaths[0].name;
}

std::vector<CpuPath> supported_cpu_paths() {
    std::vector<CpuPath> paths;
    for (const auto& entry : kAllPaths) {
        if (cpu_runs(entry.path)) paths.push_back(entry.path);
    }
    return paths;
}

CpuPathChoice choose_cpu_path(const char* requested, std::span<const CpuPath> supported) {
    const CpuPath best = supported.empty() ? CpuPath::baseline : supported.back();
    if (requested == nullptr || *requested == '\0') return {best, std::nullopt};
    const std::string_view name(requested);
    const auto named =
        std::find_if(std::begin(kAllPaths), std::end(kAllPaths), [&](const auto& entry) { return entry.name == name; });
    const std::string best_name(cpu_path_name(best));
    if (named == std::end(kAllPaths)) {
        return {best, "refsieve: REFSIEVE_CPU=" + std::string(name) + " is not one of " + all_path_names() +
                          "; using " + best_name};
    }
    if (std::find(supported.begin(), supported.end(), named->path) == supported.end()) {
        return {best,
                "refsieve: REFSIEVE_CPU=" + std::string(name) + " is not supported by this CPU; using " + best_name};
    }
    return {named->path, std::nullopt};
}

CpuPath active_cpu_path() {
    static const CpuPath path = [] {
        const std::vector<CpuPath> supported = supported_cpu_paths();
        const CpuPathChoice choice = choose_cpu_path(std::getenv("REFSIEVE_CPU"), supported);
        if (choice.warning) write_report(*choice.warning);
        return choice.path;
    }();
    return path;
}

}  // namespace refsieve
