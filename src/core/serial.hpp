// Saved states: every built value of the core written to bytes and read back, exactly.
//
// A state holds the numbers a value is made of (tables, hats, normalising constants, a chain's
// current point and counters) and nothing else: user callables are not the core's to save.
// Reading a state back builds nothing again and calls no user function, so the value read
// gives the same results, bit for bit, as the value written.
//
// Each saved class owns its state:
//
//     struct State {                    // plain fields, in their saved order
//         static constexpr const char* name = "GaussianCopula";  // classes saved on their own
//         std::uint64_t n;
//         std::vector<double> factor;
//         static auto fields(auto& s) {   // the one list of them, for writing and reading
//             auto& [n, factor] = s;
//             return std::tie(n, factor);
//         }
//     };
//     State state() const;
//     static StateResult<GaussianCopula> from_state(State s);
//
// fields names every field through a structured binding, so a field added to State stops the
// build until it is listed; state() takes its class apart the same way, so a field added to the
// class stops the build until its state has it. StateWriter and StateReader both go through
// fields (visit_fields), so writing and reading cannot disagree on a state's layout. A field
// is a bool, a u8 or an enum over one, a u64, an int, a double, a vector of doubles or of u8, an
// array of doubles, an optional or a variant of any of these, or another state (a part of the
// class, such as its box), written in place. from_state checks every invariant the class relies on (finite tables, increasing
// nodes, matching lengths, a cumulative table ending at exactly 1, ...) before it makes the
// value; a state that fails is refused with a StateError naming what was wrong and never
// reaches the engines.
//
// The format is little-endian on every machine:
//
//     "VXST"  u8 format version  u8 name length  name   fields...
//
// where the name is the value's class, a flag, u8 or enum is one byte, a u64 eight, an int the
// u64 of its two's complement, a double its IEEE 754 bits as a u64, a vector or an array a u64
// length and then its values, an optional a flag and then its value when the flag is set, a
// variant the u8 index of its alternative and then that alternative.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <array>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace varnix {

// A state that cannot be read back: the binding raises it as ValueError with message().
struct StateError {
    std::string detail;
    std::string message() const { return "invalid saved state: " + detail; }
};

template <class T>
using StateResult = std::expected<T, StateError>;

// The refusal of from_state: what was wrong, without the class (the reader names it).
inline std::unexpected<StateError> state_refused(std::string what) {
    return std::unexpected(StateError{std::move(what)});
}

inline constexpr std::uint8_t kStateFormat = 1;

// A class's state, or a part of one: a type with `static auto fields(auto& s)`.
template <class S>
concept StateFields = requires(S& s) { S::fields(s); };

// Calls visit on each field of s in its saved order.
template <class S, class Visit>
void visit_fields(S& s, Visit&& visit) {
    std::apply([&visit](auto&... field) { (visit(field), ...); },
               std::remove_const_t<S>::fields(s));
}

// Fields added to a state after its first format, saved at its end: always written; a state of
// an older writer ends before them, and reading one leaves them at their defaults (present
// then says false).
template <class T>
struct AddedLater {
    T value{};
    bool present = false;  // read from the state (not itself saved)
};

namespace detail {
template <class T>
inline constexpr bool is_added_later = false;
template <class T>
inline constexpr bool is_added_later<AddedLater<T>> = true;
template <class T>
inline constexpr bool is_optional = false;
template <class T>
inline constexpr bool is_optional<std::optional<T>> = true;
template <class T>
inline constexpr bool is_u64 = std::unsigned_integral<T> && sizeof(T) == 8;
template <class T>
inline constexpr bool is_byte = std::is_same_v<T, std::uint8_t> ||
                                (std::is_enum_v<T> && sizeof(T) == 1);
template <class T>
inline constexpr bool is_variant = false;
template <class... A>
inline constexpr bool is_variant<std::variant<A...>> = true;
template <class T>
inline constexpr bool is_f64_array = false;
template <std::size_t N>
inline constexpr bool is_f64_array<std::array<double, N>> = true;
template <class>
inline constexpr bool no_saved_form = false;
}  // namespace detail

// What refuses a variant field whose alternative index is unknown, or an array field read
// with another length. A state whose format names its own text specializes this for the
// field's type.
template <class T>
inline constexpr const char* state_field_refusal =
    detail::is_variant<T> ? "unknown kind" : "a table of the wrong length";

class StateWriter {
public:
    // Starts a state of the named class.
    explicit StateWriter(std::string_view class_name);

    void u8(std::uint8_t v) { bytes_.push_back(static_cast<char>(v)); }
    void flag(bool v) { u8(v ? 1 : 0); }
    void u64(std::uint64_t v);
    void f64(double v);
    void f64s(std::span<const double> values);

    // One field of a state, in its saved form (see the top of this file).
    template <class T>
    void field(const T& v);

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

    // One field of a state, in its saved form; v is left as it was when the read fails.
    template <class T>
    void field(T& v);

    // Records what (e.g. "Hermite table nodes not increasing") unless cond holds.
    bool require(bool cond, const char* what);
    // Records the refusal of a part's from_state.
    void refuse(const StateError& e) { fail(e.detail); }
    bool ok() const { return error_.empty(); }
    // Whether every byte has been read: a state of an older writer ends before the fields
    // added since, which then take their defaults.
    bool at_end() const { return pos_ == bytes_.size(); }

