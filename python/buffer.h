#pragma once

// Borrowing the bytes of Python objects, and running library calls without the GIL.

#include <pybind11/pybind11.h>

#include <cstdint>
#include <span>
#include <utility>

namespace tallowmere_dat::python {

/// Runs `work` with the GIL released; `work` must not touch Python objects. Exceptions it throws
/// arrive with the GIL held again.
template <typename F>
auto without_gil(F&& work) {
  const pybind11::gil_scoped_release released;
  return std::forward<F>(work)();
}

/// The bytes of any bytes-like object (bytes, bytearray, memoryview, array, mmap), held for the
/// object's life: while it lives a bytearray can't be resized, so the bytes may be read with
/// the GIL released.
class BytesLike {
 public:
  /// Raises TypeError for an object that isn't bytes-like or isn't contiguous.
  explicit BytesLike(const pybind11::object& data) {
    if (PyObject_GetBuffer(data.ptr(), &view_, PyBUF_SIMPLE) != 0) {
      throw pybind11::error_already_set();
    }
  }
  BytesLike(const BytesLike&) = delete;
  BytesLike& operator=(const BytesLike&) = delete;
  ~BytesLike() { PyBuffer_Release(&view_); }

  /// Whether the object's bytes can't be written through its buffer.
  bool read_only() const { return view_.readonly != 0; }

  std::span<const std::uint8_t> span() const {
    return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
};

}  // namespace tallowmere_dat::python
