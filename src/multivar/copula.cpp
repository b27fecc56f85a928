#include "multivar/copula.hpp"

#include <cmath>

namespace drovik {

const char* copula_error_name(CopulaError e) {
    switch (e) {
        case CopulaError::InvalidCorrelation: return "InvalidCorrelation";
        case CopulaError::DimensionMismatch: return "DimensionMismatch";
    }
    return "InvalidCorrelation";
}

double normal_cdf(double y) {
    const double a = y / 1.4142135623730951;
    const double t = 1.0 / (1.0 + 0.5 * std::fabs(a));
    // Powers from t, t^2, t^4 and t^8 (not Horner): the seeded results depend on
    // this exact sequence of roundings.
    const double t2 = t * t;
    const double t4 = t2 * t2;
    const double t8 = t4 * t4;
    const double t3 = t * t2;
    const double t5 = t * t4;
    const double t6 = t2 * t4;
    const double t7 = t3 * t4;
    const double t9 = t * t8;
    const double exponent = -a * a - 1.26551223 + 1.00002368 * t + 0.37409196 * t2 + 0.09678418 * t3 -
                            0.18628806 * t4 + 0.27886807 * t5 - 1.13520398 * t6 + 1.48851587 * t7 -
                            0.82215223 * t8 + 0.17087277 * t9;
    double e = 1.0 - t * std::exp(exponent);  // erf(|a|)
    if (a < 0.0) e = -e;
    double u = (e + 1.0) * 0.5;
    // The quantile functions never see 0 or 1; NaN fails both tests and passes on.
    if (u < 1e-12) u = 1e-12;
    if (u > 0.999999999999) u = 0.999999999999;
    return u;
}

std::expected<GaussianCopula, CopulaError> GaussianCopula::create(std::vector<std::vector<double>> corr) {
    const std::size_t d = corr.size();
    if (d == 0) return std::unexpected(CopulaError::InvalidCorrelation);
    for (const auto& row : corr) {
        if (row.size() != d) return std::unexpected(CopulaError::InvalidCorrelation);
    }
    // In place, row by row: L[i][j] replaces corr[i][j] only after it was read,
    // and reads only L entries of earlier columns of row i and of earlier rows.
    // A non-finite entry of the lower triangle always reaches its row's pivot.
    auto& l = corr;
    std::vector<double> scale(d);
    for (std::size_t i = 0; i < d; ++i) {
        // Positive once the pivot is: it exceeds the pivot by a sum of squares.
        scale[i] = std::sqrt(corr[i][i]);
        for (std::size_t j = 0; j <= i; ++j) {
            double s = corr[i][j];
            for (std::size_t k = 0; k < j; ++k) s -= l[i][k] * l[j][k];
            if (j == i) {
                if (!(std::isfinite(s) && s > 0.0)) return std::unexpected(CopulaError::InvalidCorrelation);
                l[i][i] = std::sqrt(s);
            } else {
                l[i][j] = s / l[j][j];
            }
        }
        for (std::size_t j = i + 1; j < d; ++j) l[i][j] = 0.0;  // the ignored upper triangle
    }
    return GaussianCopula(std::move(l), std::move(scale));
}

std::expected<std::vector<double>, SampleError> GaussianCopula::sample_with_ppfs(
    ChachaRng& rng, std::span<const QuantileFunction* const> ppfs) const {
    const std::size_t d = chol_.size();
    if (ppfs.size() != d) return std::unexpected(SampleError::of(SampleError::Kind::McmcFailed));
    for (const QuantileFunction* ppf : ppfs) {
        if (ppf == nullptr) throw Panic("GaussianCopula::sample_with_ppfs given a null quantile function");
    }
    // x holds z, then y = L z, then coordinate by coordinate the quantiles.
    // y_i needs z_0 .. z_i only, so the rows are formed from the last one up
    // and each y_i overwrites the z_i it was the last to need.
    std::vector<double> x(d);
    for (double& zi : x) zi = standard_normal(rng);
    for (std::size_t i = d; i-- > 0;) {
        double y = 0.0;
        for (std::size_t j = 0; j <= i; ++j) y += chol_[i][j] * x[j];
        x[i] = y;
    }
    for (std::size_t i = 0; i < d; ++i) {
        // Exact for a unit diagonal: a correlation matrix draws what it always drew.
        auto value = (*ppfs[i])(normal_cdf(x[i] / scale_[i]));
        if (!value) return std::unexpected(value.error());
        x[i] = *value;
    }
    return x;
}

}  // namespace drovik
