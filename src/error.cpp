#include "tallowmere_dat/error.h"

#include "debug_text.h"

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

}  // namespace

std::string DatError::debug() const {
  return std::visit(DebugVisitor{}, kind_);
}

}  // namespace tallowmere_dat
