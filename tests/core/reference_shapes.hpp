// Closed-form reference distributions for the accuracy tests of the panel integrator and the
// interpolated inverse: an unnormalised density on an interval, the exact distribution function
// of that density truncated to the interval (the upper tail through its own complement, never
// 1 - F), and the exact mass, mean, variance and entropy of the truncated distribution.
#pragma once

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace ref {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kPi = std::numbers::pi;
constexpr double kEulerGamma = 0.57721566490153286061;

inline double phi(double x) { return std::exp(-0.5 * x * x) / std::sqrt(2.0 * kPi); }
inline double Phi(double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); }
inline double Phic(double x) { return 0.5 * std::erfc(x / std::sqrt(2.0)); }

struct Shape {
    const char* name;
    double lo;
    double hi;
    double (*pdf)(double);  // unnormalised
    double (*cdf)(double);  // distribution function of pdf / scale on its whole support
    double (*sf)(double);   // its complement, computed directly
    double scale;           // the mass of pdf on its whole support
    double mean;            // of the truncated distribution
    double var;
    double entropy;         // NaN where no closed form is used

    double z() const { return 1.0 - cdf(lo) - sf(hi); }
    double mass() const { return scale * z(); }
    double F(double x) const { return (cdf(x) - cdf(lo)) / z(); }
    double S(double x) const { return (sf(x) - sf(hi)) / z(); }
    // The u-error of x as the quantile of u: through F below the median, S above it.
    double u_error(double x, double u) const {
        return u <= 0.5 ? std::fabs(F(x) - u) : std::fabs(S(x) - (1.0 - u));
    }
    // The mass between x and its neighbouring doubles: no quantile in double precision can
    // be closer than half of it (it matters only within a few units in the last place of an
    // end where the density is infinite).
    double step_mass(double x) const {
        const double up = std::nextafter(x, hi);
        const double down = std::nextafter(x, lo);
        return std::max(std::fabs(S(x) - S(up)), std::fabs(F(x) - F(down)));
    }
};

// Truncated normal moments (Johnson, Kotz, Balakrishnan).
struct NormalMoments {
    double mean, var, entropy;
};
inline NormalMoments truncated_normal(double mu, double sigma, double lo, double hi) {
    const double a = (lo - mu) / sigma;
    const double b = (hi - mu) / sigma;
    const double z = 1.0 - Phic(-a) - Phic(b);
    const double d = (phi(a) - phi(b)) / z;
    const double e = (a * phi(a) - b * phi(b)) / z;
    return {mu + sigma * d, sigma * sigma * (1.0 + e - d * d),
            std::log(std::sqrt(2.0 * kPi * std::numbers::e) * sigma * z) + 0.5 * e};
}

inline double digamma_int(int n) {
    double s = -kEulerGamma;
    for (int k = 1; k < n; ++k) s += 1.0 / k;
    return s;
}

inline double t3_cdf(double x) {
    const double t = x / std::sqrt(3.0);
    return 0.5 + (std::atan(t) + t / (1.0 + t * t)) / kPi;
}

