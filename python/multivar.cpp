// HyperRect and the multivariate samplers over it.
//
//   box = HyperRect([-3.0, -3.0], [3.0, 3.0])
//   rejection_sampler(f, box, pdf_max=1.0).sample_n(1000, seed=1)
//   chain = metropolis_hastings(f, box); chain.init(); chain.sample_n(1000, seed=1)
//   hmc = hmc_sampler(f, box); hmc.init(); hmc.sample_n(100, seed=1)
//   gibbs_sampler(lambda i, x: draw_coordinate(i, x), box, [0.0, 0.0]).step()
//   conditional_factorization_sampler(lambda i, prefix: draw(i, prefix), 2).sample_n(10)
//   gaussian_copula([[1.0, 0.5], [0.5, 1.0]]).sample([ppf_x, ppf_y], seed=1)
//   cdf_mc_estimator(f, box).cdf([0.0, 0.5], seed=1)
#include "multivar.hpp"

#include <optional>

#include "callable.hpp"
#include "multivar/cdf_mc.hpp"
#include "multivar/copula.hpp"
#include "multivar/factor.hpp"
#include "multivar/gibbs.hpp"
#include "multivar/hmc.hpp"
#include "multivar/mcmc.hpp"
#include "multivar/rejection.hpp"
#include "multivar/support.hpp"
#include "toolkit.hpp"

