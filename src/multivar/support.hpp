// The axis-aligned box every multivariate sampler works over, the box
// operations they share, and the interfaces through which they evaluate
// user functions.
#pragma once

#include <cmath>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "error.hpp"
#include "random/rng.hpp"

namespace drovik {

class HyperRect {
public:
    // Empty first, then lengths, then bound by bound: the lowest offending
    // index decides between the non-finite and the ordering message.
    static std::expected<HyperRect, BuildError> create(std::vector<double> lo, std::vector<double> hi);

    std::size_t dim() const { return lo_.size(); }
    const std::vector<double>& lo() const { return lo_; }
    const std::vector<double>& hi() const { return hi_; }

    // d uniforms in coordinate order: x[i] = lo[i] + u * (hi[i] - lo[i]).
    void uniform_point(ChachaRng& rng, std::span<double> out) const;
    std::vector<double> uniform_point(ChachaRng& rng) const;

    // Folds y into [lo[i], hi[i]] by reflection at the walls. A value more
    // than about a million periods out first loses whole periods at once;
    // a non-finite value, or one whose fold would overflow, gives NaN.
    double reflect_into(std::size_t i, double y) const { return reflect(i, y).value; }

    // The same fold, and whether it took an odd number of reflections (a
    // velocity along coordinate i then points the other way).
    struct Reflected {
        double value;
        bool odd;
    };
    Reflected reflect(std::size_t i, double y) const;

    // Product of the edge lengths, in coordinate order from 1.0.
    double volume() const;

private:
    HyperRect(std::vector<double> lo, std::vector<double> hi) : lo_(std::move(lo)), hi_(std::move(hi)) {}
    std::vector<double> lo_;
    std::vector<double> hi_;
};

// ln y for y > 0; -infinity for 0, negatives and NaN; +infinity stays.
inline double log_density(double y) { return y > 0.0 ? std::log(y) : -INFINITY; }

// A function of a point supplied from outside the core (a user's callable).
// It never fails: NaN stands for a value that could not be computed.
class NdFunction {
public:
    virtual ~NdFunction() = default;
    virtual double operator()(std::span<const double> x) const = 0;
};

using SharedNdFunction = std::shared_ptr<const NdFunction>;

// The start of a Markov chain: the first of up to `tries` uniform points
// whose log density is finite, with that log density.
struct ChainStart {
    std::vector<double> point;
    double log_pdf;
};
std::optional<ChainStart> uniform_start(const HyperRect& support, const NdFunction& pdf, std::uint64_t tries,
                                        ChachaRng& rng);

}  // namespace drovik
