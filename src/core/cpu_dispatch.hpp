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

// The instruction sets of each path, as target attributes.
#define REFSIEVE_TARGET_AVX2 "popcnt,bmi,bmi2,avx,avx2"
#define REFSIEVE_TARGET_AVX512 "popcnt,bmi,bmi2,avx,avx2,avx512f,avx512bw,avx512vl,avx512dq,avx512cd"

namespace refsieve {

// Ordered from the plainest to the best.
enum class CpuPath { baseline, avx2, avx512 };

// "baseline", "avx2" or "avx512".
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
