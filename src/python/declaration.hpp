// Declarations of the module's functions and methods: one per entry point.
//
// A declaration gives the entry point's name and its parameters in order, each with its
// default when it has one:
//
//     constexpr Declaration kRejectionSampler{
//         "rejection_sampler", {"f", "support", "pdf_max", {"max_trials", 100000}}};
//
// Everything else is derived from it: the text signature exposed to Python (rendered, so the
// name is written once), the display name used in binding errors, which parameters are
// required, and what each Args conversion returns for an omitted argument. A default that a
// core settings struct already defines is read from it ({"burn_in", MhSettings{}.burn_in}),
// so that the number is written once in the C++ sources; tests/test_stubs.py checks the
// stub's defaults against the rendered signatures.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

namespace varnix::py {

inline constexpr std::size_t max_params = 12;

// The default `=None`: an omitted argument and an explicit None both mean "not given".
struct NoneDefault {};
inline constexpr NoneDefault None{};

// A parameter's default, typed. Counts are non-negative integers (sizes, dimensions, numbers
// of steps); a negative one does not compile.
struct Default {
    enum class Kind : std::uint8_t { Required, None, Bool, Count, Float };
    Kind kind = Kind::Required;
    bool flag = false;
    std::uint64_t count = 0;
    double real = 0.0;
};

struct Param {
    const char* name = nullptr;
    Default fallback{};

    constexpr Param() = default;
    constexpr Param(const char* n) : name(n) {}  // NOLINT(google-explicit-constructor): required
    constexpr Param(const char* n, NoneDefault) : name(n), fallback{Default::Kind::None} {}
    constexpr Param(const char* n, bool v) : name(n), fallback{Default::Kind::Bool, v} {}
    constexpr Param(const char* n, double v)
        : name(n), fallback{Default::Kind::Float, false, 0, v} {}
    template <std::integral I>
        requires(!std::same_as<I, bool>)
    constexpr Param(const char* n, I v)
        : name(n), fallback{Default::Kind::Count, false, static_cast<std::uint64_t>(v)} {
        if constexpr (std::is_signed_v<I>) {
            if (v < 0) throw "a count default is never negative";
        }
    }
};

struct Declaration {
    const char* name;                // "__new__" for a constructor
    Param params[max_params] = {};   // in order; the entries after the last have no name
    // The parameters from this index on are keyword-only (rendered after a "*").
    std::size_t keyword_only_from = max_params;

    constexpr std::size_t arity() const {
        std::size_t n = 0;
        while (n < max_params && params[n].name != nullptr) ++n;
        return n;
    }
};

// The shape every batch sampler shares: sample_n($self, n, seed=None).
inline constexpr Declaration sample_n_declaration{"sample_n", {"n", {"seed", None}}};

// How a declaration is exposed: a method receives $self; a constructor's text signature is
// the class's own ("Interval(lo, hi)").
enum class CallKind : std::uint8_t { Function, Method, StaticMethod, Constructor };

// What binding and the interpreter need from a declaration, rendered once.
struct Signature {
    std::string display;              // "from_pdf()" or "ContinuousDistribution.sample_n()"
    std::string doc;                  // the text signature followed by "\n--\n\n"
    std::vector<std::string> names;   // parameters, without $self
    std::vector<Default> defaults;    // one per parameter
    std::size_t required = 0;         // parameters without a default come first
    std::size_t positional = 0;       // parameters that may be given by position

    bool default_is_none(std::size_t i) const { return defaults[i].kind == Default::Kind::None; }
};

// The text after '=' in a text signature: None, True, False, 100000, 0.25, 1e-6.
std::string render_default(const Default& d);

// The Signature of a declaration exposed as kind, on the class named owner (null for a module
// function); rendered on first use and kept for the process lifetime.
const Signature& signature_of(CallKind kind, const char* owner, const Declaration& decl);

}  // namespace varnix::py
