#pragma once

// Borrowing the bytes of Python objects, and running library calls without the GIL.

#include <pybind11/pybind11.h>
#include <sys/mman.h>
#include <unistd.h>

#include <bit>
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

/// Asks the kernel to back the fresh buffer at `data` (`size` bytes, not written yet) with huge
/// pages where it can: on these machines a fault per 4 KiB page costs several times the copy
/// into it, and a 48 MiB result would fault 12,288 times. Only advice: a buffer under 2 MiB, or
/// a kernel that declines, is left as it is.
inline void advise_huge_pages(void* data, std::size_t size) {
  constexpr std::size_t kHugePage = 2U << 20U;
  if (size < kHugePage) return;
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto start = std::bit_cast<std::uintptr_t>(data);
  const std::uintptr_t begin = (start + page - 1) / page * page;
  const std::uintptr_t end = (start + size) / page * page;
  if (end > begin) (void)::madvise(std::bit_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
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
