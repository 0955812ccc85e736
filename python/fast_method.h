#pragma once

// Calls the interpreter makes straight, for what runs once per file in a loop: pybind11's
// dispatcher (argument tuples, overload resolution, type lookups) costs a good part of a small
// file's read.

#include <pybind11/pybind11.h>

#include <string>

namespace tallowmere_dat::python {

/// Raises what the module's exception translators make of the exception being handled, as
/// pybind11's own methods do.
inline void raise_current_exception() {
  namespace pyd = pybind11::detail;
  try {
    throw;
  } catch (pybind11::error_already_set& error) {
    error.restore();
  } catch (...) {
    if (!pyd::apply_exception_translators(
            pyd::get_local_internals().registered_exception_translators) &&
        !pyd::apply_exception_translators(pyd::get_internals().registered_exception_translators)) {
      PyErr_SetString(PyExc_SystemError, "an exception escaped the translators");
    }
  }
}

/// The C++ object that `self`, an instance of a class bound for `T` alone, holds.
template <typename T>
T& value_of(PyObject* self) {
  auto* instance = reinterpret_cast<pybind11::detail::instance*>(self);
  return *instance->get_value_and_holder().template value_ptr<T>();
}

/// Binds `Method`, a const member function of `T` taking one `pybind11::handle` and returning a
/// Python object, as method `name(parameter)` of `cls`: a method descriptor, called with the
/// vectorcall protocol, that takes its argument by position or by keyword. A call with another
/// number of arguments raises TypeError; the method's exceptions are translated as pybind11
/// translates them.
template <auto Method, typename T>
void def_one_argument_method(pybind11::class_<T>& cls, const char* name, const char* parameter,
                             const char* doc) {
  // The interpreter keeps pointers to the definition and its texts for its whole life.
  static const std::string method_name = name;
  static const std::string parameter_name = parameter;
  static const std::string documented =
      method_name + "($self, " + parameter_name + ")\n--\n\n" + doc;
  static constexpr auto kCall = +[](PyObject* self, PyObject* const* args, Py_ssize_t count,
                                    PyObject* keywords) -> PyObject* {
    const Py_ssize_t named = keywords == nullptr ? 0 : PyTuple_GET_SIZE(keywords);
    if (count + named != 1 ||
        (named == 1 && PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(keywords, 0),
                                                        parameter_name.c_str()) != 0)) {
      PyErr_Format(PyExc_TypeError, "%s() takes exactly one argument, %s", method_name.c_str(),
                   parameter_name.c_str());
      return nullptr;
    }
    try {
      return (value_of<T>(self).*Method)(pybind11::handle(args[0])).release().ptr();
    } catch (...) {
      raise_current_exception();
      return nullptr;
    }
  };
  // The table holds every kind of method as a PyCFunction; METH_FASTCALL | METH_KEYWORDS says
  // which it is. The cast goes through void (*)(), the one the compiler lets pass.
  static PyMethodDef definition = {
      method_name.c_str(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(kCall)),
      METH_FASTCALL | METH_KEYWORDS, documented.c_str()};
  const auto descriptor = pybind11::reinterpret_steal<pybind11::object>(
      PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), &definition));
  if (!descriptor) throw pybind11::error_already_set();
  cls.attr(name) = descriptor;
}

/// Makes `Next`, a member function of `T` that returns the next item or a null object at the
/// end, what a `for` loop over `cls`'s instances calls for each item (the type's iteration
/// slot). `cls` must bind `__next__` first: a later `__next__` would replace the slot.
template <auto Next, typename T>
void set_iteration(pybind11::class_<T>& cls) {
  auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  type->tp_iternext = +[](PyObject* self) -> PyObject* {
    try {
      return (value_of<T>(self).*Next)().release().ptr();
    } catch (...) {
      raise_current_exception();
      return nullptr;
    }
  };
  PyType_Modified(type);
}

}  // namespace tallowmere_dat::python
