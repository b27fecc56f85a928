// Build options of a continuous distribution and its one sampling mode.
#pragma once

#include <cstdint>
#include <new>
#include <optional>

namespace drovik {

enum class TdrTransform : std::uint8_t { Log, InvSqrt };

// Defaults of the options. Some hold where no option reaches: statistics and a
// truncation's mass integrate with the quadrature tolerance, a TDR-backed
// distribution inverts with the inversion tolerance and budget, and a TDR hat
// always tries up to the default number of candidates.
inline constexpr double default_quad_tolerance = 1e-10;
inline constexpr double default_ppf_tolerance = 1e-12;
inline constexpr std::uint32_t default_max_iterations = 128;
inline constexpr std::uint64_t default_tdr_construction_points = 30;
inline constexpr std::uint64_t default_tdr_max_trials = 100000;

struct BuildOptions {
    double quad_tolerance = default_quad_tolerance;
    double ppf_tolerance = default_ppf_tolerance;
    std::uint32_t max_iterations = default_max_iterations;
    bool use_newton = true;
    std::optional<std::uint64_t> hermite_grid_size;
    std::optional<TdrTransform> tdr_transform;
    std::uint64_t tdr_construction_points = default_tdr_construction_points;
    double tdr_dpdf_rel_step = 1e-4;
    std::uint64_t tdr_max_trials = default_tdr_max_trials;

    enum class Mode : std::uint8_t { Inversion, HermiteTable, Tdr };

    // A grid size wins over a transform.
    Mode mode() const {
        if (hermite_grid_size) return Mode::HermiteTable;
        if (tdr_transform) return Mode::Tdr;
        return Mode::Inversion;
    }

    // A table or hat of the size asked for could not be held by any memory: fail
    // as an allocation (MemoryError in Python) before any density call.
    void check_table_sizes() const {
        constexpr std::uint64_t max_entries = std::uint64_t{1} << 56;  // 64 bytes an entry fill the address space
        if ((mode() == Mode::HermiteTable && *hermite_grid_size > max_entries) ||
            (mode() == Mode::Tdr && tdr_construction_points > max_entries))
            throw std::bad_alloc();
    }

    static BuildOptions hermite(std::uint64_t grid_size) {
        BuildOptions options;
        options.hermite_grid_size = grid_size;
        return options;
    }

    static BuildOptions tdr(TdrTransform transform,
                            std::uint64_t construction_points = default_tdr_construction_points) {
        BuildOptions options;
        options.tdr_transform = transform;
        options.tdr_construction_points = construction_points;
        return options;
    }
};

}  // namespace drovik
