// Elements of the document as text appended to a string: start and end tags indented two spaces
// a level, attributes escaped, and the cvParam and userParam leaves. An Element writes its start
// tag when made and its end tag when it goes out of scope, so every tag is spelled once. Nothing
// here allocates besides the string it appends to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "src/mzml/cv.hpp"
#include "src/mzml/writer.hpp"
#include "src/mzml/xml.hpp"

namespace kestrane::mzml {

// Characters of indentation before an element at `depth`.
constexpr std::size_t indent_width(int depth) noexcept {
  return 2 * static_cast<std::size_t>(depth);
}

inline void indent(std::string& out, int depth) { out.append(indent_width(depth), ' '); }

// One attribute of a start tag: text (escaped when written), an unsigned number, or nothing (an
// attribute the element leaves out).
class Attribute {
 public:
  constexpr Attribute(std::string_view name, std::string_view text) noexcept
      : name_(name), text_(text), kind_(Kind::text) {}
  constexpr Attribute(std::string_view name, std::uint64_t number) noexcept
      : name_(name), number_(number), kind_(Kind::number) {}
  static constexpr Attribute none() noexcept { return Attribute(); }

  // Appends ` name="value"`, or nothing for none().
  void append_to(std::string& out) const {
    if (kind_ == Kind::none) return;
    out.push_back(' ');
    out.append(name_);
    out.append("=\"");
    if (kind_ == Kind::text) {
      append_escaped(out, text_);
    } else {
      append_uint(out, number_);
    }
    out.push_back('"');
  }

 private:
  enum class Kind : std::uint8_t { none, text, number };
  constexpr Attribute() noexcept : kind_(Kind::none) {}

  std::string_view name_;
  std::string_view text_;
  std::uint64_t number_ = 0;
  Kind kind_;
};

using Attributes = std::initializer_list<Attribute>;

// `<name attributes` after the indentation, without the closing bracket.
inline void open_start_tag(std::string& out, int depth, std::string_view name,
                           Attributes attributes) {
  indent(out, depth);
  out.push_back('<');
  out.append(name);
  for (const Attribute& a : attributes) a.append_to(out);
}

// A start tag on its own line, for an element whose content is written in several pieces (the
// run around the streamed spectra); end_tag closes it.
inline void start_tag(std::string& out, int depth, std::string_view name,
                      Attributes attributes = {}) {
  open_start_tag(out, depth, name, attributes);
  out.append(">\n");
}

inline void end_tag(std::string& out, int depth, std::string_view name) {
  indent(out, depth);
  out.append("</");
  out.append(name);
  out.append(">\n");
}

// An element without content: `<name attributes/>` on its own line.
inline void empty_element(std::string& out, int depth, std::string_view name,
                          Attributes attributes = {}) {
  open_start_tag(out, depth, name, attributes);
  out.append("/>\n");
}

// An element whose content is text on the line of its tags: `<name attributes>` when made,
// `</name>` and the line's end when it goes out of scope; the content is appended in between.
class TextElement {
 public:
  TextElement(std::string& out, int depth, std::string_view name, Attributes attributes = {})
      : out_(out), name_(name) {
    open_start_tag(out, depth, name, attributes);
    out.push_back('>');
  }
  ~TextElement() {
    out_.append("</");
    out_.append(name_);
    out_.append(">\n");
  }
  TextElement(const TextElement&) = delete;
  TextElement& operator=(const TextElement&) = delete;

 private:
  std::string& out_;
  std::string_view name_;
};

// An element whose content is elements, one a line: the start tag when made, the end tag at the
// same indentation when it goes out of scope. Children are made through it, one level deeper.
class Element {
 public:
  Element(std::string& out, int depth, std::string_view name, Attributes attributes = {})
      : out_(out), depth_(depth), name_(name) {
    start_tag(out, depth, name, attributes);
  }
  ~Element() { end_tag(out_, depth_, name_); }
  Element(const Element&) = delete;
  Element& operator=(const Element&) = delete;

  [[nodiscard]] Element child(std::string_view name, Attributes attributes = {}) {
    return Element(out_, depth_ + 1, name, attributes);
  }
  [[nodiscard]] TextElement text_child(std::string_view name, Attributes attributes = {}) {
    return TextElement(out_, depth_ + 1, name, attributes);
  }
  void empty_child(std::string_view name, Attributes attributes = {}) {
    empty_element(out_, depth_ + 1, name, attributes);
  }

  // <cvParam cvRef accession name value [unitCvRef unitAccession unitName]/>, the unit being
  // the term's own; the value attribute is written even when empty.
  void cv_param(Cv cv, std::string_view value = {}) {
    const CvTerm& t = term(cv);
    cv_param_start(t.accession, t.name);
    Attribute("value", value).append_to(out_);
    cv_param_end(t.unit);
  }
  void cv_param(Cv cv, double value) {
    const CvTerm& t = term(cv);
    cv_param_start(t.accession, t.name);
    out_.append(" value=\"");
    append_double(out_, value);
    out_.push_back('"');
    cv_param_end(t.unit);
  }
  // A term given by the caller, without unit.
  void cv_param(const CvParam& p) {
    cv_param_start(p.accession, p.name);
    Attribute("value", p.value).append_to(out_);
    cv_param_end(Unit::none);
  }

  void user_param(std::string_view name, std::string_view type, std::string_view value) {
    empty_child("userParam", {{"name", name}, {"type", type}, {"value", value}});
  }

  // The text appended to, for content written without this helper (base64).
  std::string& out() noexcept { return out_; }

 private:
  static std::string_view cv_ref(std::string_view accession) {
    return accession.substr(0, accession.find(':'));
  }
  void cv_param_start(std::string_view accession, std::string_view name) {
    open_start_tag(out_, depth_ + 1, "cvParam",
                   {{"cvRef", cv_ref(accession)}, {"accession", accession}, {"name", name}});
  }
  void cv_param_end(Unit unit) {
    if (unit != Unit::none) {
      const UnitTerm& u = unit_term(unit);
      Attribute("unitCvRef", cv_ref(u.accession)).append_to(out_);
      Attribute("unitAccession", u.accession).append_to(out_);
      Attribute("unitName", u.name).append_to(out_);
    }
    out_.append("/>\n");
  }

  std::string& out_;
  int depth_;
  std::string_view name_;
};

}  // namespace kestrane::mzml
