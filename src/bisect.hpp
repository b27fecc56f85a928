// The one bisection scheme over sorted tables (the discrete quantile, the TDR
// segment and knot, the histogram bin). Only the comparisons differ.
#pragma once

#include <cstddef>
#include <span>

namespace drovik {

// Narrows [base, base + size) while `before(entry)` holds at the midpoint, then
// steps past table[base] when `past(table[base])` holds. The table is not empty.
template <class Before, class Past>
std::size_t bisect_table(std::span<const double> table, Before&& before, Past&& past) {
    const double* entries = table.data();
    std::size_t size = table.size();
    std::size_t base = 0;
    while (size > 1) {
        const std::size_t half = size / 2;
        const std::size_t mid = base + half;
        base = before(entries[mid]) ? mid : base;
        size -= half;
    }
    return base + (past(entries[base]) ? 1 : 0);
}

// The index of u in a cumulative table: the first entry above u, or the last
// of a run of entries equal to u.
inline std::size_t cumulative_index(std::span<const double> cumulative, double u) {
    return bisect_table(cumulative, [u](double c) { return c <= u; }, [u](double c) { return c < u; });
}

// The number of entries <= x.
inline std::size_t count_at_most(std::span<const double> table, double x) {
    return bisect_table(table, [x](double v) { return v <= x; }, [x](double v) { return v <= x; });
}

}  // namespace drovik
