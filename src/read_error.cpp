#include "tallowmere_dat/read_error.h"

#include <cstddef>
#include <optional>
#include <string_view>

#include "debug_text.h"
#include "format_detail.h"
#include "message_detail.h"
#include "record_reader.h"

namespace tallowmere_dat {
namespace {

constexpr std::string_view kBoldOn = "\x1b[1m";
constexpr std::string_view kBoldOff = "\x1b[22m";

std::string repeat(std::string_view piece, std::size_t count) {
  std::string out;
  out.reserve(piece.size() * count);
  for (std::size_t i = 0; i < count; ++i)
    out += piece;
  return out;
}

/// A position as the display rendering writes it after "0x": lower case, no leading zeros.
std::string pos_hex(std::uint64_t value) {
  return detail::hex(value, 1, detail::HexCase::lower);
}

template <typename T>
bool same_pointee(const std::shared_ptr<const T>& a, const std::shared_ptr<const T>& b) {
  if (!a || !b) return a == b;
  return *a == *b;
}

std::string render_backtrace(const ReadError::Backtrace& bt) {
  // Built by appending: GCC 12 reports a false overlap for `"literal" + std::string&&` chains.
  std::string out = "\n \u257a";
  out += repeat("\u2501", 20);
  out += "\u2505 Backtrace \u2505";
  out += repeat("\u2501", 20);
  out += "\u2578\n\n";
  const std::string innermost = bt.error ? bt.error->display() : std::string();
  const bool enum_errors = bt.error && bt.error->get_if<ReadError::EnumErrors>() != nullptr;
  for (std::size_t i = 0; i < bt.frames.size(); ++i) {
    const BacktraceFrame& frame = bt.frames[i];
    out += ' ';
    out += std::to_string(i);
    out += ": ";
    out += kBoldOn;
    if (i == 0) {
      out += kBoldOn;
      out += "Error: ";
      out += innermost;
      out += kBoldOff;
      out += "\n    ";
      out += enum_errors ? "..." : "       ";
      out += kBoldOn;
      out += frame.message();
      out += kBoldOff;
    } else {
      out += frame.message();
    }
    out += kBoldOff;
    out += '\n';
    if (const auto* full = std::get_if<BacktraceFrame::Full>(&frame.kind())) {
      out += "     at ";
      out += full->file;
      out += ':';
      out += std::to_string(full->line);
      out += '\n';
      if (full->code) out += *full->code;
    }
  }
  out += "\n \u257a";
  out += repeat("\u2501", 53);
  out += "\u2578\n\n";
  return out;
}

struct DisplayVisitor {
  std::string operator()(const ReadError::BadMagic& e) const {
    return "bad magic at 0x" + pos_hex(e.pos) + ": " + e.found;
  }
  std::string operator()(const ReadError::AssertFail& e) const {
    return e.message + " at 0x" + pos_hex(e.pos);
  }
  std::string operator()(const ReadError::Io& e) const { return e.error.display(); }
  std::string operator()(const ReadError::Custom& e) const {
    return e.err + " at 0x" + pos_hex(e.pos);
  }
  std::string operator()(const ReadError::NoVariantMatch& e) const {
    return "no variants matched at 0x" + pos_hex(e.pos);
  }
  std::string operator()(const ReadError::EnumErrors& e) const {
    std::string out = "no variants matched at 0x" + pos_hex(e.pos) + ":";
    for (const auto& [name, error] : e.variant_errors)
      out += "\n  " + name + ": " + error.display();
    return out;
  }
  std::string operator()(const ReadError::Backtrace& e) const { return render_backtrace(e); }
};

/// The field and record of a frame that the record reader added.
struct FieldFrame {
  std::string_view field;
  std::string_view record;
};

/// Reads a record reader's frame back, for messages that name the field without the frame's
/// wording.
std::optional<FieldFrame> field_frame(const BacktraceFrame& frame) {
  using detail::kFieldFrameJoint;
  using detail::kFieldFrameLead;
  const auto* full = std::get_if<BacktraceFrame::Full>(&frame.kind());
  if (full == nullptr || !full->message.starts_with(kFieldFrameLead)) return std::nullopt;
  const std::string_view rest = std::string_view(full->message).substr(kFieldFrameLead.size());
  const std::size_t joint = rest.find(kFieldFrameJoint);
  if (joint == std::string_view::npos) return std::nullopt;
  return FieldFrame{rest.substr(0, joint), rest.substr(joint + kFieldFrameJoint.size())};
}

struct MessageVisitor {
  std::string_view subject;
  std::string_view record;

