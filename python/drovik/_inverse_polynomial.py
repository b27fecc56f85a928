"""Polynomial inversion: a quantile table with a measured u-error, built from a density alone."""

from . import _drovik

__all__ = ["from_pdf_inverse_polynomial", "u_error"]


def from_pdf_inverse_polynomial(pdf, interval, *, u_resolution=1e-10, order=5, center=None):
    """A ContinuousDistribution sampled through a table of Newton polynomials of its quantile function.

    pdf
        The density, a callable of one float; it need not be normalized. It must be
        finite and non-negative inside `interval`; at an end it may be infinite or fail
        (an integrable pole there is cut off with a mass below the resolution), and it
        may be zero on parts of the interval (gaps).
    interval
        The support, a `drovik.Interval`.
    u_resolution
        The largest u-error |F(ppf(u)) - u| the table may have, from 1e-13 to 1e-5.
    order
        The degree of the interpolating polynomial on each interval, from 3 to 17.
        Higher orders need fewer intervals for smooth densities.
    center
        A point of `interval` where the density is positive and large, such as the
        mode. When None, it is searched for over the interval (an even grid and
        points approaching the ends, the middle and 0, then a golden-section search
        around the best one); give it for a peak too narrow for that search to hit.

    The build integrates the density with an adaptive five-point Gauss-Lobatto rule
    over the interval split at the center, cuts each tail whose mass is below
    u_resolution / 20, and then interpolates the quantile function on intervals that
    are shortened until the u-error checked between the interpolation nodes is below
    0.7 * u_resolution. It costs a few thousand to a few tens of thousands of density
    calls, and none afterwards for draws and quantiles.

    The distribution's `ppf`, `isf`, `median`, `interval`, `sample` and `sample_n` use
    the table (one uniform per draw, so seeded draws are reproducible to the last
    bit); `cdf`, `sf`, `logcdf` and `logsf` add the integral of the density over part
    of one interval to the table's masses (a few density calls each); `pdf` and
    `logpdf` are the density divided by the table's mass; `mean`, `var`, `std`,
    `entropy` and `expect` integrate the density over the whole interval with the
    adaptive Simpson rule, like every other mode.

    Raises drovik.BuildError when the density is not finite and non-negative inside
    the interval or has no positive mass there, when u_resolution, order or center
    are out of range, or when the refinement cannot reach the resolution (a pole or
    gap the interpolation cannot resolve, or more than 20000 intervals needed); the
    message says what to try. TypeError for a pdf that is not callable or arguments
    of the wrong type.
    """
    if not callable(pdf):
        raise TypeError(f"pdf must be callable, not {type(pdf).__name__}")
    return _drovik._from_pdf_inverse_polynomial(pdf, interval, u_resolution, order, center)


def u_error(dist):
    """(max, mean) of the absolute u-error |F(ppf(u)) - u| of a table built by from_pdf_inverse_polynomial.

    The levels u are a fixed grid: 2 * order levels evenly spaced inside each interval
    of the table. F is integrated afresh from the interval's lower end, with other
    split points than the build used, and includes the tails the build cut off, so the
    estimate also sees the error that the masses of earlier intervals carry. It costs
    about as many density calls as the build. Raises ValueError for a distribution
    built otherwise.
    """
    return _drovik._u_error(dist)
