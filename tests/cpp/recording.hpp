// Fakes of the core tests: functions of one double that record or count where
// they are read.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "continuous/interfaces.hpp"

namespace drovik {

using Fn = std::function<double(double)>;
using Points = std::vector<double>;

// A density, distribution function or derivative over a support that records
// every point it is read at, in order. A reading at NaN is a fault in itself:
// the code under test guards every evaluation against a NaN abscissa.
struct Recorder {
    Fn f;
    Support s{};
    mutable Points at{};
    double operator()(double x) const {
        if (std::isnan(x)) ADD_FAILURE() << "evaluated at NaN";
        at.push_back(x);
        return f(x);
    }
    double pdf(double x) const { return (*this)(x); }
    double cdf(double x) const { return (*this)(x); }
    double dpdf(double x) const { return (*this)(x); }
    Support support() const { return s; }
};

// Counts its calls only, for integrands read millions of times.
struct Counter {
    double (*f)(double);
    long calls = 0;
    double operator()(double x) {
        ++calls;
        return f(x);
    }
};

}  // namespace drovik