inline const std::vector<Shape>& shapes() {
    static const std::vector<Shape> list = [] {
        std::vector<Shape> v;
        const double s2pi = std::sqrt(2.0 * kPi);
        {
            const auto m = truncated_normal(0.0, 1.0, -5.0, 5.0);
            v.push_back({"normal on [-5, 5]", -5.0, 5.0, [](double x) { return std::exp(-0.5 * x * x); },
                         Phi, Phic, s2pi, m.mean, m.var, m.entropy});
        }
        {
            const auto m = truncated_normal(0.0, 1.0, -20.0, 20.0);
            v.push_back({"normal on [-20, 20]", -20.0, 20.0,
                         [](double x) { return std::exp(-0.5 * x * x); }, Phi, Phic, s2pi, m.mean,
                         m.var, m.entropy});
        }
        {
            const auto m = truncated_normal(7.0, 0.3, 0.0, 40.0);
            v.push_back({"N(7, 0.3) on [0, 40]", 0.0, 40.0,
                         [](double x) {
                             const double z = (x - 7.0) / 0.3;
                             return std::exp(-0.5 * z * z);
                         },
                         [](double x) { return Phi((x - 7.0) / 0.3); },
                         [](double x) { return Phic((x - 7.0) / 0.3); }, 0.3 * s2pi, m.mean, m.var,
                         m.entropy});
        }
        {
            const auto m = truncated_normal(0.0, 0.1, -20.0, 20.0);
            v.push_back({"N(0, 0.1) on [-20, 20]", -20.0, 20.0,
                         [](double x) {
                             const double z = x / 0.1;
                             return std::exp(-0.5 * z * z);
                         },
                         [](double x) { return Phi(x / 0.1); }, [](double x) { return Phic(x / 0.1); },
                         0.1 * s2pi, m.mean, m.var, m.entropy});
        }
        {
            const double b = 30.0;
            const double z = -std::expm1(-b);
            const double mean = 1.0 - b / std::expm1(b);
            const double var = 1.0 - b * b * std::exp(b) / (std::expm1(b) * std::expm1(b));
            v.push_back({"exponential on [0, 30]", 0.0, b, [](double x) { return std::exp(-x); },
                         [](double x) { return -std::expm1(-x); }, [](double x) { return std::exp(-x); },
                         1.0, mean, var, mean + std::log(z)});
        }
        {
            const double b = 40.0;
            const double eb = std::exp(-b);
            const double z = 1.0 - (1.0 + b) * eb;
            const double m1 = (2.0 - (b * b + 2.0 * b + 2.0) * eb) / z;
            const double m2 = (6.0 - (b * b * b + 3.0 * b * b + 6.0 * b + 6.0) * eb) / z;
            v.push_back({"gamma(2) on [0, 40]", 0.0, b, [](double x) { return x * std::exp(-x); },
                         [](double x) { return -std::expm1(-x) - x * std::exp(-x); },
                         [](double x) { return (1.0 + x) * std::exp(-x); }, 1.0, m1, m2 - m1 * m1,
                         1.0 + kEulerGamma});
        }
        {
            // The truncation at 40 removes about 4e-19 of the mass: below every tolerance used.
            const double h = 0.5 * (-kEulerGamma - 2.0 * std::numbers::ln2) + 0.5 +
                             0.5 * std::log(kPi);
            v.push_back({"gamma(0.5) on [0, 40]", 0.0, 40.0,
                         [](double x) { return std::exp(-x) / std::sqrt(x); },
                         [](double x) { return std::erf(std::sqrt(x)); },
                         [](double x) { return std::erfc(std::sqrt(x)); }, std::sqrt(kPi), 0.5, 0.5,
                         h});
        }
        {
            const double h = -std::log(30.0) - digamma_int(2) - 4.0 * digamma_int(5) +
                             5.0 * digamma_int(7);
            v.push_back({"beta(2, 5) on [0, 1]", 0.0, 1.0,
                         [](double x) {
                             const double y = 1.0 - x;
                             return x * (y * y) * (y * y);
                         },
                         [](double x) {
                             return x * x * (15.0 + x * (-40.0 + x * (45.0 + x * (-24.0 + x * 5.0))));
                         },
                         [](double x) {
                             const double y = 1.0 - x;
                             return y * y * y * y * y * (1.0 + 5.0 * x);
                         },
                         1.0 / 30.0, 2.0 / 7.0, 5.0 / 196.0, h});
        }
        v.push_back({"beta(0.5, 0.5) on [0, 1]", 0.0, 1.0,
                     [](double x) { return 1.0 / std::sqrt(x * (1.0 - x)); },
                     // asin near 0 and acos near 1, so both keep their digits in both tails.
                     [](double x) {
                         return 2.0 / kPi * (x <= 0.5 ? std::asin(std::sqrt(x)) : std::acos(std::sqrt(1.0 - x)));
                     },
                     [](double x) {
                         return 2.0 / kPi * (x >= 0.5 ? std::asin(std::sqrt(1.0 - x)) : std::acos(std::sqrt(x)));
                     },
                     kPi, 0.5,
                     0.125, std::log(kPi / 4.0)});
        {
            const double lb = std::log(579.0);
            const double m1 = std::exp(0.5) * Phi(lb - 1.0) / Phi(lb);
            const double m2 = std::exp(2.0) * Phi(lb - 2.0) / Phi(lb);
            v.push_back({"lognormal on [0, 579]", 0.0, 579.0,
                         [](double x) {
                             const double l = std::log(x);
                             return std::exp(-0.5 * l * l) / x;
                         },
                         [](double x) { return x > 0.0 ? Phi(std::log(x)) : 0.0; },
                         [](double x) { return x > 0.0 ? Phic(std::log(x)) : 1.0; }, s2pi, m1,
                         m2 - m1 * m1, kNaN});
        }
        {
            const double t = 2804.0 / std::sqrt(3.0);
            const double a = std::atan(t);
            const double b = t / (1.0 + t * t);
            v.push_back({"Student t(3) on [-2804, 2804]", -2804.0, 2804.0,
                         [](double x) {
                             const double q = 1.0 + x * x / 3.0;
                             return 1.0 / (q * q);
                         },
                         t3_cdf, [](double x) { return t3_cdf(-x); }, kPi * std::sqrt(3.0) / 2.0, 0.0,
                         3.0 * (a - b) / (a + b), kNaN});
        }
        v.push_back({"normal mixture on [-10, 10]", -10.0, 10.0,
                     [](double x) {
                         const double z = (x - 2.0) / 0.5;
                         return 0.5 * std::exp(-0.5 * (x + 2.0) * (x + 2.0)) + std::exp(-0.5 * z * z);
                     },
                     [](double x) { return 0.5 * Phi(x + 2.0) + 0.5 * Phi((x - 2.0) / 0.5); },
                     [](double x) { return 0.5 * Phic(x + 2.0) + 0.5 * Phic((x - 2.0) / 0.5); },
                     s2pi, 0.0, 4.625, kNaN});
        v.push_back({"triangular on [2, 6], mode 3.2", 2.0, 6.0,
                     [](double x) { return x < 3.2 ? (x - 2.0) / 1.2 : (6.0 - x) / 2.8; },
                     [](double x) {
                         if (x <= 2.0) return 0.0;
                         if (x >= 6.0) return 1.0;
                         return x < 3.2 ? (x - 2.0) * (x - 2.0) / 4.8 : 1.0 - (6.0 - x) * (6.0 - x) / 11.2;
                     },
                     [](double x) {
                         if (x <= 2.0) return 1.0;
                         if (x >= 6.0) return 0.0;
                         return x < 3.2 ? 1.0 - (x - 2.0) * (x - 2.0) / 4.8 : (6.0 - x) * (6.0 - x) / 11.2;
                     },
                     2.0, 11.2 / 3.0, 12.64 / 18.0, 0.5 + std::numbers::ln2});
        return v;
    }();
    return list;
}

inline const Shape& shape(const char* name) {
    for (const Shape& s : shapes()) {
        if (std::string_view(s.name) == name) return s;
    }
    throw std::logic_error("no such reference shape");
}

// u values dense in the body and log-spaced into both tails down to 1e-10.
inline std::vector<double> u_grid() {
    std::vector<double> us;
    for (int i = 1; i < 20000; ++i) us.push_back(i / 20000.0);
    for (double l = -10.0; l < -0.3; l += 0.005) {
        us.push_back(std::pow(10.0, l));
        us.push_back(1.0 - std::pow(10.0, l));
    }
    return us;
}

}  // namespace ref
