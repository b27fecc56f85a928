// The Log hat of transformed density rejection as the textbook writes it, for
// the core tests to compare against: an independent transcription, not the
// code under test.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "continuous/interfaces.hpp"
#include "random/rng.hpp"
#include "../cpp/recording.hpp"

namespace drovik {

// The Log hat as the textbook writes it: no per-segment constants, no guide
// table, linear scans for segments and knots; a draw fails on a density value
// above the hat. Only the plain construction: none where it fails.
inline constexpr double log_slack = 1e-5, slope_slack = 1e-3;

struct RefHat {
    Support sup;
    Points x{}, y{}, s{}, z{}, area{}, cum{};
    double left(std::size_t i) const { return i == 0 ? sup.lo : z[i - 1]; }
    double right(std::size_t i) const { return i + 1 == x.size() ? sup.hi : z[i]; }
    double tangent(std::size_t i, double at) const { return at * s[i] + (y[i] - s[i] * x[i]); }
    // A knot belongs to the segment on its right.
    std::size_t holding(double at) const {
        std::size_t i = 0;
        for (const double knot : z) i += knot <= at;
        return i;
    }
    double log_hat(double at) const { return tangent(holding(at), at); }
    double allowance(double at) const {
        const std::size_t i = holding(at);
        return log_slack + slope_slack * std::abs(s[i] * (at - x[i]));
    }
    // The last entry equal to u, else the first entry above it.
    std::size_t segment(double u) const {
        std::size_t c = 0;
        for (const double e : cum) c += e <= u;
        return std::min(c > 0 && cum[c - 1] == u ? c - 1 : c, cum.size() - 1);
    }
    double invert(std::size_t i, double u2) const {
        const double l = left(i), r = right(i);
        if (std::abs(s[i]) < 1e-12) return l + (r - l) * u2;
        const double e = std::exp(l * s[i]);
        return std::log(e + (std::exp(r * s[i]) - e) * u2) / s[i];
    }
};

inline std::optional<RefHat> ref_build(const Fn& f, const Fn& d, Support sup, std::uint64_t n) {
    const double w = sup.hi - sup.lo;
    n = std::max<std::uint64_t>(n, 4);
    Points c{sup.lo + w * 1e-12, sup.hi - w * 1e-12}, kept, X, Y, S;
    for (std::uint64_t j = 0; j < n; ++j) c.push_back(sup.lo + w * ((double(j) + 0.5) / double(n)));
    std::erase_if(c, [sup](double v) { return !(std::isfinite(v) && v > sup.lo && v < sup.hi); });
    std::sort(c.begin(), c.end());
    for (const double v : c)
        if (kept.empty() || !(std::abs(v - kept.back()) < 1e-12)) kept.push_back(v);
    for (const double p : kept) {
        const double v = f(p);
        if (!(std::isfinite(v) && v > 0)) continue;
        const double dv = d(p);
        if (!std::isfinite(dv)) continue;
        X.push_back(p);
        Y.push_back(std::log(v));
        S.push_back(dv / v);
    }
    const std::size_t k = X.size();
    if (k < 4) return std::nullopt;
    const auto same = [w](double a, double b) { return std::max(1e-14, 1e-8 * (std::abs(a) + std::abs(b) + 1.0 / w)); };
    for (std::size_t i = 0; i < k; ++i)
        if (!std::isfinite(S[i]) || (i > 0 && S[i] - S[i - 1] > same(S[i - 1], S[i]))) return std::nullopt;

    for (std::size_t i = 0; i + 1 < k; ++i)
        if (std::abs(S[i] - S[i + 1]) < 1e-14) return std::nullopt;  // parallel: the hat would be mended
    RefHat h{sup, X, Y, S};
    for (std::size_t i = 0; i + 1 < k; ++i) {
        const double v = (Y[i + 1] - Y[i] + S[i] * X[i] - S[i + 1] * X[i + 1]) / (S[i] - S[i + 1]);
        if (!std::isfinite(v)) return std::nullopt;
        h.z.push_back(std::clamp(v, sup.lo, sup.hi));
        if (i > 0 && h.z[i] < h.z[i - 1]) return std::nullopt;
    }
    double total = 0;
    for (std::size_t i = 0; i < k; ++i) {
        const double l = h.left(i), r = h.right(i), scale = std::exp(Y[i] - S[i] * X[i]);
        const double ar = std::abs(S[i]) < 1e-12 ? (r - l) * scale
                                                 : (std::exp(S[i] * r) - std::exp(S[i] * l)) * (scale / S[i]);
        if (!(std::isfinite(ar) && ar > 0)) return std::nullopt;
        h.area.push_back(ar);
        total += ar;
    }
    if (!(std::isfinite(total) && total > 0)) return std::nullopt;
    double acc = 0;
    for (const double ar : h.area) h.cum.push_back(acc = acc + ar / total);
    h.cum.back() = 1.0;
    return h;
}

inline std::optional<double> ref_draw_log(const RefHat& h, const Fn& f, SeededRng& rng, std::uint64_t max_trials) {
    for (std::uint64_t t = 0; t < std::max<std::uint64_t>(max_trials, 1); ++t) {
        const std::size_t i = h.segment(drovik::uniform(rng));
        const double x = h.invert(i, drovik::uniform(rng));
        if (!std::isfinite(x)) return std::nullopt;
        const double xc = std::clamp(x, h.sup.lo, h.sup.hi), v = f(xc);
        if (!(std::isfinite(v) && v > 0)) continue;
        const double margin = std::log(v) - h.log_hat(xc);
        if (margin > h.allowance(xc)) return std::nullopt;  // above the hat
        if (std::log(drovik::uniform(rng)) <= margin) return xc;
    }
    return std::nullopt;
}

}  // namespace drovik
