#include "core/continuous/integrate.hpp"

#include <array>
#include <cmath>

#include "core/errors.hpp"

namespace varnix {

namespace {

struct Entry {
    double l;
    double r;
    double s;  // Simpson estimate of this interval made by its parent
};

// An interval is split only while at most 48 entries are pending below it, so the work stack
// never holds more than 50 entries: a fixed array serves, and integration never allocates.
constexpr std::size_t kMaxPending = 48;
constexpr std::size_t kStackCapacity = kMaxPending + 2;

// Total intervals one integration examines before it accepts whatever remains. Smooth or
// singular densities need a few hundred to a few thousand; only an integrand that never settles
// (noise, a non-deterministic function) comes near, and without the cap it would split about
// 2^49 intervals before the pending cap ends the work.
constexpr std::size_t kMaxExamined = std::size_t{1} << 18;

// A difference this small relative to the estimate is rounding noise: halving further cannot
// reduce it. The test is applied only where the absolute test alone gives no bounded end:
// for a limit that is not positive (a tolerance that is zero, negative or NaN), and once an
// integration has examined kRoundingAfter intervals (a tolerance tiny next to the integral,
// which the absolute test would meet only on intervals a few ulps wide). Every integration
// the absolute test ends within that many intervals is left exactly as it is.
constexpr double kRoundingLevel = 0x1p-50;
constexpr std::size_t kRoundingAfter = std::size_t{1} << 12;

}  // namespace

// Evaluation order is frozen (docs/architecture.md): every sum and product keeps the grouping
// below, the integrand is called in the listed order (the midpoint twice, values never
// reused), and accepted intervals are added left to right.
double adaptive_simpson(FunctionRef<double(double)> g, double a, double b, double tol) {
    if (a == b) return 0.0;
    if (a > b) return -adaptive_simpson(g, b, a, tol);

    const double m0 = (a + b) * 0.5;
    const double ga = g(a);
    const double gm = g(m0);
    const double gb = g(b);
    const double s0 = ((4.0 * gm + ga) + gb) * ((b - a) / 6.0);

    std::array<Entry, kStackCapacity> stack;
    std::size_t size = 0;
    stack[size++] = {a, b, s0};
    const double limit = 15.0 * tol;
    // Without a positive limit only the rounding-level test can end a subdivision early.
    std::size_t rounding_after = limit > 0.0 ? kRoundingAfter : 0;
    double acc = 0.0;
    std::size_t examined = 0;

    while (size > 0) {
        ++examined;
        const Entry e = stack[--size];
        const std::size_t pending = size;

        const double l = e.l;
        const double r = e.r;
        const double m = (l + r) * 0.5;
        const double lm = (l + m) * 0.5;
        const double rm = (r + m) * 0.5;

        const double gl = g(l);
        const double glm = g(lm);
        const double gm_left = g(m);
        const double gm_right = g(m);
        const double grm = g(rm);
        const double gr = g(r);

        const double s_left = ((m - l) / 6.0) * ((4.0 * glm + gl) + gm_left);
        const double s_right = ((r - m) / 6.0) * ((4.0 * grm + gm_right) + gr);
        const double d = s_left + s_right;
        const double diff = d - e.s;

        // Pending left halves are capped: with 49 or more entries below, accept unconditionally.
        // The rounding-level and examined-count tests only decide where the absolute test
        // could not end the work in bounded time, so that every integration ends.
        if (limit >= std::fabs(diff) || pending > kMaxPending ||
            (examined > rounding_after && std::fabs(diff) <= kRoundingLevel * std::fabs(d)) ||
            examined > kMaxExamined) {
            acc = acc + (d + diff / 15.0);
            continue;
        }

        // An interval whose midpoint is not strictly inside it (NaN or infinite bounds, or a
        // width of an ulp or two) cannot be halved any further: one of its halves is itself.
        // With a finite diff the copy's diff is exactly 0 and (for a tolerance >= 0) the
        // subdivision ends one round later, so it is split as usual. With a NaN diff the copy would be split forever (it is
        // a right half, which the pending cap never reaches): the subdivision cannot end, and
        // the result is NaN whatever follows, since NaN stays in every later sum. Return it.
        if (!(l < m && m < r) && std::isnan(diff)) return acc + (d + diff / 15.0);

        if (size + 2 > kStackCapacity) throw InternalFault("integration stack overflow");
        stack[size++] = {m, r, s_right};
        stack[size++] = {l, m, s_left};
    }
    return acc;
}

}  // namespace varnix
