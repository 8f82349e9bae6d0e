// The CPU paths of the scoring loop. One build runs on any x86-64 CPU: the
// loop is compiled once per path, and the first use picks the best path the
// CPU offers, or the one that REFSIEVE_CPU names. Every path computes the
// same values bit for bit (no fused multiply-add; the vector units only
// speed up the matching, never the arithmetic of a score).
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Every CPU path, from the plainest to the best, as PATH(name, target):
// target names the instruction sets that the path's copy of the scoring
// loop is compiled for (none for the baseline, which has the build's
// own). The enumeration, the names, the per-path copies and their dispatch
// (scoring.cpp) are generated from this list; a new path also needs its
// check in cpu_runs (cpu_dispatch.cpp), which the compiler asks for.
#define REFSIEVE_CPU_PATHS(PATH)           \
    PATH(baseline)                         \
    PATH(avx2, "popcnt,bmi,bmi2,avx,avx2") \
    PATH(avx512, "popcnt,bmi,bmi2,avx,avx2,avx512f,avx512bw,avx512vl,avx512dq,avx512cd")

// The attribute that compiles a function for the target of a path, for use
// as [[REFSIEVE_CPU_TARGET(target)]]; nothing for the baseline.
#define REFSIEVE_CPU_TARGET(...) __VA_OPT__(gnu::target(__VA_ARGS__))

namespace refsieve {

#define REFSIEVE_CPU_PATH_ENUMERATOR(name, ...) name,
// Ordered from the plainest to the best.
enum class CpuPath { REFSIEVE_CPU_PATHS(REFSIEVE_CPU_PATH_ENUMERATOR) };
#undef REFSIEVE_CPU_PATH_ENUMERATOR

// The path's name in the list above: "baseline", "avx2", ...
std::string_view cpu_path_name(CpuPath path) noexcept;

// The paths this CPU runs, baseline first.
std::vector<CpuPath> supported_cpu_paths();

// The path for a request (REFSIEVE_CPU's value, or null when unset): the
// one named when the CPU supports it, else the best supported, with the line
// that says so when a request is not met.
struct CpuPathChoice {
    CpuPath path;
    std::optional<std::string> warning;
};
CpuPathChoice choose_cpu_path(const char* requested, std::span<const CpuPath> supported);

// The path chosen at first use from REFSIEVE_CPU and the CPU; a request
// not met is reported once on standard error.
CpuPath active_cpu_path();

}  // namespace refsieve
