#include "python/bridge.hpp"

#include <algorithm>

#include "python/buffers.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

namespace varnix::py {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

thread_local PythonCalls* innermost = nullptr;

// Every this many user calls of one call from Python, pending signals are checked (a user
// function written in C runs no bytecode, so the interpreter would not check them) and
// the call's watcher (the progress display) is told.
constexpr std::uint64_t signal_check_calls = 1024;
constexpr std::uint64_t progress_tick_calls = 64;

// Holds the interpreter lock for the scope of one user call. Inside a call from Python the
// thread holds it already (see PythonCalls), and asking the interpreter again would cost
// two thread-state lookups per user call; anywhere else (python_calls_in_progress 0: no call
// from Python, or one that has released the lock for work without Python objects) it is
// acquired here.
class EnsureLock {
public:
    EnsureLock() : acquired_(python_calls_in_progress == 0) {
        if (acquired_) state_ = PyGILState_Ensure();
    }
    ~EnsureLock() {
        if (acquired_) PyGILState_Release(state_);
    }
    EnsureLock(const EnsureLock&) = delete;
    EnsureLock& operator=(const EnsureLock&) = delete;

private:
    bool acquired_;
    PyGILState_STATE state_{};
};

// Checks a new reference the bridge makes for a call (an argument, a tuple, a list). Unlike
// check(), which lets the pending Python exception end the call, a temporary that cannot be
// made (memory exhausted) is an internal fault: the bridge discards the exceptions of user
// code, and this one must not be mistaken for them.
PyObject* fault_if_null(PyObject* o) {
    if (o == nullptr) {
        PyErr_Clear();
        throw InternalFault("could not create the arguments of a user function call");
    }
    return o;
}

// The bookkeeping of the bridge keeps the successful call's path short: a counter, a store and
// two tests inline; everything else out of line.

// Every progress_tick_calls user calls of a call from Python.
[[gnu::noinline]] void on_tick(PythonCalls& calls, std::uint64_t n) {
    if (n % signal_check_calls == 0 && PyErr_CheckSignals() < 0) throw PyErrorSet{};
    if (calls.watcher != nullptr) calls.watcher->on_calls(calls);
}

inline void count_call(PythonCalls* calls, Role role) {
    if (calls == nullptr) return;
    const std::uint64_t n = ++calls->record.calls;
    calls->record.last_role = role;
    if (n % progress_tick_calls == 0) [[unlikely]] on_tick(*calls, n);
}

// A call's result as a double: true with the value in out, or false, the call having raised
// (result null) or returned something the float conversion refuses, with an exception pending
// and result still owned.
inline bool convert(PyObject* result, double& out) {
    if (result == nullptr) return false;
    const double v = PyFloat_AsDouble(result);
    if (v == -1.0 && PyErr_Occurred()) return false;
    Py_DECREF(result);
    out = v;
    return true;
}

// What a failing call did, and the Python objects behind it.
struct Failure {
    CallOutcome outcome;
    OutcomeObjects objects;
};

// The failure of a call after convert refused it. An exception that is not an Exception
// (KeyboardInterrupt, SystemExit, GeneratorExit, the module's internal fault) stays set and ends
// the current call. Otherwise it is taken off the interpreter, and what happened is returned when
// `keep` (the raised exception, or the returned object: the conversion's TypeError says less than
// the object itself), else dropped.
[[gnu::noinline]] Failure take_failure(PyObject* result, bool keep) {
    PyRef held = PyRef::steal(result);
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PyErrorSet{};
    Failure failure;
    if (!keep || result != nullptr) {
        PyErr_Clear();
        if (keep) {
            failure.outcome.what = CallOutcome::What::NotANumber;
            failure.objects.returned = std::move(held);
        }
        return failure;
    }
    // As cheap as dropping it: normalised only if a note needs it.
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    Py_XDECREF(traceback);
    failure.outcome.what = CallOutcome::What::Raised;
    failure.objects.exception_type = PyRef::steal(type);
    failure.objects.exception = PyRef::steal(value);
    return failure;
}

// Only the first failure of a call is kept in full.
inline bool keeps_failure(const PythonCalls* calls) {
    return calls != nullptr && !calls->record.first_failure;
}

bool is_density(Role role) {
    return role == Role::Density || role == Role::MultivariateDensity;
}

// Where a user call happened, for the record.
struct CallSite {
    PythonCalls* calls;
    Role role;
    std::size_t index;  // the quantile function's
    PyObject* f;
    std::span<const double> args;
    std::optional<std::size_t> i;
};

std::unique_ptr<RecordedCall> record(const CallSite& site) {
    auto call = std::make_unique<RecordedCall>();
    call->role = site.role;
    call->index = site.index;
    call->args.assign(site.args.begin(), site.args.end());
    call->i = site.i;
    return call;
}

[[gnu::noinline]] void note_failure(const CallSite& site, Failure&& failure,
                                    std::optional<Failure> list_form = std::nullopt) {
    PythonCalls* calls = site.calls;
    if (calls == nullptr || calls->record.failures++ != 0) return;
    calls->record.first_failure = record(site);
    calls->record.first_failure->outcome = failure.outcome;
    calls->first_failure.callable = PyRef::borrow(site.f);
    calls->first_failure.outcome = std::move(failure.objects);
    if (list_form) {
        calls->record.first_failure->list_form = list_form->outcome;
        calls->first_failure.list_form = std::move(list_form->objects);
    }
}

// A value that needs a look: NaN counts as a failure; a negative density value is noted apart.
[[gnu::noinline]] void note_value(const CallSite& site, double v) {
    PythonCalls* calls = site.calls;
    if (std::isnan(v)) {
        Failure failure;
        failure.outcome.value = v;
        note_failure(site, std::move(failure));
    } else if (is_density(site.role) && calls->record.negatives++ == 0) {
        calls->record.first_negative = record(site);
        calls->record.first_negative->outcome.value = v;
        calls->first_negative = PyRef::borrow(site.f);
    }
}

// The value of a successful call, looked at when it may need noting.
inline double returned(const CallSite& site, double v) {
    if (site.calls != nullptr && (std::isnan(v) || v < 0.0)) [[unlikely]] note_value(site, v);
    return v;
}

// The argument tuple of a call with d floats: the call's spare one when it has d
// items and no other holder (a Python function's *args is a tuple of its own, so the callee
// normally lets go of it), else a new one. Its items are replaced by the caller.
PyRef argument_tuple(PythonCalls* calls, std::size_t d) {
    if (calls != nullptr && calls->spare_arguments) {
        PyObject* spare = calls->spare_arguments.get();
        if (Py_REFCNT(spare) == 1 && PyTuple_Size(spare) == static_cast<Py_ssize_t>(d)) {
            return std::move(calls->spare_arguments);
        }
        calls->spare_arguments = PyRef();
    }
    return PyRef::steal(fault_if_null(PyTuple_New(static_cast<Py_ssize_t>(d))));
}

// f(x0, ..., xd-1) (d >= 0) with new floats, through the call's spare argument tuple: with
// the tuple reused, this costs less than passing the floats without a tuple, as the vectorcall
// functions of the limited API do (measured). The tuple's floats go to the keeper, if any.
PyObject* call_with_floats(PyObject* f, std::span<const double> x, PythonCalls* calls,
                           ArgumentKeeper* keeper = nullptr) {
    PyRef args = argument_tuple(calls, x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        // Replaces (and releases) the item a spare tuple had from its last call. It fails only
        // for a tuple someone else holds, which argument_tuple never hands out.
        if (PyTuple_SetItem(args.get(), static_cast<Py_ssize_t>(i),
                            fault_if_null(PyFloat_FromDouble(x[i]))) != 0) {
            PyErr_Clear();
            throw InternalFault("an argument tuple in use was about to be refilled");
        }
    }
    if (keeper != nullptr) keeper->keep(args.get(), x);
    PyObject* result = PyObject_Call(f, args.get(), nullptr);
    if (calls != nullptr) calls->spare_arguments = std::move(args);
    return result;
}

PyRef float_list(std::span<const double> values) {
    PyRef list =
        PyRef::steal(fault_if_null(PyList_New(static_cast<Py_ssize_t>(values.size()))));
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i),
                       fault_if_null(PyFloat_FromDouble(values[i])));
    }
    return list;
}

}  // namespace

