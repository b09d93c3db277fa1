// Convergence diagnostics of Markov chains, per coordinate: the rank-normalised split R-hat,
// the bulk and tail effective sample sizes and the Monte Carlo standard error of the mean
// (Vehtari, Gelman, Simpson, Carpenter and Buerkner 2021, "Rank-normalization, folding, and
// localization: an improved R-hat for assessing convergence of MCMC").
//
// The definitions are those of the common Python implementation, step for step, so that the
// numbers agree with it to rounding:
//
// - Each chain is split into its first and last floor(n/2) draws (the middle draw of an odd n
//   is left out), giving 2m chains of n/2 draws.
// - Rank normalisation: the ranks over all split draws together (ties get their average rank)
//   become z = Phi^-1((rank - 3/8) / (N + 1/4)).
// - R-hat is the larger of the classic split R-hat of the z values (bulk) and of the z values
//   of |x - median| (tail); NaN when the within-chain variance is zero (a constant coordinate).
// - The effective sample size of a set of chains uses the within- and between-chain
//   variances and the autocovariances of every chain (Geyer's initial positive sequence,
//   then its initial monotone sequence); chains whose values span less than 1e-15 count as
//   independent draws (the size is returned).
// - Bulk ESS: the ESS of the z values of the split chains. Tail ESS: the smaller of the ESS of
//   the split chains of the indicators x <= q05 and x <= q95, the quantiles of all draws by
//   linear interpolation between order statistics (type 7).
// - MCSE of the mean: the standard deviation of all draws (n - 1 in the denominator) over the
//   square root of the ESS of the split raw draws.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

namespace varnix {

// Draws stored in C order as (chains, draws, coordinates).
struct DrawsShape {
    std::size_t chains = 0;
    std::size_t draws = 0;
    std::size_t coordinates = 1;
};

// One value per coordinate in each.
struct ChainDiagnostics {
    std::vector<double> rhat;
    std::vector<double> ess_bulk;
    std::vector<double> ess_tail;
    std::vector<double> mcse_mean;
};

// Why these draws cannot be diagnosed (fewer than 2 chains or 4 draws per chain, a NaN, a
// size that does not match the shape), or empty when they can.
std::string diagnostics_refusal(std::span<const double> draws, const DrawsShape& shape);

// The diagnostics of draws that diagnostics_refusal accepts (std::invalid_argument otherwise).
ChainDiagnostics chain_diagnostics(std::span<const double> draws, const DrawsShape& shape);

// The standard normal quantile Phi^-1(p) for p in (0, 1), to about 1e-16 relative
// (Wichura's algorithm AS 241); -inf and +inf at 0 and 1, NaN outside [0, 1].
double normal_quantile(double p);

}  // namespace varnix
