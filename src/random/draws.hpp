// Collecting draws: n draws in sequence, the first failure ends the call.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <vector>

namespace drovik {

template <class Draw>
auto draw_into(std::span<double> out, Draw&& draw)
    -> std::expected<void, typename decltype(draw())::error_type> {
    for (double& slot : out) {
        auto drawn = draw();
        if (!drawn) return std::unexpected(drawn.error());
        slot = *drawn;
    }
    return {};
}

template <class Draw>
auto draw_n(std::uint64_t n, Draw&& draw)
    -> std::expected<std::vector<double>, typename decltype(draw())::error_type> {
    std::vector<double> out(n);
    if (auto filled = draw_into(out, draw); !filled) return std::unexpected(filled.error());
    return out;
}

}  // namespace drovik
