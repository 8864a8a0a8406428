// Methods only ever see objects that hold a constructed native value.
//
// pybind11 lets Python make an instance without running its constructor
// (Cls.__new__(Cls), or a __reduce__ whose __setstate__ never builds the value)
// and, on first use, hands methods a block of uninitialised memory in its
// place. It also passes None for a pointer `self` when a method is called
// unbound. Every class of the extension is marked as a bound value below; its
// caster refuses both cases with TypeError before any method runs.
#pragma once

#include <pybind11/pybind11.h>

#include <concepts>
#include <string>

namespace varnok {
class Episode;
struct State;
struct PgnGame;
}  // namespace varnok

namespace varnok::binding {

// A native type registered as a Python class: the episode types by name, the
// binding's own object structs by declaring `using bound_value = void;`.
template <class T>
inline constexpr bool kIsBoundValue = requires { typename T::bound_value; };
template <>
inline constexpr bool kIsBoundValue<Episode> = true;
template <>
inline constexpr bool kIsBoundValue<State> = true;
template <>
inline constexpr bool kIsBoundValue<PgnGame> = true;

template <class T>
concept BoundValue = kIsBoundValue<T>;

}  // namespace varnok::binding

// The caster below reads pybind11's detail::instance (whether the holder
// was constructed): pybind11 offers no public way to ask. Its layout is
// checked twice: here against the pybind11 series it was written for, so an
// upgrade stops the build instead of changing behaviour silently, and by
// tests/python/test_hostile_use.py, which calls every method of every class
// on an instance made through __new__ and expects this TypeError (a crash
// there fails the test in its child process).
static_assert(PYBIND11_VERSION_MAJOR == 3,
              "module/live_instance.hpp reads pybind11::detail::instance: check it against this pybind11 "
              "release (and run tests/python/test_hostile_use.py) before allowing it here");

namespace pybind11::detail {

template <varnok::binding::BoundValue T>
class type_caster<T> : public type_caster_base<T> {
  using Base = type_caster_base<T>;

 public:
  bool load(handle source, bool convert) {
    if (source.is_none()) return false;  // no method takes None for an instance
    if (PyObject_TypeCheck(source.ptr(), this->typeinfo->type)) {
      auto* instance = reinterpret_cast<detail::instance*>(source.ptr());
      const value_and_holder value = instance->get_value_and_holder(this->typeinfo, false);
      if (!value || !value.holder_constructed())
        throw type_error(std::string("this ") + this->typeinfo->type->tp_name +
                         " was never initialised: make it by calling the class, not through __new__");
    }
    return Base::load(source, convert);
  }
};

}  // namespace pybind11::detail

namespace varnok::binding {

// The native value of a method's `self` taken as a Python object (a method
// that ties the arrays it returns to it): TypeError, as for any other method,
// for None, an object of another class, or one never initialised.
template <BoundValue T>
T& value_of(const pybind11::handle& self) {
  pybind11::detail::make_caster<T> caster;
  if (!caster.load(self, false))
    throw pybind11::type_error(std::string("this method needs a ") +
                               pybind11::detail::get_type_info(typeid(T))->type->tp_name + ", got " +
                               Py_TYPE(self.ptr())->tp_name);
  return pybind11::detail::cast_op<T&>(caster);
}

}  // namespace varnok::binding
