#include "python/args.hpp"

#include <limits>

#include "python/buffers.hpp"

namespace varnix::py {

namespace {

std::string quoted_list(const std::vector<std::string>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += (i + 1 == names.size()) ? " and " : ", ";
        out += "'" + names[i] + "'";
    }
    return out;
}

bool str_equal(PyObject* py_str, const std::string& s) {
    // Compared without encoding, so that any str (lone surrogates included) is just unequal.
    return PyUnicode_CompareWithASCIIString(py_str, s.c_str()) == 0;
}

}  // namespace

Args::Args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
    : sig_(sig) {
    // The order of Python's own checks: positional arguments fill their slots, then keywords
    // (unknown names, names already filled), then the count of positional arguments.
    const std::size_t total = sig.names.size();
    const std::size_t positional = sig.positional;
    const auto given = static_cast<std::size_t>(nargs);
    for (std::size_t i = 0; i < given && i < positional; ++i) slots_[i] = args[i];

    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_Size(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GetItem(kwnames, k);
            std::size_t found = total;
            for (std::size_t i = 0; i < total; ++i) {
                if (str_equal(key, sig.names[i])) {
                    found = i;
                    break;
                }
            }
            if (found == total) {
                raise(PyExc_TypeError,
                      sig.display + " got an unexpected keyword argument '" + utf8_of(key) + "'");
            }
            if (slots_[found] != nullptr) {
                raise(PyExc_TypeError,
                      sig.display + " got multiple values for argument '" + sig.names[found] + "'");
            }
            slots_[found] = args[nargs + k];
        }
    }

    if (given > positional) {
        std::string msg = sig.display + " takes ";
        if (sig.required == positional) {
            msg += std::to_string(positional);
        } else {
            msg += "from " + std::to_string(sig.required) + " to " + std::to_string(positional);
        }
        msg += " positional arguments but " + std::to_string(given) +
               (given == 1 ? " was given" : " were given");
        raise(PyExc_TypeError, msg);
    }

    std::vector<std::string> missing;
    for (std::size_t i = 0; i < sig.required; ++i) {
        if (slots_[i] == nullptr) missing.push_back(sig.names[i]);
    }
    if (!missing.empty()) {
        raise(PyExc_TypeError, sig.display + " missing " + std::to_string(missing.size()) +
                                   " required positional argument" +
                                   (missing.size() == 1 ? "" : "s") + ": " +
                                   quoted_list(missing));
    }
}

[[noreturn]] void Args::prefix_type_error(std::size_t i) const {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PyErrorSet{};
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyRef t = PyRef::steal(type), v = PyRef::steal(value), trace = PyRef::steal(tb);
    PyRef text = PyRef::steal(v ? PyObject_Str(v.get()) : nullptr);
    if (!text) throw PyErrorSet{};
    PyRef message = PyRef::steal(
        PyUnicode_FromFormat("argument '%s': %U", sig_.names[i].c_str(), text.get()));
    if (!message) throw PyErrorSet{};
    PyRef replacement =
        PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!replacement) throw PyErrorSet{};
    // The cause of the original error carries over to the new one.
    if (v) {
        PyObject* cause = PyException_GetCause(v.get());  // new reference or null
        if (cause != nullptr) PyException_SetCause(replacement.get(), cause);  // steals
    }
    PyErr_SetObject(PyExc_TypeError, replacement.get());
    throw PyErrorSet{};
}

[[noreturn]] void raise_downcast(PyObject* o, const char* target) {
    raise(PyExc_TypeError,
          "'" + type_name(o) + "' object cannot be converted to '" + target + "'");
}

double to_f64(PyObject* o) {
    const double x = PyFloat_AsDouble(o);
    if (x == -1.0 && PyErr_Occurred()) throw PyErrorSet{};
    return x;
}

