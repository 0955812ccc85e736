#pragma once

// The pieces that the errors' one-line messages share. They give raw text: each public
// `message()` escapes its whole line once, at the end.

#include <string>
#include <string_view>

#include "tallowmere_dat/io_error.h"
#include "tallowmere_dat/read_error.h"

namespace tallowmere_dat::detail {

/// "<subject> cut short: <text>" for an end-of-data error, else "cannot read <subject>: <text>".
std::string io_message(const IoError& error, std::string_view subject);

/// `error` as one line, its failures said of `subject` (e.g. "data" or "archive header"). Field
/// frames of `record` leave out " in <record>", since the subject already names it.
std::string read_error_message(const ReadError& error, std::string_view subject,
                               std::string_view record);

/// The record named by the innermost field frame of `error`, or empty if it has none.
std::string_view failed_record(const ReadError& error);

}  // namespace tallowmere_dat::detail