ArgumentKeeper::ArgumentKeeper(std::size_t d)
    : d_(d), values_(calls_kept * d), objects_(calls_kept * d, nullptr) {}

ArgumentKeeper::~ArgumentKeeper() {
    for (PyObject* o : objects_) Py_XDECREF(o);
}

void ArgumentKeeper::keep(PyObject* tuple, std::span<const double> x) {
    if (x.size() != d_) return;
    PyObject** row = objects_.data() + next_ * d_;
    for (std::size_t j = 0; j < d_; ++j) {
        PyObject* const o = PyTuple_GetItem(tuple, static_cast<Py_ssize_t>(j));  // borrowed
        Py_INCREF(o);
        Py_XDECREF(row[j]);
        row[j] = o;
    }
    std::memcpy(values_.data() + next_ * d_, x.data(), d_ * sizeof(double));
    next_ = next_ + 1 == calls_kept ? 0 : next_ + 1;
    if (kept_ < calls_kept) ++kept_;
}

PyObject* const* ArgumentKeeper::find(std::span<const double> point) const {
    if (point.size() != d_ || d_ == 0) return nullptr;
    std::size_t slot = next_;
    for (std::size_t c = 0; c < kept_; ++c) {
        slot = slot == 0 ? calls_kept - 1 : slot - 1;
        // Bit for bit: -0.0 and 0.0 are different floats.
        if (std::memcmp(values_.data() + slot * d_, point.data(), d_ * sizeof(double)) == 0) {
            return objects_.data() + slot * d_;
        }
    }
    return nullptr;
}

