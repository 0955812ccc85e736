#pragma once

// The module's exception hierarchy, and the translation of library failures into it.

#include <pybind11/pybind11.h>

#include <cstdint>
#include <expected>
#include <string>
#include <utility>

#include "tallowmere_dat/tallowmere_dat.h"

namespace tallowmere_dat::python {

/// Library failures thrown through the binding; the registered translator turns them into
/// Python exceptions.
struct DatFailure {
  DatError error;
};
struct ReadFailure {
  ReadError error;
};
/// A sound table of the archive that doesn't decode: raised as `BinReadError`, with `message`.
struct TableFailure {
  DatError error;
  std::string message;
};

/// The exception `error` is raised as: an instance of the DatError subclass of its kind (and of
/// the OSError subclass its errno selects), not raised.
pybind11::object dat_exception(const DatError& error);

/// Adds DatError and its subclasses to `m` and registers the translator.
void add_exceptions(pybind11::module_& m);

/// NotFoundError for a key that is an int but no identifier of the archive (negative, or
/// beyond 32 bits), as pybind11's exception.
pybind11::error_already_set not_found(const pybind11::int_& key);

template <typename T>
T value_or_throw(std::expected<T, DatError> result) {
  if (!result) throw DatFailure{std::move(result.error())};
  if constexpr (!std::is_void_v<T>) return std::move(*result);
}

template <typename T>
T value_or_throw(std::expected<T, ReadError> result) {
  if (!result) throw ReadFailure{std::move(result.error())};
  return std::move(*result);
}

}  // namespace tallowmere_dat::python
