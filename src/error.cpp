#include "tallowmere_dat/error.h"

#include "debug_text.h"
#include "format_detail.h"
#include "message_detail.h"

namespace tallowmere_dat {
namespace {

std::string tuple(std::string_view name, const std::string& payload) {
  return std::string(name) + "(" + payload + ")";
}

std::string quoted(const std::string& text) {
  return detail::quote_debug(text);
}

struct DebugVisitor {
  std::string operator()(const DatError::Io& e) const { return tuple("Io", e.error.debug()); }
  std::string operator()(const DatError::BinRead& e) const {
    return tuple("BinRead", e.error.display());
  }
  std::string operator()(const DatError::NotFound& e) const {
    return tuple("NotFound", std::to_string(e.id));
  }
  std::string operator()(const DatError::DuplicateId& e) const {
    return tuple("DuplicateId", std::to_string(e.id));
  }
  std::string operator()(const DatError::DuplicateNamespacedId& e) const {
    return "DuplicateNamespacedId { namespace: " + quoted(e.namespace_) +
           ", file_id: " + std::to_string(e.file_id) + " }";
  }
  std::string operator()(const DatError::InvalidMagic& e) const {
    return tuple("InvalidMagic", quoted(e.message));
  }
  std::string operator()(const DatError::UnsupportedVersion& e) const {
    return tuple("UnsupportedVersion", std::to_string(e.version));
  }
  std::string operator()(const DatError::InvalidNamespace& e) const {
    return tuple("InvalidNamespace", quoted(e.message));
  }
  std::string operator()(const DatError::Corruption& e) const {
    return tuple("Corruption", quoted(e.message));
  }
  std::string operator()(const DatError::DecompressionFailed& e) const {
    return tuple("DecompressionFailed", std::to_string(e.value));
  }
  std::string operator()(const DatError::PathError& e) const {
    return "PathError { path: " + quoted(e.path.native()) + ", source: " + e.source.debug() + " }";
  }
  std::string operator()(const DatError::Other& e) const {
    return tuple("Other", quoted(e.message));
  }
};

/// What the records that the archive reader reads are called in messages.
struct RecordSubject {
  std::string_view record;
  std::string_view subject;
};
constexpr RecordSubject kRecordSubjects[] = {
    {"DatHeader", "archive header"},
    {"DatFileEntry", "directory entry"},
};

struct MessageVisitor {
  std::string operator()(const DatError::Io& e) const {
    return detail::io_message(e.error, "archive");
  }
  std::string operator()(const DatError::BinRead& e) const {
    const std::string_view record = detail::failed_record(e.error);
    for (const auto& known : kRecordSubjects) {
      if (known.record == record) {
        return detail::read_error_message(e.error, known.subject, known.record);
      }
    }
    return detail::read_error_message(e.error, "archive", {});
  }
  std::string operator()(const DatError::NotFound& e) const {
    return "file " + detail::hex32(e.id) + " not found";
  }
  std::string operator()(const DatError::DuplicateId& e) const {
    return "duplicate file " + detail::hex32(e.id);
  }
  std::string operator()(const DatError::DuplicateNamespacedId& e) const {
    return "duplicate file " + detail::hex32(e.file_id) + " in namespace '" + e.namespace_ + "'";
  }
  std::string operator()(const DatError::InvalidMagic& e) const {
    return "invalid magic number: " + e.message;
  }
  std::string operator()(const DatError::UnsupportedVersion& e) const {
    return "unsupported archive version " + std::to_string(e.version);
  }
  std::string operator()(const DatError::InvalidNamespace& e) const {
    return "invalid namespace: " + e.message;
  }
  std::string operator()(const DatError::Corruption& e) const {
    return "corrupt archive: " + e.message;
  }
  std::string operator()(const DatError::DecompressionFailed& e) const {
    return "file " + detail::hex32(e.value) +
           " is damaged: its compressed stream ends before the size it declares";
  }
  std::string operator()(const DatError::PathError& e) const {
    return "cannot open '" + e.path.native() + "': " + e.source.message();
  }
  std::string operator()(const DatError::Other& e) const { return e.message; }
};

}  // namespace

std::string DatError::debug() const {
  return std::visit(DebugVisitor{}, kind_);
}

// Escaped once, as a whole: the parts built here hold nothing unprintable of their own.
std::string DatError::message() const {
  return detail::escape_unprintable(std::visit(MessageVisitor{}, kind_));
}

}  // namespace tallowmere_dat
