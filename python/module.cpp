// The tallowmere_dat package's extension, tallowmere_dat._core: the C++ library's archive,
// retrieval, checks and sound-table decoder, with failures as a small exception hierarchy.
// Library calls run with the GIL released; Python objects are made only once it is held again.

#include <pybind11/pybind11.h>

#include "archive.h"
#include "diff.h"
#include "errors.h"
#include "records.h"

PYBIND11_MODULE(_core, m) {
  namespace python = tallowmere_dat::python;
  m.doc() = "Reads Tallowmere data archives; import it as tallowmere_dat.";
  m.attr("__version__") = TALLOWMERE_VERSION;
  python::add_exceptions(m);
  python::bind_records(m);
  python::bind_archive(m);
  python::bind_diff(m);
}
