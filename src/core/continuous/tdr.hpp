// Transformed density rejection: a hat over the density built once, then rejection sampling.
//
// Log transform: a piecewise exponential hat made of tangents to ln f at construction points,
// and a squeeze below ln f made of the chords between neighbouring points. A trial whose
// uniform falls under the squeeze is accepted without calling the density; every other trial
// calls it and decides exactly as a hat without a squeeze would, so the squeeze changes only
// how often the density is called, never which draws are accepted (for a log-concave density).
// A trial finds its segment by a guide table over the hat's cumulative areas; fills propose
// their trials a batch at a time, with the same draws and words as one draw after another.
// InvSqrt transform: a constant hat at the largest density value found: a scan of the support,
// then a search for the maximum near the best scan point.
//
// The hat is sound only for a density that is T-concave for its transform. The build checks
// log-concavity on the construction points and at the tangents' intersections, and a draw that
// meets the density above the hat stops with an error instead of returning a biased sample.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>  // std::invoke, used by function_ref.hpp
#include <optional>
#include <span>
#include <vector>

#include "core/continuous/options.hpp"
#include "core/errors.hpp"
#include "core/fill.hpp"
#include "core/function_ref.hpp"
#include "core/search.hpp"
#include "core/serial.hpp"
#include "core/word_source.hpp"

namespace varnix {

class TdrHat {
public:
    enum class Kind : std::uint8_t { Tangent, Constant };

    // How far (in ln f) the density may rise above the hat, or the squeeze above the density,
    // before the density counts as not T-concave. Larger than the tangents' error from the
    // numeric derivative on any sensible support; far below a real failure of concavity.
    static constexpr double kConcavityTolerance = 1e-4;

    // density is the normalised density on support; derivative is its derivative (an explicit
    // one, already divided by the normalising constant) or absent for a numeric difference of
    // the density. TdrHatFailed for any hat that cannot be formed, TdrNotLogConcave for a
    // density the log transform cannot serve, DensityNegative for a negative density value.
    static BuildResult<TdrHat> build(const TdrOptions& options, Interval support,
                                     FunctionRef<double(double)> density,
                                     std::optional<FunctionRef<double(double)>> derivative);

    // One draw, by the source's uniforms in a fixed order: per completed trial two uniforms
    // (constant hat) or three (tangent hat). density must be the one the hat was built for.
    // TdrSampleFailed on a non-finite proposal or after max_tries rejected trials;
    // TdrDensityAboveHat when a trial finds the density above the hat.
    template <WordSource R>
    SampleResult<double> draw(R& rng, FunctionRef<double(double)> density) const {
        if (kind_ == Kind::Tangent) return draw_tangent(rng, density);
        auto next = [&rng] { return rng.next_u64(); };
        return draw_constant(Words{next}, density);
    }

    // out.size() draws into out: the values and the failing draw of as many calls of draw, with
    // the source left where they leave it when every draw succeeds.
    template <WordSource R>
    FillResult fill(std::span<double> out, R& rng, FunctionRef<double(double)> density) const {
        if (kind_ == Kind::Tangent) return fill_tangent(out, rng, density);
        auto next = [&rng] { return rng.next_u64(); };
        for (std::size_t i = 0; i < out.size(); ++i) {
            const auto x = draw_constant(Words{next}, density);
            if (!x) return fill_stopped(i, x.error());
            out[i] = *x;
        }
        return {};
    }

    // The segment a tangent-hat trial's u1 in [0, 1) picks: the last entry of cumulative()
    // equal to u1 if there is one, else the first above it (the last segment at most).
    std::size_t pick_segment(double u1) const;

    // The tangent hat in log space at x, on the segment holding x.
    double log_hat(double x) const;
    // The squeeze in log space at x: the chord of ln f between the construction points around
    // x; -inf outside the outermost points.
    double log_squeeze(double x) const;

    Kind kind() const { return kind_; }
    double pdf_max() const { return pdf_max_; }
    const std::vector<double>& points() const { return xs_; }
    const std::vector<double>& log_slopes() const { return slopes_; }
    const std::vector<double>& intersections() const { return z_; }
    const std::vector<double>& cumulative() const { return cum_; }
    // True when the segment areas are taken relative to the largest (the direct exponential
    // formulas would over- or underflow, or neighbouring tangents are parallel).
    bool relative_areas() const { return relative_; }

