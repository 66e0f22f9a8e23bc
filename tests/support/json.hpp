// A small JSON reader for test expectations: objects, arrays, strings without escapes beyond
// \" and \\, numbers (kept with their text, so a test can read how many decimals were given),
// true, false, null. Malformed input throws std::runtime_error.
#pragma once

#include <cctype>
#include <cstdlib>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kestrane::test {

struct Json {
  enum class Kind { null, boolean, number, string, array, object } kind = Kind::null;
  bool boolean = false;
  double number = 0.0;
  std::string text;  // a string's value, or a number as written
  std::vector<Json> items;
  std::vector<std::pair<std::string, Json>> members;  // in file order

  const Json* find(std::string_view key) const {
    for (const auto& [k, v] : members) {
      if (k == key) return &v;
    }
    return nullptr;
  }
  // Digits after the decimal point of a number as written (0 for integers).
  int decimals() const {
    const auto dot = text.find('.');
    if (dot == std::string::npos) return 0;
    const auto end = text.find_first_of("eE", dot);
    return static_cast<int>((end == std::string::npos ? text.size() : end) - dot - 1);
  }
};

class JsonParser {
 public:
  explicit JsonParser(std::string_view s) : s_(s) {}
  Json parse() {
    Json v = value();
    space();
    if (pos_ != s_.size()) fail("trailing characters");
    return v;
  }

 private:
  [[noreturn]] void fail(const char* what) {
    throw std::runtime_error(std::string("JSON: ") + what + " at " + std::to_string(pos_));
  }
  void space() {
    while (pos_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[pos_]))) ++pos_;
  }
  bool eat(char c) {
    space();
    if (pos_ < s_.size() && s_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  std::string string() {
    if (!eat('"')) fail("expected a string");
    std::string out;
    while (pos_ < s_.size() && s_[pos_] != '"') {
      if (s_[pos_] == '\\' && pos_ + 1 < s_.size()) ++pos_;
      out.push_back(s_[pos_++]);
    }
    if (!eat('"')) fail("unterminated string");
    return out;
  }
  Json value() {
    space();
    Json v;
    if (pos_ >= s_.size()) fail("unexpected end");
    const char c = s_[pos_];
    if (c == '{') {
      ++pos_;
      v.kind = Json::Kind::object;
      if (eat('}')) return v;
      do {
        std::string key = string();
        if (!eat(':')) fail("expected ':'");
        v.members.emplace_back(std::move(key), value());
      } while (eat(','));
      if (!eat('}')) fail("expected '}'");
    } else if (c == '[') {
      ++pos_;
      v.kind = Json::Kind::array;
      if (eat(']')) return v;
      do {
        v.items.push_back(value());
      } while (eat(','));
      if (!eat(']')) fail("expected ']'");
    } else if (c == '"') {
      v.kind = Json::Kind::string;
      v.text = string();
    } else if (s_.substr(pos_, 4) == "true" || s_.substr(pos_, 5) == "false") {
      v.kind = Json::Kind::boolean;
      v.boolean = c == 't';
      pos_ += v.boolean ? 4 : 5;
    } else if (s_.substr(pos_, 4) == "null") {
      pos_ += 4;
    } else {
      const std::size_t start = pos_;
      while (pos_ < s_.size() && std::string_view("+-0123456789.eE").find(s_[pos_]) !=
                                     std::string_view::npos) {
        ++pos_;
      }
      if (start == pos_) fail("unexpected character");
      v.kind = Json::Kind::number;
      v.text = std::string(s_.substr(start, pos_ - start));
      v.number = std::strtod(v.text.c_str(), nullptr);
    }
    return v;
  }

  std::string_view s_;
  std::size_t pos_ = 0;
};

}  // namespace kestrane::test
