// Interval, BuildOptions, ContinuousDistribution and the factories that build
// a continuous distribution from a Python density or distribution function.
//
//   dist = from_pdf(lambda x: math.exp(-0.5 * x * x), Interval(-8.0, 8.0))
//   dist.cdf(1.0), dist.ppf(0.975), dist.sample_n(1000, seed=42)
#include "continuous.hpp"

#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "callable.hpp"
#include "continuous/sampler.hpp"
#include "continuous/stats.hpp"
#include "inverse_polynomial.hpp"
#include "toolkit.hpp"

namespace drovik::py {

namespace {

using Interval = Support;

// The core sampler of one kind, and the user functions it holds.
struct ContinuousDistributionObject {
    std::variant<UserPdfSampler, UserCdfSampler, HistogramSampler, LocScaleSampler, TruncatedSampler> sampler;
    Callables callables;

    template <class F>
    decltype(auto) visit(F&& f) const {
        return std::visit(std::forward<F>(f), sampler);
    }
};

}  // namespace

template <>
struct ModuleClass<Support> : std::true_type {};
template <>
struct ModuleClass<BuildOptions> : std::true_type {};
template <>
struct ModuleClass<ContinuousDistributionObject> : std::true_type {};

namespace {

// ---------------------------------------------------------------------------
// Interval

std::expected<Interval, BuildError> make_interval(double lo, double hi) { return check_support(lo, hi); }
double interval_lo(const Interval& iv) { return iv.lo; }
double interval_hi(const Interval& iv) { return iv.hi; }
std::string interval_repr(const Interval& iv) {
    return "Interval(" + format_double(iv.lo) + ", " + format_double(iv.hi) + ")";
}

PyGetSetDef interval_properties[] = {
    property<"lo", interval_lo>(),
    property<"hi", interval_hi>(),
    {},
};

// ---------------------------------------------------------------------------
// BuildOptions

// "log" -> Log; "inv_sqrt", "inv-sqrt", "invsqrt" -> InvSqrt, ASCII case folded;
// anything else raises ValueError.
TdrTransform parse_tdr_transform(std::string_view text) {
    std::string folded(text);
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    if (folded == "log") return TdrTransform::Log;
    if (folded == "inv_sqrt" || folded == "inv-sqrt" || folded == "invsqrt") return TdrTransform::InvSqrt;
    raise(PyExc_ValueError, "unknown TDR transform '" + folded + "', expected 'log' or 'inv_sqrt'");
}

BuildOptions make_options(std::optional<double> quad_tolerance, std::optional<double> ppf_tolerance,
                          std::optional<std::uint32_t> max_iterations, bool use_newton,
                          std::optional<std::uint64_t> hermite_grid_size, std::optional<std::string> tdr_transform,
                          std::optional<std::uint64_t> tdr_construction_points,
                          std::optional<double> tdr_dpdf_rel_step) {
    BuildOptions options;
    options.quad_tolerance = quad_tolerance.value_or(options.quad_tolerance);
    options.ppf_tolerance = ppf_tolerance.value_or(options.ppf_tolerance);
    options.max_iterations = max_iterations.value_or(options.max_iterations);
    options.use_newton = use_newton;
    options.tdr_construction_points = tdr_construction_points.value_or(options.tdr_construction_points);
    options.tdr_dpdf_rel_step = tdr_dpdf_rel_step.value_or(options.tdr_dpdf_rel_step);
    // A grid size decides the mode; the transform text is then never parsed.
    if (hermite_grid_size) options.hermite_grid_size = hermite_grid_size;
    else if (tdr_transform) options.tdr_transform = parse_tdr_transform(*tdr_transform);
    return options;
}

BuildOptions hermite_options(std::uint64_t grid_size) { return BuildOptions::hermite(grid_size); }

BuildOptions tdr_options(std::string transform, std::optional<std::uint64_t> construction_points) {
    const TdrTransform parsed = parse_tdr_transform(transform);
    return BuildOptions::tdr(parsed, construction_points.value_or(default_tdr_construction_points));
}

// The constructor's arguments that rebuild these options exactly (for pickling
// in the package).
std::tuple<double, double, std::uint64_t, bool, std::optional<std::uint64_t>, std::optional<std::string>,
           std::uint64_t, double>
options_fields(const BuildOptions& o) {
    std::optional<std::string> transform;
    if (!o.hermite_grid_size && o.tdr_transform) transform = *o.tdr_transform == TdrTransform::Log ? "log" : "inv_sqrt";
    return {o.quad_tolerance, o.ppf_tolerance, o.max_iterations, o.use_newton, o.hermite_grid_size, transform,
            o.tdr_construction_points, o.tdr_dpdf_rel_step};
}

PyMethodDef options_methods[] = {
    method<"_fields($self)", options_fields>(),
    static_method<BuildOptions, "hermite(grid_size)", hermite_options>(),
    static_method<BuildOptions, "tdr(transform, construction_points=None)", tdr_options>(),
    {},
};

// ---------------------------------------------------------------------------
// ContinuousDistribution

double cdf(const ContinuousDistributionObject& d, double x) {
    return d.visit([&](const auto& s) { return s.cdf(x); });
}
double sf(const ContinuousDistributionObject& d, double x) {
    return d.visit([&](const auto& s) { return s.sf(x); });
}
std::optional<double> pdf(const ContinuousDistributionObject& d, double x) {
    return d.visit([&](const auto& s) { return s.pdf(x); });
}
std::optional<double> logpdf(const ContinuousDistributionObject& d, double x) {
    return d.visit([&](const auto& s) { return s.logpdf(x); });
}
double logcdf(const ContinuousDistributionObject& d, double x) {
    return d.visit([&](const auto& s) { return s.logcdf(x); });
}
double logsf(const ContinuousDistributionObject& d, double x) {
    return d.visit([&](const auto& s) { return s.logsf(x); });
}
std::expected<double, SampleError> ppf(const ContinuousDistributionObject& d, double u) {
    return d.visit([&](const auto& s) { return s.ppf(u); });
}
std::expected<double, SampleError> isf(const ContinuousDistributionObject& d, double q) { return ppf(d, 1.0 - q); }
std::expected<double, SampleError> sample(const ContinuousDistributionObject& d) {
    return d.visit([&](const auto& s) { return s.sample(ThreadRng::current()); });
}
Ref sample_n(const ContinuousDistributionObject& d, std::uint64_t n, std::optional<std::uint64_t> seed) {
    return d.visit([&](const auto& s) { return sample_list(s, n, seed); });
}
Ref sample_buffer(const ContinuousDistributionObject& d, std::uint64_t n, std::optional<std::uint64_t> seed) {
    return d.visit([&](const auto& s) { return drovik::py::sample_buffer(s, n, seed); });
}
Interval support(const ContinuousDistributionObject& d) {
    return d.visit([](const auto& s) { return s.support(); });
}
bool uses_tdr(const ContinuousDistributionObject& d) {
    return d.visit([](const auto& s) { return s.uses_tdr(); });
}
bool uses_hermite_table(const ContinuousDistributionObject& d) {
    return d.visit([](const auto& s) { return s.uses_hermite_table(); });
}

std::expected<double, SampleError> mean(const ContinuousDistributionObject& d) {
    return d.visit([](const auto& s) { return drovik::mean(s); });
}
std::expected<double, SampleError> var(const ContinuousDistributionObject& d) {
    return d.visit([](const auto& s) { return variance(s); });
}
std::expected<double, SampleError> std_deviation(const ContinuousDistributionObject& d) {
    return d.visit([](const auto& s) { return std_dev(s); });
}
std::expected<double, SampleError> median(const ContinuousDistributionObject& d) {
    return d.visit([](const auto& s) { return drovik::median(s); });
}
std::expected<double, SampleError> entropy(const ContinuousDistributionObject& d) {
    return d.visit([](const auto& s) { return drovik::entropy(s); });
}
std::expected<std::pair<double, double>, SampleError> interval(const ContinuousDistributionObject& d,
                                                               double confidence) {
    return d.visit([&](const auto& s) { return central_interval(s, confidence); });
}
std::expected<double, SampleError> expect(const ContinuousDistributionObject& d, Callable func) {
    const PyFloatFn g(func.object);
    return d.visit([&](const auto& s) { return drovik::expect(s, g); });
}

PyMethodDef distribution_methods[] = {
    method<"support($self)", support>(),
    method<"sample($self)", sample>(),
    method<"sample_n($self, n, seed=None)", sample_n>(),
    method<"_sample_buffer($self, n, seed=None)", sample_buffer>(),
    method<"cdf($self, x)", cdf>(),
    method<"pdf($self, x)", pdf>(),
    method<"ppf($self, u)", ppf>(),
    method<"sf($self, x)", sf>(),
    method<"isf($self, q)", isf>(),
    method<"logpdf($self, x)", logpdf>(),
    method<"logcdf($self, x)", logcdf>(),
    method<"logsf($self, x)", logsf>(),
    method<"mean($self)", mean>(),
    method<"var($self)", var>(),
    method<"std($self)", std_deviation>(),
    method<"median($self)", median>(),
    method<"entropy($self)", entropy>(),
    method<"interval($self, confidence)", interval>(),
    method<"expect($self, func)", expect>(),
    method<"uses_hermite_table($self)", uses_hermite_table>(),
    method<"uses_tdr($self)", uses_tdr>(),
    {},
};

// ---------------------------------------------------------------------------
// Factories

// None selects the defaults: plain inversion.
BuildOptions options_or_default(const std::optional<BuildOptions>& options) {
    return options.value_or(BuildOptions{});
}

template <class Sampler>
std::expected<ContinuousDistributionObject, BuildError> wrap(std::expected<Sampler, BuildError> built,
                                                             std::vector<std::shared_ptr<const PyCallable>> callables) {
    if (!built) return std::unexpected(built.error());
    return ContinuousDistributionObject{std::move(*built), {std::move(callables)}};
}

// A derived density (histogram, location-scale, truncated) over its own support.
template <class P>
std::expected<ContinuousDistributionObject, BuildError> from_density(
    std::expected<P, BuildError> density, const BuildOptions& options,
    std::vector<std::shared_ptr<const PyCallable>> callables) {
    if (!density) return std::unexpected(density.error());
    const Support s = density->support();
    return wrap(sampler_from_pdf(std::move(*density), s.lo, s.hi, options), std::move(callables));
}

std::expected<ContinuousDistributionObject, BuildError> build_from_pdf(Callable f, Interval interval,
                                                                       const BuildOptions& options) {
    auto density = make_float_fn(f.object);
    return wrap(sampler_from_pdf(UserPdf{density, interval}, interval.lo, interval.hi, options), {density});
}

std::expected<ContinuousDistributionObject, BuildError> build_from_cdf(Callable f, Interval interval,
                                                                       const BuildOptions& options) {
    auto function = make_float_fn(f.object);
    return wrap(sampler_from_cdf(UserCdf{function, interval}, interval.lo, interval.hi, options), {function});
}

std::expected<ContinuousDistributionObject, BuildError> from_pdf(Callable f, Interval interval) {
    return build_from_pdf(f, interval, BuildOptions{});
}

std::expected<ContinuousDistributionObject, BuildError> from_pdf_with_options(Callable f, Interval interval,
                                                                              BuildOptions options) {
    return build_from_pdf(f, interval, options);
}

std::expected<ContinuousDistributionObject, BuildError> from_pdf_dpdf(Callable f, Callable dpdf, Interval interval,
                                                                      std::optional<BuildOptions> options) {
    auto density = make_float_fn(f.object);
    auto derivative = make_float_fn(dpdf.object);
    return wrap(sampler_from_pdf_with_dpdf(UserPdf{density, interval}, UserDpdf{derivative, interval}, interval.lo,
                                           interval.hi, options_or_default(options)),
                {density, derivative});
}

std::expected<ContinuousDistributionObject, BuildError> from_cdf(Callable f, Interval interval) {
    return build_from_cdf(f, interval, BuildOptions{});
}

std::expected<ContinuousDistributionObject, BuildError> from_cdf_with_options(Callable f, Interval interval,
                                                                              BuildOptions options) {
    return build_from_cdf(f, interval, options);
}

std::expected<ContinuousDistributionObject, BuildError> from_histogram(Sequence edges, Sequence counts, bool density,
                                                                       std::optional<BuildOptions> options) {
    std::vector<double> edge_values = extract_f64_list(edges.object);
    std::vector<double> count_values = extract_f64_list(counts.object);
    return from_density(HistogramPdf::create(std::move(edge_values), std::move(count_values), density),
                        options_or_default(options), {});
}

std::expected<ContinuousDistributionObject, BuildError> from_pdf_loc_scale(Callable f, Interval interval, double loc,
                                                                           double scale,
                                                                           std::optional<BuildOptions> options) {
    auto density = make_float_fn(f.object);
    return from_density(LocScalePdf::create(UserPdf{density, interval}, loc, scale), options_or_default(options),
                        {density});
}

std::expected<ContinuousDistributionObject, BuildError> truncated(Callable f, Interval interval,
                                                                  Interval trunc_interval,
                                                                  std::optional<BuildOptions> options) {
    auto density = make_float_fn(f.object);
    return from_density(Truncated::create(UserPdf{density, interval}, trunc_interval.lo, trunc_interval.hi),
                        options_or_default(options), {density});
}

PyMethodDef factories[] = {
    function<"from_pdf(f, interval)", from_pdf>(),
    function<"from_pdf_with_options(f, interval, options)", from_pdf_with_options>(),
    function<"from_pdf_dpdf(f, dpdf, interval, options=None)", from_pdf_dpdf>(),
    function<"from_cdf(f, interval)", from_cdf>(),
    function<"from_cdf_with_options(f, interval, options)", from_cdf_with_options>(),
    function<"from_histogram(edges, counts, density=False, options=None)", from_histogram>(),
    function<"from_pdf_loc_scale(f, interval, loc, scale, options=None)", from_pdf_loc_scale>(),
    function<"truncated(f, interval, trunc_interval, options=None)", truncated>(),
    {},
};

}  // namespace

void register_continuous(PyObject* module) {
    add_class<Interval>(module, {.name = "Interval",
                                 .constructor = constructor<"Interval(lo, hi)", make_interval>(),
                                 .getters = interval_properties,
                                 .repr = repr<interval_repr>()});
    add_class<BuildOptions>(
        module, {.name = "BuildOptions",
                 .constructor = constructor<"BuildOptions(quad_tolerance=None, ppf_tolerance=None, max_iterations=None, "
                                            "use_newton=True, hermite_grid_size=None, tdr_transform=None, "
                                            "tdr_construction_points=None, tdr_dpdf_rel_step=None)",
                                            make_options>(),
                 .methods = options_methods});
    add_class<ContinuousDistributionObject>(module,
                                            {.name = "ContinuousDistribution", .methods = distribution_methods});
    add_functions(module, factories);
    register_inverse_polynomial<ContinuousDistributionObject>(module);
}

}  // namespace drovik::py