    // Saved state (core/serial.hpp), a part of its distribution's: the hat as built, its
    // segments as 8 numbers each (Segment's order) with their spreads apart, its chords as 4
    // numbers each (Chord's order). The bounds are the owner's support; the guide table and
    // squeeze gaps are made again from the rest.
    struct State {
        TdrOptions options;
        Kind kind = Kind::Tangent;
        double pdf_max = 0.0;
        std::vector<double> xs, ys, slopes, z, cum;
        bool relative = false;
        double judged_above = 0.0;
        std::vector<double> segments;
        std::vector<std::uint8_t> spreads;
        std::vector<double> chords;
        static auto fields(auto& s) {
            auto& [options, kind, pdf_max, xs, ys, slopes, z, cum, relative, judged_above,
                   segments, spreads, chords] = s;
            auto& [transform, construction_points, dpdf_rel_step, max_tries] = options;
            return std::tie(transform, construction_points, dpdf_rel_step, max_tries, kind,
                            pdf_max, xs, ys, slopes, z, cum, relative, judged_above, segments,
                            spreads, chords);
        }
    };
    State state() const;
    static StateResult<TdrHat> from_state(State s, Interval support);

private:

    // The caller's word source behind one indirect call per word, for the constant hat's
    // trials, which call the density every time and are compiled once, in tdr.cpp. The
    // tangent hat's trials mostly end at the squeeze and are compiled for each word source.
    struct Words {
        FunctionRef<std::uint64_t()> next;
        std::uint64_t next_u64() const { return next(); }
    };

    // How a position inside a segment is drawn from u2.
    enum class Spread : std::uint8_t {
        Flat,    // uniform: span * u2 + left
        Direct,  // ln(span * u2 + base) / slope, span and base the exponentials of the ends
        Down,    // decreasing hat: left + log1p(u2 * span) / slope, span = expm1(slope * width)
        Up,      // increasing hat: right + log1p((1 - u2) * span) / slope, span = expm1(-slope * width)
    };

    // Everything a trial needs about one hat segment, computed at build.
    struct Segment {
        double left;
        double right;
        double slope;      // of ln f at the point of tangency
        double intercept;  // log_f minus point * slope
        double point;      // the point of tangency
        double log_f;      // the tangent there: ln f, raised on a relative hat if need be
        double base;       // Direct: exp(left * slope)
        double span;       // see Spread
        Spread spread;
    };

    // The chord of ln f from one construction point to the next; an empty one (x0 > x1)
    // stands beyond the outermost points.
    struct Chord {
        double x0;
        double x1;
        double y0;
        double slope;
    };

    // A tangent-hat trial as far as u1 and u2 take it.
    struct Proposal {
        double x;          // the proposed point; not finite when the trial fails
        double bound;      // the squeeze accepts u3 <= bound (-1 where it cannot accept)
        std::size_t at;    // the segment holding x
        bool squeezed;     // x lies under a chord, so u3 is drawn before the density is called
    };

    // How far the squeeze lies below the hat, in ln, on one side of a segment's point of
    // tangency: d0 + d1 * (x - x0) for x in [x0, x1] (the chord's span; empty beyond the
    // outermost points), the squeeze margin included. Derived from the chords and tangents.
    struct SqueezeGap {
        double x0;
        double x1;
        double d0;
        double d1;
    };

    // ln u3 falls this far below the chord (in ln) or more before the squeeze accepts, so that
    // rounding in the chord, the hat and the density's own last digits never turn a rejection
    // into a squeeze acceptance.
    static constexpr double kSqueezeMargin = 1e-6;

    TdrHat() = default;
    BuildResult<TdrHat> build_constant(FunctionRef<double(double)> density) &&;
    BuildResult<TdrHat> build_tangent(FunctionRef<double(double)> density,
                                      std::optional<FunctionRef<double(double)>> derivative) &&;
    std::vector<double> construction_points() const;
    std::optional<BuildError> add_tangents(const std::vector<double>& points,
                                           FunctionRef<double(double)> density,
                                           std::optional<FunctionRef<double(double)>> derivative);
    std::optional<BuildError> check_slopes() const;
    bool intersect_tangents();
    bool integrate_segments();
    void drop_negligible_points();
    void intersect_tangents_relative();
    std::optional<BuildError> integrate_segments_relative(const std::vector<double>& at_z);
    void make_chords();
    std::optional<BuildError> probe_intersections(FunctionRef<double(double)> density,
                                                  std::vector<double>& at_z) const;
    std::optional<BuildError> check_intersections(const std::vector<double>& at_z) const;
    BuildError tangents_failed(std::size_t j, const std::vector<double>& at_z) const;
    double segment_left(std::size_t j) const { return j == 0 ? lo_ : z_[j - 1]; }
    double segment_right(std::size_t j) const { return j + 1 == xs_.size() ? hi_ : z_[j]; }
    std::size_t segment_of(double x) const;
    void make_lookups();
    std::size_t segment_for(double u) const;
    double tangent_at(std::size_t j, double x) const;
    double position(const Segment& seg, double u2) const;
    SampleResult<double> draw_constant(Words rng, FunctionRef<double(double)> density) const;
    Proposal judge(std::size_t j, double x) const;
    template <WordSource R>
    SampleResult<double> draw_tangent(R& rng, FunctionRef<double(double)> density) const;
    template <WordSource R>
    FillResult fill_tangent(std::span<double> out, R& rng, FunctionRef<double(double)> density) const;
    SampleResult<double> density_above_hat(double x, double fx, double t) const;

