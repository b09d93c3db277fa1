#include <cmath>
#include <limits>
#include <string>

#include "check.hpp"
#include "core/errors.hpp"

using varnix::render_number;

TEST(numbers_render_positionally_with_shortest_digits) {
    CHECK_EQ(render_number(1.0), std::string("1"));
    CHECK_EQ(render_number(2.0), std::string("2"));
    CHECK_EQ(render_number(0.5), std::string("0.5"));
    CHECK_EQ(render_number(-0.25), std::string("-0.25"));
    CHECK_EQ(render_number(1e-7), std::string("0.0000001"));
    CHECK_EQ(render_number(1e21), std::string("1") + std::string(21, '0'));
    CHECK_EQ(render_number(0.1 + 0.2), std::string("0.30000000000000004"));
    CHECK_EQ(render_number(123.456), std::string("123.456"));
    CHECK_EQ(render_number(0.0), std::string("0"));
    CHECK_EQ(render_number(-1e-300), "-0." + std::string(299, '0') + "1");
}

TEST(non_finite_numbers_render_by_name) {
    CHECK_EQ(render_number(std::numeric_limits<double>::quiet_NaN()), std::string("NaN"));
    CHECK_EQ(render_number(INFINITY), std::string("inf"));
    CHECK_EQ(render_number(-INFINITY), std::string("-inf"));
}

TEST(messages_carry_details_and_numbers) {
    using namespace varnix;
    CHECK_EQ(BuildError::invalid_support(detail_text::lo_below_hi).message(),
             std::string("invalid support interval: lo must be strictly less than hi"));
    CHECK_EQ(BuildError::non_finite(detail_text::box_bounds).message(),
             std::string("non-finite value in hyper-rect bounds"));
    CHECK_EQ(SampleError::quantile_out_of_range(1.5).message(),
             std::string("quantile u=1.5 not in (0, 1)"));
    CHECK_EQ(SampleError::confidence_out_of_range(1.0).message(),
             std::string("confidence 1 must be in (0, 1)"));
    CHECK(BuildError::of(BuildErrorKind::TdrHatFailed).message() !=
          SampleError::of(SampleErrorKind::TdrHatFailed).message());
}