  std::string at(std::uint64_t pos) const {
    return std::string(subject) + " at offset 0x" + detail::hex(pos, 1);
  }
  std::string operator()(const ReadError::BadMagic& e) const {
    return "bad magic number in " + at(e.pos) + ": found " + e.found;
  }
  std::string operator()(const ReadError::AssertFail& e) const {
    return "invalid " + at(e.pos) + ": " + e.message;
  }
  std::string operator()(const ReadError::Io& e) const {
    return detail::io_message(e.error, subject);
  }
  std::string operator()(const ReadError::Custom& e) const {
    return "invalid " + at(e.pos) + ": " + e.err;
  }
  std::string operator()(const ReadError::NoVariantMatch& e) const {
    return "no variant matched in " + at(e.pos);
  }
  std::string operator()(const ReadError::EnumErrors& e) const {
    std::string out = (*this)(ReadError::NoVariantMatch{e.pos});
    std::string_view separator = " (";
    for (const auto& [name, error] : e.variant_errors) {
      out += separator;
      out += name;
      out += ": ";
      out += std::visit(*this, error.kind());
      separator = "; ";
    }
    if (!e.variant_errors.empty()) out += ')';
    return out;
  }
  // The innermost cause first, then each frame outwards: a field frame as "while reading field",
  // any other frame as a clause of its own.
  std::string operator()(const ReadError::Backtrace& e) const {
    std::string out =
        e.error ? std::visit(*this, e.error->kind()) : "cannot read " + std::string(subject);
    for (const BacktraceFrame& frame : e.frames) {
      if (const std::optional<FieldFrame> field = field_frame(frame)) {
        out += " while reading field '";
        out += field->field;
        out += '\'';
        if (field->record != record) {
          out += " in ";
          out += field->record;
        }
      } else {
        out += "; ";
        out += frame_text(frame);
      }
    }
    return out;
  }
  std::string frame_text(const BacktraceFrame& frame) const {
    const auto* custom = std::get_if<BacktraceFrame::Custom>(&frame.kind());
    if (custom == nullptr) return frame.message();
    return custom->error ? std::visit(*this, custom->error->kind()) : std::string();
  }
};

}  // namespace

bool operator==(const BacktraceFrame::Custom& a, const BacktraceFrame::Custom& b) {
  return same_pointee(a.error, b.error);
}

bool operator==(const ReadError::EnumErrors& a, const ReadError::EnumErrors& b) {
  return a.pos == b.pos && a.variant_errors == b.variant_errors;
}

bool operator==(const ReadError::Backtrace& a, const ReadError::Backtrace& b) {
  return same_pointee(a.error, b.error) && a.frames == b.frames;
}

std::string BacktraceFrame::message() const {
  if (const auto* full = std::get_if<Full>(&kind_)) return full->message;
  if (const auto* plain = std::get_if<Message>(&kind_)) return plain->message;
  const auto& custom = std::get<Custom>(kind_);
  return custom.error ? custom.error->display() : std::string();
}

std::string ReadError::display() const {
  return std::visit(DisplayVisitor{}, kind_);
}

std::string ReadError::debug() const {
  return display();
}

std::string ReadError::message() const {
  return detail::escape_unprintable(detail::read_error_message(*this, "data", {}));
}

ReadError with_context(ReadError error, BacktraceFrame frame) {
  if (const auto* bt = error.get_if<ReadError::Backtrace>()) {
    ReadError::Backtrace extended = *bt;
    extended.frames.push_back(std::move(frame));
    return extended;
  }
  return ReadError::Backtrace{std::make_shared<const ReadError>(std::move(error)),
                              {std::move(frame)}};
}

namespace detail {

std::string read_error_message(const ReadError& error, std::string_view subject,
                               std::string_view record) {
  return std::visit(MessageVisitor{subject, record}, error.kind());
}

std::string_view failed_record(const ReadError& error) {
  if (const auto* bt = error.get_if<ReadError::Backtrace>()) {
    for (const BacktraceFrame& frame : bt->frames) {
      if (const std::optional<FieldFrame> field = field_frame(frame)) return field->record;
    }
  }
  return {};
}

}  // namespace detail

}  // namespace tallowmere_dat
