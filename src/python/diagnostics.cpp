// diagnostics(draws): convergence diagnostics of Markov chains (core/diagnostics.hpp) from a
// float64 buffer of shape (chains, draws) or (chains, draws, coordinates).
#include <string>
#include <vector>

#include "core/diagnostics.hpp"
#include "python/buffers.hpp"
#include "python/classes.hpp"
#include "python/registry.hpp"

namespace varnix::py {
namespace {

constexpr char kExpected[] =
    "argument 'draws': expected a buffer of float64 of shape (chains, draws) or (chains, draws, "
    "coordinates), such as a numpy array";

std::string type_name(PyObject* o) {
    PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(o)));
    const char* text = name ? PyUnicode_AsUTF8AndSize(name.get(), nullptr) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        return "?";
    }
    return text;
}

PyObject* to_py_tuple(const std::vector<double>& values) {
    PyRef tuple = PyRef::steal(check(PyTuple_New(static_cast<Py_ssize_t>(values.size()))));
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), to_py(values[i]));  // steals
    }
    return tuple.release();
}

void set_item(PyObject* dict, const char* key, const std::vector<double>& values) {
    PyRef tuple = PyRef::steal(to_py_tuple(values));
    if (PyDict_SetItemString(dict, key, tuple.get()) < 0) throw PyErrorSet{};
}

constexpr Declaration kDiagnostics{"diagnostics", {"draws"}};

PyObject* diagnostics(const Args& a) {
    PyObject* o = a.object(0);
    std::optional<Float64View> view = Float64View::array_argument(o, "draws");
    if (!view) {
        if (PyObject_CheckBuffer(o)) {
            raise(PyExc_ValueError, std::string(kExpected) + ", got a 0-dimensional buffer");
        }
        raise(PyExc_TypeError, std::string(kExpected) + ", got '" + type_name(o) + "'");
    }
    const auto shape = view->shape();
    if (shape.size() != 2 && shape.size() != 3) {
        raise(PyExc_ValueError, std::string(kExpected) + ", got shape " + shape_text(shape));
    }
    const DrawsShape draws_shape{static_cast<std::size_t>(shape[0]),
                                 static_cast<std::size_t>(shape[1]),
                                 shape.size() == 3 ? static_cast<std::size_t>(shape[2]) : 1};
    std::vector<double> scratch;
    const std::span<const double> values = view->elements(scratch);
    if (const std::string why = diagnostics_refusal(values, draws_shape); !why.empty()) {
        raise(PyExc_ValueError, "argument 'draws': " + why);
    }
    const ChainDiagnostics d = chain_diagnostics(values, draws_shape);
    PyRef result = PyRef::steal(check(PyDict_New()));
    set_item(result.get(), "rhat", d.rhat);
    set_item(result.get(), "ess_bulk", d.ess_bulk);
    set_item(result.get(), "ess_tail", d.ess_tail);
    set_item(result.get(), "mcse_mean", d.mcse_mean);
    return result.release();
}

PyMethodDef diagnostics_functions[] = {
    function<kDiagnostics, &diagnostics>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void register_diagnostics(PyObject* module) { register_functions(module, diagnostics_functions); }

}  // namespace varnix::py
