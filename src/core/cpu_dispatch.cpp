#include "core/cpu_dispatch.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>

#include "core/failure.hpp"

namespace refsieve {
namespace {

constexpr std::array<CpuPath, 3> kAllPaths = {CpuPath::baseline, CpuPath::avx2, CpuPath::avx512};

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
    switch (path) {
        case CpuPath::baseline: return "baseline";
        case CpuPath::avx2: return "avx2";
        case CpuPath::avx512: return "avx512";
    }
    return "baseline";
}

std::vector<CpuPath> supported_cpu_paths() {
    std::vector<CpuPath> paths;
    for (CpuPath path : kAllPaths) {
        if (cpu_runs(path)) paths.push_back(path);
    }
    return paths;
}

CpuPathChoice choose_cpu_path(const char* requested, std::span<const CpuPath> supported) {
    const CpuPath best = supported.empty() ? CpuPath::baseline : supported.back();
    if (requested == nullptr || *requested == '\0') return {best, std::nullopt};
    const std::string_view name(requested);
    const auto named =
        std::find_if(kAllPaths.begin(), kAllPaths.end(), [&](CpuPath path) { return cpu_path_name(path) == name; });
    const std::string best_name(cpu_path_name(best));
    if (named == kAllPaths.end()) {
        return {best, "refsieve: REFSIEVE_CPU=" + std::string(name) + " is not one of baseline, avx2, avx512; using " +
                          best_name};
    }
    if (std::find(supported.begin(), supported.end(), *named) == supported.end()) {
        return {best,
                "refsieve: REFSIEVE_CPU=" + std::string(name) + " is not supported by this CPU; using " + best_name};
    }
    return {*named, std::nullopt};
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
