// Saved states: every built value of the core written to bytes and read back, exactly.
//
// A state holds the numbers a value is made of (tables, hats, normalising constants, a chain's
// current point and counters) and nothing else: user callables are not the core's to save.
// Reading a state back builds nothing again and calls no user function, so the value read
// gives the same results, bit for bit, as the value written.
//
// The format is little-endian on every machine:
//
//     "VXST"  u8 format version  u8 name length  name   fields...
//
// where the name is the value's class (ContinuousDistribution, ...), a field is a u8 (tags and
// flags), a u64 (sizes and counts), an f64 (IEEE 754 bits) or a vector of f64 (a u64 length,
// then the values). Reading checks everything a state could get wrong once it has left the
// process: its length, the header, the class, each tag and flag, and every invariant the value
// relies on (finite tables, increasing nodes, matching lengths, a cumulative table ending at
// exactly 1, ...). A state that fails is refused with a StateError naming what was wrong; it
// never reaches the engines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace varnix {

class ContinuousDistribution;
class DiscreteDistribution;
class RejectionSampler;
class MetropolisHastings;
class HmcSampler;
class GibbsSampler;
class ConditionalFactorizationSampler;
class GaussianCopula;
class CdfMcEstimator;
class HyperRect;

// A state that cannot be read back: the binding raises it as ValueError with message().
struct StateError {
    std::string detail;
    std::string message() const { return "invalid saved state: " + detail; }
};

template <class T>
using StateResult = std::expected<T, StateError>;

inline constexpr std::uint8_t kStateFormat = 1;

class StateWriter {
public:
    // Starts a state of the named class.
    explicit StateWriter(std::string_view class_name);

    void u8(std::uint8_t v) { bytes_.push_back(static_cast<char>(v)); }
    void flag(bool v) { u8(v ? 1 : 0); }
    void u64(std::uint64_t v);
    void f64(double v);
    void f64s(std::span<const double> values);

    std::string finish() && { return std::move(bytes_); }

private:
    std::string bytes_;
};

// Reads fields in order. The first failure (bytes running out, a bad flag, or a check the
// caller made with require) is kept and every read after it returns zeros and empty vectors,
// so a reader reads a whole state and asks once, at the end, whether it was sound; reads of a
// broken state never allocate more than the bytes left could hold.
class StateReader {
public:
    // A reader past the header of a state that must be of the named class.
    StateReader(std::string_view bytes, std::string_view class_name);

    std::uint8_t u8();
    bool flag();
    std::uint64_t u64();
    double f64();
    std::vector<double> f64s();

    // Records what (e.g. "Hermite table nodes not increasing") unless cond holds.
    bool require(bool cond, const char* what);
    bool ok() const { return error_.empty(); }
    // Whether every byte has been read: a state of an older writer ends before the fields
    // added since, which then take their defaults.
    bool at_end() const { return pos_ == bytes_.size(); }

    // Done reading: the first failure, or one for bytes left over.
    StateResult<void> finish() const;

private:
    bool take(std::size_t n, const char*& at);
    void fail(std::string what);

    std::string_view bytes_;
    std::size_t pos_ = 0;
    std::string class_name_;
    std::string error_;
};

// Saving and reading back every stateful value of the core. A friend of each, since a state
// holds what the values keep private; the built invariants are checked here on reading.
struct StateCodec {
    static std::string save(const ContinuousDistribution& d);
    static std::string save(const DiscreteDistribution& d);
    static std::string save(const RejectionSampler& s);
    static std::string save(const MetropolisHastings& s);
    static std::string save(const HmcSampler& s);
    static std::string save(const GibbsSampler& s);
    static std::string save(const ConditionalFactorizationSampler& s);
    static std::string save(const GaussianCopula& c);
    static std::string save(const CdfMcEstimator& e);

    // One per class; T names the class the state must be of.
    template <class T>
    static StateResult<T> load(std::string_view bytes);

    // The bounds of a box, shared by the classes that keep one; read back through
    // HyperRect::make, whose checks a failure is recorded in the reader as.
    static void write_box(StateWriter& w, const HyperRect& box);
    static std::optional<HyperRect> read_box(StateReader& r);
};

}  // namespace varnix