    // Done reading: the first failure, or one for bytes left over.
    StateResult<void> finish() const;

private:
    bool take(std::size_t n, const char*& at);
    void fail(std::string what);
    int i32();
    std::vector<std::uint8_t> u8s();

    std::string_view bytes_;
    std::size_t pos_ = 0;
    std::string class_name_;
    std::string error_;
};

template <class T>
void StateWriter::field(const T& v) {
    if constexpr (StateFields<T>) {
        visit_fields(v, [this](const auto& f) { field(f); });
    } else if constexpr (std::is_same_v<T, bool>) {
        flag(v);
    } else if constexpr (detail::is_byte<T>) {
        u8(static_cast<std::uint8_t>(v));
    } else if constexpr (detail::is_u64<T>) {
        u64(v);
    } else if constexpr (std::is_same_v<T, int>) {
        u64(static_cast<std::uint64_t>(static_cast<std::int64_t>(v)));
    } else if constexpr (std::is_same_v<T, double>) {
        f64(v);
    } else if constexpr (std::is_same_v<T, std::vector<double>>) {
        f64s(v);
    } else if constexpr (std::is_same_v<T, std::vector<std::uint8_t>>) {
        u64(v.size());
        for (std::uint8_t b : v) u8(b);
    } else if constexpr (detail::is_f64_array<T>) {
        f64s(v);
    } else if constexpr (detail::is_added_later<T>) {
        field(v.value);
    } else if constexpr (detail::is_optional<T>) {
        flag(v.has_value());
        if (v) field(*v);
    } else if constexpr (detail::is_variant<T>) {
        static_assert(std::variant_size_v<T> <= 256);
        u8(static_cast<std::uint8_t>(v.index()));
        std::visit([this](const auto& alternative) { field(alternative); }, v);
    } else {
        static_assert(detail::no_saved_form<T>, "a field of a state with no saved form");
    }
}

template <class T>
void StateReader::field(T& v) {
    if constexpr (StateFields<T>) {
        visit_fields(v, [this](auto& f) { field(f); });
    } else if constexpr (std::is_same_v<T, bool>) {
        v = flag();
    } else if constexpr (detail::is_byte<T>) {
        v = static_cast<T>(u8());
    } else if constexpr (detail::is_u64<T>) {
        v = u64();
    } else if constexpr (std::is_same_v<T, int>) {
        v = i32();
    } else if constexpr (std::is_same_v<T, double>) {
        v = f64();
    } else if constexpr (std::is_same_v<T, std::vector<double>>) {
        v = f64s();
    } else if constexpr (std::is_same_v<T, std::vector<std::uint8_t>>) {
        v = u8s();
    } else if constexpr (detail::is_f64_array<T>) {
        const std::vector<double> values = f64s();
        if (require(values.size() == v.size(), state_field_refusal<T>)) {
            std::copy(values.begin(), values.end(), v.begin());
        }
    } else if constexpr (detail::is_added_later<T>) {
        v.present = !at_end();
        if (v.present) field(v.value);
    } else if constexpr (detail::is_optional<T>) {
        if (flag()) {
            field(v.emplace());
        } else {
            v.reset();
        }
    } else if constexpr (detail::is_variant<T>) {
        const std::uint8_t index = u8();
        if (!require(index < std::variant_size_v<T>, state_field_refusal<T>)) return;
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            ((index == I ? (field(v.template emplace<I>()), true) : false) || ...);
        }(std::make_index_sequence<std::variant_size_v<T>>{});
    } else {
        static_assert(detail::no_saved_form<T>, "a field of a state with no saved form");
    }
}

// A class saved on its own: its State names it, state() takes it apart and from_state checks
// and makes it.
template <class T>
concept SavedClass = StateFields<typename T::State> && requires(const T& t, typename T::State s) {
    { T::State::name } -> std::convertible_to<std::string_view>;
    { t.state() } -> std::same_as<typename T::State>;
    { T::from_state(std::move(s)) } -> std::same_as<StateResult<T>>;
};

// Saving and reading back every saved class of the core.
struct StateCodec {
    template <class T>
    static std::string save(const T& value) {
        static_assert(SavedClass<T>, "a class without its own saved state");
        StateWriter w(T::State::name);
        w.field(value.state());
        return std::move(w).finish();
    }

    // A refusal names the class: "ClassName: what was wrong". A state that cannot be read as
    // its fields (too short, a bad flag, an unknown alternative) is refused first, then one
    // that fails from_state's checks, then one with bytes left over: a length field edited
    // leaves bytes over, and the check its table fails says more.
    template <class T>
    static StateResult<T> load(std::string_view bytes) {
        static_assert(SavedClass<T>, "a class without its own saved state");
        StateReader r(bytes, T::State::name);
        typename T::State s{};
        r.field(s);
        if (!r.ok()) return std::unexpected(r.finish().error());
        auto value = T::from_state(std::move(s));
        if (!value) return state_refused(std::string(T::State::name) + ": " + value.error().detail);
        if (auto done = r.finish(); !done) return std::unexpected(done.error());
        return value;
    }
};

}  // namespace varnix
