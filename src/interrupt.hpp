// Long native loops that call no user code (a histogram's distribution function,
// a table built over it) poll for an interrupt every few thousand steps. The
// binding installs the check (for Python: a pending Ctrl-C), which unwinds the
// computation by throwing; with none installed, polling does nothing.
#pragma once

namespace drovik {

using InterruptCheck = void (*)();

void set_interrupt_check(InterruptCheck check);

namespace detail {
void run_interrupt_check();
inline thread_local unsigned interrupt_countdown = 0;
}  // namespace detail

// Cheap enough for every step of a loop: the check itself runs every 4096th call.
inline void poll_interrupt() {
    if (++detail::interrupt_countdown % 4096 == 0) detail::run_interrupt_check();
}

}  // namespace drovik
