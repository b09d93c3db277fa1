// The 5-point Gauss-Lobatto rule, the quadrature of the panel integrator and its end models.
#pragma once

namespace varnix {

// The rule on [a, b] from its five node values, at local positions 0, lobatto_t1, 1/2,
// lobatto_t3 and 1.
inline constexpr double lobatto_t1 = 0.17267316464601142810085377187657;  // (1 - sqrt(3/7)) / 2
inline constexpr double lobatto_t3 = 0.82732683535398857189914622812343;  // (1 + sqrt(3/7)) / 2
inline double lobatto_node(double a, double b, double t) { return a + (b - a) * t; }
inline double lobatto5(double a, double b, double fa, double f1, double fm, double f3, double fb) {
    return (b - a) * ((fa + fb) * (1.0 / 20.0) + (f1 + f3) * (49.0 / 180.0) + fm * (16.0 / 45.0));
}

// The local positions and weights one by one, for sums written node by node.
inline constexpr double lobatto_positions[5] = {0.0, lobatto_t1, 0.5, lobatto_t3, 1.0};
inline constexpr double lobatto_weights[5] = {1.0 / 20.0, 49.0 / 180.0, 16.0 / 45.0,
                                              49.0 / 180.0, 1.0 / 20.0};

}  // namespace varnix
