// A non-owning reference to a callable, the way user functions reach the numerical core.
//
// The core never owns a user function: the binding layer (or a test) keeps the callable alive
// for the duration of the call and hands the core a FunctionRef to it. Copying is two pointers.
#pragma once

#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

namespace varnix {

template <class Signature>
class FunctionRef;

template <class R, class... Args>
class FunctionRef<R(Args...)> {
public:
    template <class F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef> &&
                 std::is_invocable_r_v<R, F&, Args...>)
    FunctionRef(F&& f) noexcept  // NOLINT(google-explicit-constructor): meant to convert
        : object_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
          call_([](void* obj, Args... args) -> R {
              return std::invoke(*static_cast<std::remove_reference_t<F>*>(obj),
                                 std::forward<Args>(args)...);
          }) {}

    R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

private:
    void* object_;
    R (*call_)(void*, Args...);
};

}  // namespace varnix