namespace {

// A Python int (or an object with __index__) as a 64-bit unsigned value; the texts are
// Python's own (OverflowError for a negative or too large value).
std::uint64_t to_unsigned(PyObject* o) {
    PyRef index;
    if (!PyLong_Check(o)) {
        index = PyRef::steal(check(PyNumber_Index(o)));
        o = index.get();
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(o);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyErrorSet{};
    return v;
}

// A count must also fit the platform's sizes.
std::uint64_t to_count(PyObject* o) {
    const std::uint64_t v = to_unsigned(o);
    if constexpr (sizeof(std::size_t) < sizeof(std::uint64_t)) {
        if (v > std::numeric_limits<std::size_t>::max()) {
            raise(PyExc_OverflowError, "out of range integral type conversion attempted");
        }
    }
    return v;
}

const char* kind_name(Default::Kind kind) {
    switch (kind) {
        case Default::Kind::Required: return "no";
        case Default::Kind::None: return "a None";
        case Default::Kind::Bool: return "a bool";
        case Default::Kind::Count: return "a count";
        case Default::Kind::Float: return "a float";
    }
    return "an unknown";
}

}  // namespace

const Default& Args::fallback(std::size_t i, Default::Kind kind) const {
    const Default& d = sig_.defaults[i];
    if (d.kind != kind) {
        throw InternalFault(sig_.display + " converts parameter '" + sig_.names[i] + "' as " +
                            kind_name(kind) + " default, but it is declared with " +
                            kind_name(d.kind) + " default");
    }
    return d;
}

double Args::f64(std::size_t i) const {
    if (!given(i)) return fallback(i, Default::Kind::Float).real;
    return convert(i, [](PyObject* o) { return to_f64(o); });
}

std::optional<double> Args::opt_f64(std::size_t i) const {
    if (!given(i) && sig_.default_is_none(i)) return std::nullopt;
    return f64(i);
}

std::uint64_t Args::count(std::size_t i) const {
    if (!given(i)) return fallback(i, Default::Kind::Count).count;
    return convert(i, [](PyObject* o) { return to_count(o); });
}

std::optional<std::uint64_t> Args::opt_count(std::size_t i) const {
    if (!given(i) && sig_.default_is_none(i)) return std::nullopt;
    return count(i);
}

std::optional<std::uint64_t> Args::seed(std::size_t i) const {
    if (!given(i)) {
        fallback(i, Default::Kind::None);
        return std::nullopt;
    }
    return convert(i, [](PyObject* o) { return to_unsigned(o); });
}

bool Args::boolean(std::size_t i) const {
    if (!given(i)) return fallback(i, Default::Kind::Bool).flag;
    return convert(i, [](PyObject* o) -> bool {
        if (o == Py_True) return true;
        if (o == Py_False) return false;
        // numpy's boolean scalars are accepted by their truth value.
        const std::string name = type_name(o);
        PyRef module = PyRef::steal(PyObject_GetAttrString(
            reinterpret_cast<PyObject*>(Py_TYPE(o)), "__module__"));
        if (!module) PyErr_Clear();
        if (module && PyUnicode_Check(module.get()) && str_equal(module.get(), "numpy") &&
            (name == "bool_" || name == "bool")) {
            const int truth = PyObject_IsTrue(o);
            if (truth < 0) throw PyErrorSet{};
            return truth == 1;
        }
        raise_downcast(o, "PyBool");
    });
}

std::string Args::text(std::size_t i) const {
    return convert(i, [](PyObject* o) -> std::string {
        if (!PyUnicode_Check(o)) raise_downcast(o, "PyString");
        return utf8_of(o);
    });
}

std::optional<std::string> Args::opt_text(std::size_t i) const {
    if (!given(i)) {
        fallback(i, Default::Kind::None);
        return std::nullopt;
    }
    return text(i);
}

namespace {

// Owned vectors accept any sequence except str.
template <class Item>
std::vector<Item> extract_vec(PyObject* o, Item (*item)(PyObject*)) {
    if (PyUnicode_Check(o)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(o)) raise_downcast(o, "Sequence");
    const Py_ssize_t n = PySequence_Size(o);
    if (n < 0) throw PyErrorSet{};
    std::vector<Item> out;
    out.reserve(static_cast<std::size_t>(n));
    PyRef iter = PyRef::steal(check(PyObject_GetIter(o)));
    while (PyObject* raw = PyIter_Next(iter.get())) {
        PyRef element = PyRef::steal(raw);
        out.push_back(item(element.get()));
    }
    throw_if_error();
    return out;
}

// A float64 array's items are read directly: the values iteration would give, without an
// object per item.
std::vector<double> extract_float_vec(PyObject* o) {
    if (auto items = float64_items(o)) return std::move(*items);
    return extract_vec<double>(o, to_f64);
}

PyRef hold(PyObject* o) { return PyRef::borrow(o); }

PyObject* abc_sequence() {
    static PyObject* cls = [] {
        PyRef module = PyRef::steal(check(PyImport_ImportModule("collections.abc")));
        return check(PyObject_GetAttrString(module.get(), "Sequence"));
    }();
    return cls;
}

}  // namespace

std::vector<double> Args::float_vec(std::size_t i) const {
    return convert(i, [](PyObject* o) { return extract_float_vec(o); });
}

std::vector<std::vector<double>> Args::float_vec_vec(std::size_t i) const {
    return convert(i, [](PyObject* o) {
        return extract_vec<std::vector<double>>(o, extract_float_vec);
    });
}

std::vector<PyRef> Args::object_vec(std::size_t i) const {
    return convert(i, [](PyObject* o) { return extract_vec<PyRef>(o, hold); });
}

void Args::check_sequence(std::size_t i) const {
    PyObject* o = slots_[i];
    if (PyList_Check(o) || PyTuple_Check(o)) return;
    // Arrays (numpy's, array.array, memoryview) are sequences of their items too.
    if (exports_array(o)) return;
    const int r = PyObject_IsInstance(o, abc_sequence());
    if (r < 0) throw PyErrorSet{};
    if (r == 0) convert(i, [](PyObject* obj) -> int { raise_downcast(obj, "Sequence"); });
}

std::vector<double> Args::sequence_items(std::size_t i) const {
    if (auto items = float64_items(slots_[i])) return std::move(*items);
    std::vector<double> out;
    PyRef iter = PyRef::steal(check(PyObject_GetIter(slots_[i])));
    while (PyObject* raw = PyIter_Next(iter.get())) {
        PyRef element = PyRef::steal(raw);
        out.push_back(to_f64(element.get()));
    }
    throw_if_error();
    return out;
}

}  // namespace varnix::py