PythonCalls::PythonCalls() noexcept : enclosing_(innermost) {
    ++python_calls_in_progress;
    innermost = this;
}

PythonCalls::~PythonCalls() {
    innermost = enclosing_;
    --python_calls_in_progress;
}

PythonCalls* PythonCalls::current() noexcept { return innermost; }

void PythonCalls::drop_recorded() noexcept {
    record.first_failure.reset();
    record.first_negative.reset();
    record.hint.reset();
    first_failure = CallObjects{};
    first_negative = PyRef();
}

// A callable cleared by the garbage collector (only while a reference cycle is torn down)
// counts as one that fails.

double call_scalar(PyObject* f, double x, Role role, PythonCalls* calls) {
    if (f == nullptr) return nan;
    EnsureLock lock;
    count_call(calls, role);
    const CallSite site{calls, role, 0, f, {&x, 1}, std::nullopt};
    PyObject* result = call_with_floats(f, {&x, 1}, calls);
    double out;
    if (convert(result, out)) return returned(site, out);
    note_failure(site, take_failure(result, keeps_failure(calls)));
    return nan;
}

SampleResult<double> call_scalar_checked(PyObject* f, double u, std::size_t index) {
    if (f == nullptr) return std::unexpected(SampleError::of(SampleErrorKind::InversionFailed));
    PythonCalls* const calls = innermost;
    EnsureLock lock;
    count_call(calls, Role::QuantileFunction);
    PyObject* result = call_with_floats(f, {&u, 1}, calls);
    double out;
    if (convert(result, out)) return out;
    const CallSite site{calls, Role::QuantileFunction, index, f, {&u, 1}, std::nullopt};
    note_failure(site, take_failure(result, keeps_failure(calls)));
    return std::unexpected(SampleError::of(SampleErrorKind::InversionFailed));
}

