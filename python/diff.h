#pragma once

// The diff of two archives and of two sound tables, as Python sees them.

#include <pybind11/pybind11.h>

namespace tallowmere_dat::python {

/// Adds diff(), DiffReport, its record types and SoundTable.diff to `m` (after bind_archive).
void bind_diff(pybind11::module_& m);

}  // namespace tallowmere_dat::python
