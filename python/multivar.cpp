// HyperRect and the multivariate samplers over it.
//
//   box = HyperRect([-3.0, -3.0], [3.0, 3.0])
//   rejection_sampler(f, box, pdf_max=1.0).sample_n(1000, seed=1)
//   chain = metropolis_hastings(f, box); chain.init(); chain.sample_n(1000, seed=1)
//   hmc = hmc_sampler(f, box); hmc.init(); hmc.sample_n(100, seed=1)
#include "multivar.hpp"

#include "callable.hpp"
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

}  // namespace

template <>
struct ModuleClass<HyperRect> : std::true_type {};
template <>
struct ModuleClass<RejectionObject> : std::true_type {};
template <>
struct ModuleClass<MetropolisHastingsObject> : std::true_type {};
template <>
struct ModuleClass<HmcObject> : std::true_type {};

namespace {

using Seed = std::optional<std::uint64_t>;

// A user density over the box, and the holder that keeps it for the collector.
struct Density {
    std::shared_ptr<const PyNdFn> function;
    Callables held() const { return {{function}}; }
};

Density density_for(Callable f, const HyperRect& support) { return {make_nd_fn(f.object, support.dim())}; }

template <class Object, class Core>
std::expected<Object, BuildError> hold(std::expected<Core, BuildError> built, const Density& density) {
    if (!built) return std::unexpected(built.error());
    return Object{std::move(*built), density.held()};
}

std::vector<double> copy_of(std::span<const double> point) { return {point.begin(), point.end()}; }

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
    return with_rng(seed, [&](ChachaRng& rng) {
        return sampled_point_list(n, [&] { return s.sampler.sample_with_rng(rng); });
    });
}

PyMethodDef rejection_methods[] = {
    method<"dim($self)", rejection_dim>(),
    method<"pdf_max($self)", rejection_pdf_max>(),
    method<"sample($self)", rejection_sample>(),
    method<"sample_n($self, n, seed=None)", rejection_sample_n>(),
    {},
};

std::expected<RejectionObject, BuildError> rejection_sampler(Callable f, HyperRect support, double pdf_max,
                                                             std::uint64_t max_trials) {
    const Density density = density_for(f, support);
    return hold<RejectionObject>(RejectionSamplerNd::create(density.function, std::move(support), pdf_max, max_trials),
                                 density);
}

// ---------------------------------------------------------------------------
// MetropolisHastings

std::expected<void, SampleError> mh_init(MetropolisHastingsObject& s) { return s.chain.init(); }
std::expected<std::vector<double>, SampleError> mh_step(MetropolisHastingsObject& s) {
    auto point = s.chain.step();
    if (!point) return std::unexpected(point.error());
    return copy_of(*point);
}
std::expected<std::vector<double>, SampleError> mh_sample(MetropolisHastingsObject& s) { return s.chain.sample(); }
Ref mh_sample_n(MetropolisHastingsObject& s, std::uint64_t n, Seed seed) {
    return with_rng(seed, [&](ChachaRng& rng) {
        return sampled_point_list(n, [&] { return s.chain.burn_in(rng); }, [&] { return s.chain.thinned_point(rng); });
    });
}
double mh_accept_rate(const MetropolisHastingsObject& s) { return s.chain.accept_rate(); }

PyMethodDef mh_methods[] = {
    method<"init($self)", mh_init>(),
    method<"step($self)", mh_step>(),
    method<"sample($self)", mh_sample>(),
    method<"sample_n($self, n, seed=None)", mh_sample_n>(),
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
                                          density);
}

// ---------------------------------------------------------------------------
// HmcSampler

std::expected<void, SampleError> hmc_init(HmcObject& s) { return s.chain.init(); }
std::expected<std::vector<double>, SampleError> hmc_sample(HmcObject& s) { return s.chain.sample(); }
Ref hmc_sample_n(HmcObject& s, std::uint64_t n, Seed seed) {
    return with_rng(seed, [&](ChachaRng& rng) {
        return sampled_point_list(n, [&] { return s.chain.sample_with_rng(rng); });
    });
}

PyMethodDef hmc_methods[] = {
    method<"init($self)", hmc_init>(),
    method<"sample($self)", hmc_sample>(),
    method<"sample_n($self, n, seed=None)", hmc_sample_n>(),
    {},
};

std::expected<HmcObject, BuildError> hmc_sampler(Callable f, HyperRect support, double step_size,
                                                 std::uint64_t leapfrog_steps, double grad_eps) {
    HmcParams params;
    params.step_size = step_size;
    params.leapfrog_steps = leapfrog_steps;
    params.grad_eps = grad_eps;
    const Density density = density_for(f, support);
    return hold<HmcObject>(HmcSamplerNd::create(density.function, std::move(support), params), density);
}

PyMethodDef factories[] = {
    function<"rejection_sampler(f, support, pdf_max, max_trials=100000)", rejection_sampler>(),
    function<"metropolis_hastings(f, support, step_size=0.25, burn_in=1000, thin=1, target_accept=0.25, "
             "adapt_steps=2000)",
             metropolis_hastings>(),
    function<"hmc_sampler(f, support, step_size=0.05, leapfrog_steps=20, grad_eps=1e-6)", hmc_sampler>(),
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
    add_functions(module, factories);
}

}  // namespace drovik::py