// f(x0, ..., xd-1) first, then f([x0, ..., xd-1]): the second call only when the first fails.
// Evaluation order is frozen (docs/architecture.md).
double call_vector(PyObject* f, std::span<const double> x, Role role,
                   PythonCalls* calls, ArgumentKeeper* keeper) {
    if (f == nullptr) return nan;
    EnsureLock lock;
    count_call(calls, role);
    const CallSite site{calls, role, 0, f, x, std::nullopt};
    PyObject* result = call_with_floats(f, x, calls, keeper);
    double out;
    if (convert(result, out)) return returned(site, out);
    Failure separate = take_failure(result, keeps_failure(calls));
    PyRef list = float_list(x);
    PyRef list_args = PyRef::steal(fault_if_null(PyTuple_New(1)));
    PyTuple_SetItem(list_args.get(), 0, list.release());
    result = PyObject_Call(f, list_args.get(), nullptr);
    if (convert(result, out)) return returned(site, out);
    Failure as_list = take_failure(result, keeps_failure(calls));
    note_failure(site, std::move(separate), std::move(as_list));
    return nan;
}

namespace {

// out := the numbers of a gradient result (a sequence of out.size() numbers); false, with a
// Python error set, otherwise.
bool convert_gradient(PyObject* g, std::span<double> out) {
    if (!PySequence_Check(g)) {
        PyErr_SetString(PyExc_TypeError, "the gradient is not a sequence");
        return false;
    }
    const Py_ssize_t size = PySequence_Size(g);
    if (size < 0) return false;
    if (size != static_cast<Py_ssize_t>(out.size())) {
        PyErr_SetString(PyExc_ValueError, "the gradient has the wrong number of components");
        return false;
    }
    for (std::size_t j = 0; j < out.size(); ++j) {
        PyRef item = PyRef::steal(PySequence_GetItem(g, static_cast<Py_ssize_t>(j)));
        if (!item) return false;
        const double v = PyFloat_AsDouble(item.get());
        if (v == -1.0 && PyErr_Occurred()) return false;
        out[j] = v;
    }
    return true;
}

// A gradient call's result into out (and value): true when it has the expected shape, the
// result then released; otherwise false with a Python error set and the result still owned
// (null when the call raised).
bool convert_gradient_result(PyObject* result, std::span<double> out, bool with_value,
                             double& value) {
    if (result == nullptr) return false;
    if (!with_value) {
        if (!convert_gradient(result, out)) return false;
    } else {
        if (!PyTuple_Check(result) || PyTuple_Size(result) != 2) {
            PyErr_SetString(PyExc_TypeError, "not a (log density, gradient) pair");
            return false;
        }
        const double v = PyFloat_AsDouble(PyTuple_GetItem(result, 0));
        if (v == -1.0 && PyErr_Occurred()) return false;
        if (!convert_gradient(PyTuple_GetItem(result, 1), out)) return false;
        value = v;
    }
    Py_DECREF(result);
    return true;
}

}  // namespace

// grad(x0, ..., xd-1) first, then grad([x0, ..., xd-1]): the second call only when the first
// fails. A result of the wrong shape is recorded as one that is not a number, the object kept.
double call_gradient(PyObject* f, std::span<const double> x, std::span<double> out,
                     bool with_value, PythonCalls* calls) {
    const Role role = with_value ? Role::LogDensityAndGradient : Role::Gradient;
    std::fill(out.begin(), out.end(), nan);
    if (f == nullptr) return nan;
    EnsureLock lock;
    count_call(calls, role);
    const CallSite site{calls, role, 0, f, x, std::nullopt};
    double value = nan;
    PyObject* result = call_with_floats(f, x, calls);
    if (convert_gradient_result(result, out, with_value, value)) return value;
    Failure separate = take_failure(result, keeps_failure(calls));
    PyRef list = float_list(x);
    PyRef list_args = PyRef::steal(fault_if_null(PyTuple_New(1)));
    PyTuple_SetItem(list_args.get(), 0, list.release());
    result = PyObject_Call(f, list_args.get(), nullptr);
    if (convert_gradient_result(result, out, with_value, value)) return value;
    Failure as_list = take_failure(result, keeps_failure(calls));
    note_failure(site, std::move(separate), std::move(as_list));
    std::fill(out.begin(), out.end(), nan);
    return nan;
}