    TdrOptions options_;
    double lo_ = 0.0;
    double hi_ = 0.0;
    Kind kind_ = Kind::Tangent;
    bool relative_ = false;
    double judged_above_ = 0.0;   // ln f below which log-concavity is not judged
    double pdf_max_ = 0.0;
    std::vector<double> xs_;      // points of tangency
    std::vector<double> ys_;      // ln f at the points
    std::vector<double> slopes_;  // slope of ln f at the points
    std::vector<double> z_;       // intersections of neighbouring tangents
    std::vector<double> cum_;     // cumulative area fractions, the last exactly 1
    // guide_[i]: the number of entries of cum_ below i / G, G = guide_.size(), a power of two.
    std::vector<std::uint32_t> guide_;
    double guide_scale_ = 0.0;  // G
    std::vector<Segment> segments_;
    // chords_[i] joins xs_[i - 1] and xs_[i] (0 < i < K); chords_[0] and chords_[K] are empty.
    // A point of segment j lies under chord j if left of xs_[j], else under chord j + 1.
    std::vector<Chord> chords_;
    // gaps_[2 * j + side]: segment j left (side 0) or right (side 1) of its point of tangency.
    std::vector<SqueezeGap> gaps_;
};

// Tangent j at x: from its intercept where the areas are direct (then |intercept| < 709),
// from its point of tangency where they are relative.
inline double TdrHat::tangent_at(std::size_t j, double x) const {
    const Segment& seg = segments_[j];
    if (relative_) return seg.log_f + seg.slope * (x - seg.point);
    return seg.intercept + x * seg.slope;
}

// The position of u in cum_ by search::LastEqualElseAbove, found by a guide table: its entry
// for the G-th of [0, 1) holding u counts the entries below that G-th's start, and a short walk
// (mostly none or one step, with G at least four times the number of segments) counts the entries
// at or below u. A table of probabilities needs no bisection's chain of mispredicted halvings.
// u in [0, 1); the last entry is 1, so the walk stops inside the table.
inline std::size_t TdrHat::segment_for(double u) const {
    std::size_t passed = guide_[static_cast<std::size_t>(u * guide_scale_)];
    while (cum_[passed] <= u) ++passed;
    if (passed == 0) return 0;
    const std::size_t base = passed - 1;
    return base + static_cast<std::size_t>(cum_[base] < u);
}

// The proposal's position in its segment from u2.
inline double TdrHat::position(const Segment& seg, double u2) const {
    switch (seg.spread) {
        case Spread::Flat: return seg.span * u2 + seg.left;
        case Spread::Direct: return std::log(seg.span * u2 + seg.base) / seg.slope;
        case Spread::Down:
            return std::clamp(seg.left + std::log1p(u2 * seg.span) / seg.slope, seg.left, seg.right);
        case Spread::Up:
            return std::clamp(seg.right + std::log1p((1.0 - u2) * seg.span) / seg.slope, seg.left,
                              seg.right);
    }
    return seg.left;
}

inline std::size_t TdrHat::pick_segment(double u1) const {
    return std::min(segment_for(u1), cum_.size() - 1);
}

// A trial whose u1 picked segment j and whose u2 gave x there (position): the squeeze's verdict
// for u3 if x lies under a chord. The hat at x is left to the trials that call the density.
inline TdrHat::Proposal TdrHat::judge(std::size_t j, double x) const {
    if (!std::isfinite(x)) return Proposal{x, -1.0, j, false};
    x = x < lo_ ? lo_ : (x > hi_ ? hi_ : x);

    // The segment holding x is j unless x fell on its right end.
    const Segment& seg = segments_[j];
    const bool inside = seg.left <= x && x < seg.right;
    const std::size_t at = inside ? j : segment_of(x);
    const SqueezeGap& gap = gaps_[2 * at + static_cast<std::size_t>(x >= segments_[at].point)];
    if (!(gap.x0 <= x && x <= gap.x1)) return Proposal{x, -1.0, at, false};
    // exp(y) >= 1 + y for every y: under it, u3 is under exp(below), the squeeze over the hat.
    const double below = gap.d0 + gap.d1 * (x - gap.x0);
    return Proposal{x, below <= 0.0 ? 1.0 + below : -1.0, at, true};
}

// A trial: segment from u1, position from u2, then u3 against the squeeze and, unless the
// squeeze accepts, against the density, exactly as without a squeeze. Outside the outermost
// construction points there is no squeeze and u3 is drawn after the density call, as a trial
// without a squeeze draws it.
// Evaluation order is frozen (docs/architecture.md).
template <WordSource R>
SampleResult<double> TdrHat::draw_tangent(R& rng, FunctionRef<double(double)> density) const {
    for (std::size_t trial = 0; trial < options_.max_tries; ++trial) {
        const double u1 = uniform(rng);
        const double u2 = uniform(rng);
        const std::size_t j = pick_segment(u1);
        const Proposal p = judge(j, position(segments_[j], u2));
        if (!std::isfinite(p.x)) {
            return std::unexpected(SampleError::of(SampleErrorKind::TdrSampleFailed));
        }
        double u3 = 0.0;
        if (p.squeezed) {
            u3 = uniform(rng);
            if (u3 <= p.bound) return p.x;
        }
        const double fx = density(p.x);
        if (!(std::isfinite(fx) && fx > 0.0)) continue;
        if (!p.squeezed) u3 = uniform(rng);
        const double t = tangent_at(p.at, p.x);
        const double excess = std::log(fx) - t;
        if (excess > kConcavityTolerance) return density_above_hat(p.x, fx, t);
        if (std::log(u3) <= excess) return p.x;
    }
    return std::unexpected(SampleError::of(SampleErrorKind::TdrSampleFailed));
}

// The draws of draw_tangent, with the trials' proposals made a batch at a time from words read
// ahead, so that their logarithms and searches overlap instead of waiting on one another. A
// trial takes three words, u3 being the third whether it is drawn before the density call or
// after it, except a trial outside the squeeze whose density value is unusable, which ends
// after two: the proposals after it then start one word earlier and are made again. Every
// remaining draw takes at least the three words of its accepted trial, so a batch of at most
// as many trials as draws remain never reads a word the draws one at a time would not.
// Evaluation order is frozen (docs/architecture.md).
template <WordSource R>
FillResult TdrHat::fill_tangent(std::span<double> out, R& rng,
                                FunctionRef<double(double)> density) const {
    constexpr std::size_t kBatch = 16;
    constexpr std::size_t kWordsPerTrial = 3;
    const std::size_t n = out.size();
    if (n > 0 && options_.max_tries == 0) {
        return fill_stopped(0, SampleError::of(SampleErrorKind::TdrSampleFailed));
    }
    std::uint64_t words[kBatch * kWordsPerTrial];
    std::size_t picked[kBatch];
    double xs[kBatch];
    Proposal proposals[kBatch];
    std::size_t held = 0;   // words read ahead and not yet used, from words[0]
    std::size_t done = 0;   // draws written
    std::size_t tries = 0;  // trials of the draw in progress
    while (done < n) {
        const std::size_t m = std::min(kBatch, n - done);
        for (; held < m * kWordsPerTrial; ++held) words[held] = rng.next_u64();
        // In stages, so that the independent searches, and then the logarithms, of the batch
        // run side by side.
        for (std::size_t i = 0; i < m; ++i) {
            picked[i] = pick_segment(unit_from_bits(words[kWordsPerTrial * i]));
        }
        for (std::size_t i = 0; i < m; ++i) {
            xs[i] = position(segments_[picked[i]], unit_from_bits(words[kWordsPerTrial * i + 1]));
        }
        for (std::size_t i = 0; i < m; ++i) proposals[i] = judge(picked[i], xs[i]);
        std::size_t used = m * kWordsPerTrial;
        for (std::size_t i = 0; i < m; ++i) {
            if (tries == options_.max_tries) {
                return fill_stopped(done, SampleError::of(SampleErrorKind::TdrSampleFailed));
            }
            ++tries;
            const Proposal& p = proposals[i];
            if (!std::isfinite(p.x)) {
                return fill_stopped(done, SampleError::of(SampleErrorKind::TdrSampleFailed));
            }
            const double u3 = unit_from_bits(words[kWordsPerTrial * i + 2]);
            if (p.squeezed && u3 <= p.bound) {
                out[done++] = p.x;
                tries = 0;
                continue;
            }
            const double fx = density(p.x);
            if (!(std::isfinite(fx) && fx > 0.0)) {
                if (p.squeezed) continue;
                used = kWordsPerTrial * i + 2;
                break;
            }
            const double t = tangent_at(p.at, p.x);
            const double excess = std::log(fx) - t;
            if (excess > kConcavityTolerance) {
                return fill_stopped(done, density_above_hat(p.x, fx, t).error());
            }
            if (std::log(u3) <= excess) {
                out[done++] = p.x;
                tries = 0;
            }
        }
        held = m * kWordsPerTrial - used;
        std::copy(words + used, words + used + held, words);
    }
    return {};
}

}  // namespace varnix