namespace drovik::py {

namespace {

// Each sampler with the user callables it holds; the two chains keep state
// between calls and stay on the thread that made them.
struct RejectionObject {
    RejectionSamplerNd sampler;
    Callables callables;
};

struct MetropolisHastingsObject {
    MetropolisHastingsNd chain;
    Callables callables;
    static constexpr bool thread_bound = true;
};

struct HmcObject {
    HmcSamplerNd chain;
    Callables callables;
    static constexpr bool thread_bound = true;
};

struct GibbsObject {
    GibbsSamplerNd chain;
    Callables callables;
    static constexpr bool thread_bound = true;
};

struct FactorizationObject {
    ConditionalFactorSampler sampler;
    Callables callables;
};

struct CdfEstimatorObject {
    CdfMcEstimator estimator;
    Callables callables;
    static constexpr bool thread_bound = true;
};

}  // namespace

template <>
struct ModuleClass<HyperRect> : std::true_type {};
template <>
struct ModuleClass<RejectionObject> : std::true_type {};
template <>
struct ModuleClass<MetropolisHastingsObject> : std::true_type {};
template <>
struct ModuleClass<HmcObject> : std::true_type {};
template <>
struct ModuleClass<GibbsObject> : std::true_type {};
template <>
struct ModuleClass<FactorizationObject> : std::true_type {};
template <>
struct ModuleClass<GaussianCopula> : std::true_type {};
template <>
struct ModuleClass<CdfEstimatorObject> : std::true_type {};

namespace {

using Seed = std::optional<std::uint64_t>;

// A user density over the box, and the holder that keeps it for the collector.
struct Density {
    std::shared_ptr<const PyNdFn> function;
    Callables held() const { return {{function}}; }
};

Density density_for(Callable f, const HyperRect& support) { return {make_nd_fn(f.object, support.dim())}; }

template <class Object, class Core, class E>
std::expected<Object, E> hold(std::expected<Core, E> built, Callables callables) {
    if (!built) return std::unexpected(built.error());
    return Object{std::move(*built), std::move(callables)};
}

// ---------------------------------------------------------------------------
// HyperRect

std::expected<HyperRect, BuildError> make_hyper_rect(Sequence lo, Sequence hi) {
    // Both were checked to be sequences before either is read.
    std::vector<double> lo_values = lo.doubles();
    std::vector<double> hi_values = hi.doubles();
    return HyperRect::create(std::move(lo_values), std::move(hi_values));
}

std::uint64_t box_dim(const HyperRect& box) { return box.dim(); }
std::vector<double> box_lo(const HyperRect& box) { return box.lo(); }
std::vector<double> box_hi(const HyperRect& box) { return box.hi(); }

PyMethodDef hyper_rect_methods[] = {
    method<"dim($self)", box_dim>(),
    method<"lo($self)", box_lo>(),
    method<"hi($self)", box_hi>(),
    {},
};

// ---------------------------------------------------------------------------
// RejectionSampler

std::uint64_t rejection_dim(const RejectionObject& s) { return s.sampler.dim(); }
double rejection_pdf_max(const RejectionObject& s) { return s.sampler.pdf_max(); }
std::expected<std::vector<double>, SampleError> rejection_sample(const RejectionObject& s) {
    return s.sampler.sample();
}
Ref rejection_sample_n(const RejectionObject& s, std::uint64_t n, Seed seed) {
    return sample_point_list(s.sampler, n, seed);
}
Ref rejection_sample_buffer(const RejectionObject& s, std::uint64_t n, Seed seed) {
    return sample_point_buffer(s.sampler, s.sampler.dim(), n, seed);
}

PyMethodDef rejection_methods[] = {
    method<"dim($self)", rejection_dim>(),
    method<"pdf_max($self)", rejection_pdf_max>(),
    method<"sample($self)", rejection_sample>(),
    method<"sample_n($self, n, seed=None)", rejection_sample_n>(),
    method<"_sample_buffer($self, n, seed=None)", rejection_sample_buffer>(),
    {},
};

std::expected<RejectionObject, BuildError> rejection_sampler(Callable f, HyperRect support, double pdf_max,
                                                             std::uint64_t max_trials) {
    const Density density = density_for(f, support);
    return hold<RejectionObject>(RejectionSamplerNd::create(density.function, std::move(support), pdf_max, max_trials),
                                 density.held());
}

// ---------------------------------------------------------------------------
// MetropolisHastings

std::expected<void, SampleError> mh_init(MetropolisHastingsObject& s) { return s.chain.init(); }
std::expected<std::span<const double>, SampleError> mh_step(MetropolisHastingsObject& s) { return s.chain.step(); }
std::expected<std::vector<double>, SampleError> mh_sample(MetropolisHastingsObject& s) { return s.chain.sample(); }
Ref mh_sample_n(MetropolisHastingsObject& s, std::uint64_t n, Seed seed) {
    return with_rng(seed, [&](ChachaRng& rng) {
        return sampled_point_list(n, [&] { return s.chain.burn_in(rng); }, [&] { return s.chain.thinned_point(rng); });
    });
}
Ref mh_sample_buffer(MetropolisHastingsObject& s, std::uint64_t n, Seed seed) {
    return with_rng(seed, [&](ChachaRng& rng) {
        return sampled_point_buffer(
            n, s.chain.support().dim(), [&] { return s.chain.burn_in(rng); },
            [&] { return s.chain.thinned_point(rng); });
    });
}
double mh_accept_rate(const MetropolisHastingsObject& s) { return s.chain.accept_rate(); }

PyMethodDef mh_methods[] = {
    method<"init($self)", mh_init>(),
    method<"step($self)", mh_step>(),
    method<"sample($self)", mh_sample>(),
    method<"sample_n($self, n, seed=None)", mh_sample_n>(),
    method<"_sample_buffer($self, n, seed=None)", mh_sample_buffer>(),
    method<"accept_rate($self)", mh_accept_rate>(),
    {},
};

std::expected<MetropolisHastingsObject, BuildError> metropolis_hastings(Callable f, HyperRect support,
                                                                        double step_size, std::uint64_t burn_in,
                                                                        std::uint64_t thin, double target_accept,
                                                                        std::uint64_t adapt_steps) {
    MetropolisHastingsParams params;
    params.step_size = step_size;
    params.burn_in = burn_in;
    params.thin = thin;
    params.target_accept = target_accept;
    params.adapt_steps = adapt_steps;
    const Density density = density_for(f, support);
    return hold<MetropolisHastingsObject>(MetropolisHastingsNd::create(density.function, std::move(support), params),
                                          density.held());
}

// ---------------------------------------------------------------------------
// HmcSampler

std::expected<void, SampleError> hmc_init(HmcObject& s) { return s.chain.init(); }
std::expected<std::vector<double>, SampleError> hmc_sample(HmcObject& s) { return s.chain.sample(); }
Ref hmc_sample_n(HmcObject& s, std::uint64_t n, Seed seed) {
    return sample_point_list(s.chain, n, seed);
}
double hmc_accept_rate(const HmcObject& s) { return s.chain.accept_rate(); }
Ref hmc_sample_buffer(HmcObject& s, std::uint64_t n, Seed seed) {
    return sample_point_buffer(s.chain, s.chain.support().dim(), n, seed);
}

PyMethodDef hmc_methods[] = {
    method<"init($self)", hmc_init>(),
    method<"sample($self)", hmc_sample>(),
    method<"sample_n($self, n, seed=None)", hmc_sample_n>(),
    method<"_sample_buffer($self, n, seed=None)", hmc_sample_buffer>(),
    method<"_accept_rate($self)", hmc_accept_rate>(),
    {},
};

std::expected<HmcObject, BuildError> hmc_sampler(Callable f, HyperRect support, double step_size,
                                                 std::uint64_t leapfrog_steps, double grad_eps) {
    HmcParams params;
    params.step_size = step_size;
    params.leapfrog_steps = leapfrog_steps;
    params.grad_eps = grad_eps;
    const Density density = density_for(f, support);
    return hold<HmcObject>(HmcSamplerNd::create(density.function, std::move(support), params), density.held());
}

// ---------------------------------------------------------------------------
// GibbsSampler

std::vector<double> gibbs_step(GibbsObject& s) { return s.chain.step(ThreadRng::current()); }
std::vector<double> gibbs_sample(GibbsObject& s) { return s.chain.sample(); }

PyMethodDef gibbs_methods[] = {
    method<"sample($self)", gibbs_sample>(),
    method<"step($self)", gibbs_step>(),
    {},
};

std::expected<GibbsObject, SampleError> gibbs_sampler(Callable sample_coord, HyperRect support, Sequence init,
                                                      std::uint64_t sweeps_per_sample) {
    // Read only now, after every argument was checked.
    std::vector<double> start = init.doubles();
    auto conditional = std::make_shared<const PyConditionalCoord>(sample_coord.object);
    return hold<GibbsObject>(
        GibbsSamplerNd::create(conditional, std::move(support), sweeps_per_sample, std::move(start)),
        Callables{{conditional}});
}

// ---------------------------------------------------------------------------
// ConditionalFactorizationSampler

std::expected<std::vector<double>, SampleError> factorization_sample(const FactorizationObject& s) {
    return s.sampler.sample();
}
Ref factorization_sample_n(const FactorizationObject& s, std::uint64_t n, Seed seed) {
    return sample_point_list(s.sampler, n, seed);
}
Ref factorization_sample_buffer(const FactorizationObject& s, std::uint64_t n, Seed seed) {
    return sample_point_buffer(s.sampler, s.sampler.dim(), n, seed);
}

PyMethodDef factorization_methods[] = {
    method<"sample($self)", factorization_sample>(),
    method<"sample_n($self, n, seed=None)", factorization_sample_n>(),
    method<"_sample_buffer($self, n, seed=None)", factorization_sample_buffer>(),
    {},
};

FactorizationObject conditional_factorization_sampler(Callable sample_i, std::uint64_t dim) {
    auto factors = std::make_shared<const PyFactorFn>(sample_i.object, static_cast<std::size_t>(dim));
    return FactorizationObject{ConditionalFactorSampler(factors), Callables{{factors}}};
}

// ---------------------------------------------------------------------------
// GaussianCopula

std::uint64_t copula_dim(const GaussianCopula& c) { return c.dim(); }
std::expected<std::vector<double>, SampleError> copula_sample(const GaussianCopula& c, std::vector<Ref> ppfs,
                                                              Seed seed) {
    // The quantile functions live for this one draw only: one allocation for
    // all d adapters, made in place.
    std::vector<std::optional<PyPpfFn>> adapters(ppfs.size());
    std::vector<const QuantileFunction*> pointers(ppfs.size());
    for (std::size_t i = 0; i < ppfs.size(); ++i) pointers[i] = &adapters[i].emplace(ppfs[i].get());
    return with_rng(seed, [&](ChachaRng& rng) { return c.sample_with_ppfs(rng, pointers); });
}

PyMethodDef copula_methods[] = {
    method<"dim($self)", copula_dim>(),
    method<"sample($self, ppfs, seed=None)", copula_sample>(),
    {},
};

std::expected<GaussianCopula, CopulaError> gaussian_copula(std::vector<std::vector<double>> corr) {
    return GaussianCopula::create(std::move(corr));
}

// ---------------------------------------------------------------------------
// CdfMcEstimator

std::expected<double, SampleError> estimate_normalization(CdfEstimatorObject& s, Seed seed) {
    return with_rng(seed, [&](ChachaRng& rng) { return s.estimator.estimate_normalization_with_rng(rng); });
}
std::expected<double, SampleError> cdf_estimate(CdfEstimatorObject& s, Sequence x, Seed seed) {
    const std::vector<double> point = x.doubles();
    return with_rng(seed, [&](ChachaRng& rng) { return s.estimator.cdf_with_rng(point, rng); });
}

PyMethodDef cdf_methods[] = {
    method<"estimate_normalization($self, seed=None)", estimate_normalization>(),
    method<"cdf($self, x, seed=None)", cdf_estimate>(),
    {},
};

std::expected<CdfEstimatorObject, BuildError> cdf_mc_estimator(Callable f, HyperRect support,
                                                               std::uint64_t normalization_samples,
                                                               std::uint64_t cdf_samples) {
    const Density density = density_for(f, support);
    return hold<CdfEstimatorObject>(
        CdfMcEstimator::create(density.function, std::move(support), normalization_samples, cdf_samples),
        density.held());
}

PyMethodDef factories[] = {
    function<"rejection_sampler(f, support, pdf_max, max_trials=100000)", rejection_sampler>(),
    function<"metropolis_hastings(f, support, step_size=0.25, burn_in=1000, thin=1, target_accept=0.25, "
             "adapt_steps=2000)",
             metropolis_hastings>(),
    function<"hmc_sampler(f, support, step_size=0.05, leapfrog_steps=20, grad_eps=1e-6)", hmc_sampler>(),
    function<"gibbs_sampler(sample_coord, support, init, sweeps_per_sample=1)", gibbs_sampler>(),
    function<"conditional_factorization_sampler(sample_i, dim)", conditional_factorization_sampler>(),
    function<"gaussian_copula(corr)", gaussian_copula>(),
    function<"cdf_mc_estimator(f, support, normalization_samples=50000, cdf_samples=50000)", cdf_mc_estimator>(),
    {},
};

}  // namespace

void register_multivar(PyObject* module) {
    add_class<HyperRect>(module, {.name = "HyperRect",
                                  .constructor = constructor<"HyperRect(lo, hi)", make_hyper_rect>(),
                                  .methods = hyper_rect_methods});
    add_class<RejectionObject>(module, {.name = "RejectionSampler", .methods = rejection_methods});
    add_class<MetropolisHastingsObject>(module, {.name = "MetropolisHastings", .methods = mh_methods});
    add_class<HmcObject>(module, {.name = "HmcSampler", .methods = hmc_methods});
    add_class<GibbsObject>(module, {.name = "GibbsSampler", .methods = gibbs_methods});
    add_class<FactorizationObject>(
        module, {.name = "ConditionalFactorizationSampler", .methods = factorization_methods});
    add_class<GaussianCopula>(module, {.name = "GaussianCopula", .methods = copula_methods});
    add_class<CdfEstimatorObject>(module, {.name = "CdfMcEstimator", .methods = cdf_methods});
    add_functions(module, factories);
}

}  // namespace drovik::py