double call_indexed(PyObject* f, std::size_t i, std::span<const double> values, Role role,
                    PythonCalls* calls) {
    if (f == nullptr) return nan;
    EnsureLock lock;
    count_call(calls, role);
    PyObject* index = fault_if_null(PyLong_FromSize_t(i));
    PyRef args = PyRef::steal(PyTuple_New(2));
    if (!args) {
        Py_DECREF(index);
        fault_if_null(nullptr);
    }
    PyTuple_SetItem(args.get(), 0, index);
    PyTuple_SetItem(args.get(), 1, float_list(values).release());
    const CallSite site{calls, role, 0, f, values, i};
    PyObject* result = PyObject_Call(f, args.get(), nullptr);
    double out;
    if (convert(result, out)) return returned(site, out);
    note_failure(site, take_failure(result, keeps_failure(calls)));
    return nan;
}

// f(points) for a function over arrays. Evaluation order is frozen (docs/architecture.md): the
// values are those f returns, point by point, and the points are looked at in order.
void call_batch(PyObject* f, std::span<const double> points, std::size_t d,
                std::span<double> values, Role role, PythonCalls* calls) {
    std::fill(values.begin(), values.end(), nan);
    const std::size_t m = values.size();
    if (f == nullptr || m == 0) return;
    EnsureLock lock;
    count_call(calls, role);
    const std::size_t width = std::max<std::size_t>(d, 1);
    const Py_ssize_t one[] = {static_cast<Py_ssize_t>(m)};
    const Py_ssize_t two[] = {static_cast<Py_ssize_t>(m), static_cast<Py_ssize_t>(width)};
    PyRef array = role == Role::MultivariateDensity
                      ? new_numpy_array(two, "a vectorized function")
                      : new_numpy_array(one, "a vectorized function");
    {
        const Float64View in = Float64View::writable(array.get(), "points");
        std::copy(points.begin(), points.begin() + static_cast<std::ptrdiff_t>(m * width),
                  in.flat().begin());
    }
    const std::span<const double> first = points.first(std::min(width, points.size()));
    CallSite site{calls, role, 0, f, first, std::nullopt};
    PyRef args = PyRef::steal(fault_if_null(PyTuple_New(1)));
    PyTuple_SetItem(args.get(), 0, array.release());
    PyObject* result = PyObject_Call(f, args.get(), nullptr);
    auto record_points = [&] {
        if (calls != nullptr && calls->record.first_failure) {
            calls->record.first_failure->points = m;
        }
    };
    if (result == nullptr) {
        const bool fresh = keeps_failure(calls);
        note_failure(site, take_failure(nullptr, fresh));
        if (fresh) record_points();
        return;
    }
    PyRef held = PyRef::steal(result);
    // The result: a buffer of m float64 values in one dimension (numpy's array, a memoryview).
    auto as_array = [result]() -> std::optional<Float64View> {
        try {
            return Float64View::array_argument(result, "result");
        } catch (const PyErrorSet&) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
            PyErr_Clear();  // a buffer of another item type
            return std::nullopt;
        }
    };
    const std::optional<Float64View> out = as_array();
    if (!out || out->ndim() != 1 || out->size() != m) {
        const bool fresh = keeps_failure(calls);
        Failure failure;
        failure.outcome.what = CallOutcome::What::WrongArray;
        if (fresh) failure.objects.returned = std::move(held);
        note_failure(site, std::move(failure));
        if (fresh) record_points();
        return;
    }
    std::vector<double> scratch;
    const std::span<const double> got = out->elements(scratch);
    for (std::size_t k = 0; k < m; ++k) {
        const CallSite at{calls, role, 0, f, points.subspan(k * width, width), std::nullopt};
        values[k] = returned(at, got[k]);
    }
}

}  // namespace varnix::py
