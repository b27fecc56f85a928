// The midpoint and width of an interval, safe near the ends of the double range.
#pragma once

#include <cmath>

namespace drovik {

// (lo + hi) * 0.5, or lo * 0.5 + hi * 0.5 where the sum overflows: the same
// value bit for bit wherever the plain formula is finite.
inline double midpoint(double lo, double hi) {
    const double sum = lo + hi;
    if (std::isinf(sum) && std::isfinite(lo) && std::isfinite(hi)) return lo * 0.5 + hi * 0.5;
    return sum * 0.5;
}

}  // namespace drovik
