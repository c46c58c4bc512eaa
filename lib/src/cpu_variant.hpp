// Which code the fast paths may run: the one place that asks the running CPU
// what it has and the switches what they allow (ZR_PLAIN_PATH and
// set_plain_path_forced turn every fast path off; set_cpu_variants_allowed
// keeps only the portable code). Each row of the fast-path table names the
// feature its code needs; fill_cells asks here too.
#pragma once

#include <cstdint>

// Code for x86-64 extensions is built where the compiler takes per-function
// targets; NEON code where CMake found the compiler able to (ZR_NEON_ROWS).
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define ZR_X86_64_VARIANTS 1
#else
#define ZR_X86_64_VARIANTS 0
#endif
#ifndef ZR_NEON_ROWS
#define ZR_NEON_ROWS 0
#endif

namespace zr {

enum class cpu_feature : std::uint8_t {
    baseline,      // the portable code (on x86-64 that is SSE2)
    string_store,  // x86-64: the string store for large fills
    avx2,          // x86-64 with AVX2
    avx512vbmi,    // x86-64 with AVX-512 F, BW and VBMI (byte permutes)
    neon,          // ARM's Advanced SIMD: always on 64-bit ARM, asked for on 32-bit
};

// A set of features, one bit each.
using cpu_features = std::uint32_t;
constexpr cpu_features feature_bit(cpu_feature f) { return cpu_features{1} << static_cast<int>(f); }

// What fast paths may use now: nothing (0) while the plain path is forced;
// the baseline alone while the CPU's variants are switched off; otherwise the
// baseline and whatever the running CPU has.
cpu_features allowed_cpu_features();

inline bool cpu_allows(cpu_feature f) { return (allowed_cpu_features() & feature_bit(f)) != 0; }

}  // namespace zr
