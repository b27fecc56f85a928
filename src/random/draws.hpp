// Collecting draws: one draw per slot in sequence, the first failure ends the fill.
#pragma once

#include <expected>
#include <span>

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

}  // namespace drovik
