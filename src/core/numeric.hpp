// Saturating integer arithmetic and float-to-integer conversions: counts
// derived from files or from floating-point sizes never wrap around. And a
// rounding to whole numbers for hot loops.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace molvane {

inline constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();

// a + b, or the largest value when the sum does not fit.
inline std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    std::uint64_t s;
    return __builtin_add_overflow(a, b, &s) ? u64_max : s;
}

// Truncation towards zero to an unsigned count: NaN and values below 1 give 0,
// values beyond the range give the largest count.
inline std::uint64_t saturating_u64(double v) {
    if (!(v > 0.0)) return 0;
    if (v >= 18446744073709551616.0) return u64_max;
    return static_cast<std::uint64_t>(v);
}

// Truncation towards zero to a signed integer: NaN gives 0, values beyond the
// range give the nearest limit.
inline std::int64_t saturating_i64(double v) {
    if (v != v) return 0;
    if (v >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
    if (v < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(v);
}

// std::round (halves away from zero), without a library call for the
// differences of coordinates in the cell (|v| < 1.5) that hot loops round.
inline double nearest_whole(double v) {
    const double a = std::fabs(v);
    if (!(a < 1.5)) return std::round(v);
    return std::copysign(a < 0.5 ? 0.0 : 1.0, v);
}

}  // namespace molvane
