#include "interrupt.hpp"

#include <atomic>

namespace drovik {

namespace {
std::atomic<InterruptCheck> installed_check{nullptr};
}  // namespace

void set_interrupt_check(InterruptCheck check) { installed_check.store(check, std::memory_order_release); }

void detail::run_interrupt_check() {
    if (const InterruptCheck check = installed_check.load(std::memory_order_acquire)) check();
}

}  // namespace drovik
