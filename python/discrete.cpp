// DiscreteDistribution and from_pmf.
//
//   dist = from_pmf([1.0, 2.0, 3.0], [0.2, 0.5, 0.3])
//   dist.ppf(0.5), dist.sample_n(10, seed=1), dist.mean()
#include "discrete.hpp"

#include "toolkit.hpp"
#include "discrete/custom.hpp"

namespace drovik::py {

template <>
struct ModuleClass<DiscreteSampler> : std::true_type {};

namespace {

std::uint64_t len(const DiscreteSampler& d) { return d.len(); }
std::vector<double> points(const DiscreteSampler& d) { return d.points(); }
double pmf(const DiscreteSampler& d, double x) { return d.pmf(x); }
double pmf_at(const DiscreteSampler& d, std::uint64_t index) { return d.pmf_at(index); }
double cdf_at(const DiscreteSampler& d, std::uint64_t index) { return d.cdf_at(index); }
std::expected<double, SampleError> ppf(const DiscreteSampler& d, double u) { return d.ppf(u); }
double mean(const DiscreteSampler& d) { return d.mean(); }
double var(const DiscreteSampler& d) { return d.var(); }
double std_dev(const DiscreteSampler& d) { return d.std(); }
std::expected<double, SampleError> sample(const DiscreteSampler& d) { return d.sample(ThreadRng::current()); }

Ref sample_n(const DiscreteSampler& d, std::uint64_t n, std::optional<std::uint64_t> seed) {
    return sample_list(d, n, seed);
}

Ref sample_into_buffer(const DiscreteSampler& d, std::uint64_t n, std::optional<std::uint64_t> seed) {
    return sample_buffer(d, n, seed);
}

std::expected<DiscreteSampler, BuildError> from_pmf(Sequence points, Sequence masses) {
    // Both arguments were checked to be sequences before either is read.
    std::vector<double> xs = extract_f64_list(points.object);
    std::vector<double> ps = extract_f64_list(masses.object);
    return DiscreteSampler::from_pmf(std::move(xs), std::move(ps));
}

PyMethodDef discrete_methods[] = {
    method<"len($self)", len>(),
    method<"points($self)", points>(),
    method<"pmf($self, x)", pmf>(),
    method<"pmf_at($self, index)", pmf_at>(),
    method<"cdf_at($self, index)", cdf_at>(),
    method<"ppf($self, u)", ppf>(),
    method<"mean($self)", mean>(),
    method<"var($self)", var>(),
    method<"std($self)", std_dev>(),
    method<"sample($self)", sample>(),
    method<"sample_n($self, n, seed=None)", sample_n>(),
    method<"_sample_buffer($self, n, seed=None)", sample_into_buffer>(),
    {},
};

PyMethodDef from_pmf_def = function<"from_pmf(points, pmf)", from_pmf>();

}  // namespace

void register_discrete(PyObject* module) {
    add_class<DiscreteSampler>(module, {.name = "DiscreteDistribution", .methods = discrete_methods});
    add_function(module, &from_pmf_def);
}

}  // namespace drovik::py
