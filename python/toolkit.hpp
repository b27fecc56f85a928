// The binding toolkit: every class and function of the module is declared as
// a table of text signatures and plain C++ callables; these headers turn
// those tables into type objects and do argument binding, conversion, borrow
// flags, thread binding, result conversion and the panic guard in one place.
//
// A method is `method<"name($self, a, b=None)", impl>()`, where impl takes the
// core object (const& for a shared borrow, & for an exclusive one) followed
// by one parameter per signature parameter; a module function is
// `function<"name(a, b)", impl>()`. The parameter's C++ type is its conversion
// kind (double, std::uint64_t, std::uint32_t, bool, std::string, std::optional<T>,
// Sequence, Callable, std::vector of double / std::vector<double> / Ref, or a
// ModuleClass such as Interval); the result's type picks its conversion back.
// A class is one ClassTable: its name, constructor (or none), methods,
// properties and __repr__; add_class builds the type. Whether a class joins
// the cycle collector (a `callables` member) or is bound to its creating
// thread (`thread_bound`) is read off its core type.
//
//   refs.hpp       owned references, the pending-error unwind, the panic guard
//   signature.hpp  text signatures parsed and checked at compile time
//   convert.hpp    argument binding, argument kinds, result kinds, result lists
//   instance.hpp   instances, borrow flags, thread binding, the cycle collector
//   binding.hpp    trampolines, class tables, module registration
#pragma once

#include "toolkit/binding.hpp"
#include "toolkit/convert.hpp"
#include "toolkit/instance.hpp"
#include "toolkit/refs.hpp"
#include "toolkit/signature.hpp"
