// JSON the virtual boards read (the rack, a recording's SigMF metadata),
// parsed within bounds: a text nested deeper than kMaxJsonDepth is refused
// before it is parsed, since building, printing and destroying such a value
// recurse once per level and a deep enough one overflows the stack.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace kpx::sim {

// Far deeper than any rack or SigMF metadata needs (they nest 5 levels).
inline constexpr int kMaxJsonDepth = 64;

// The text of `what` nests deeper than kMaxJsonDepth.
struct JsonTooDeep {
  std::string reason;
};

// One pass over the text that builds nothing and stops at the first level
// too deep. (The parser's callback could do it too, but nlohmann-json's
// callback parser looks through a whole list at the end of each element of
// it: quadratic in a list of many objects.)
class JsonDepthCheck : public nlohmann::json_sax<nlohmann::json> {
 public:
  bool tooDeep = false;
  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override { return enter(); }
  bool key(string_t&) override { return true; }
  bool end_object() override { return leave(); }
  bool start_array(std::size_t) override { return enter(); }
  bool end_array() override { return leave(); }
  // A syntax error is the parse's to report.
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  bool enter() {
    tooDeep = ++depth_ > kMaxJsonDepth;
    return !tooDeep;
  }
  bool leave() {
    --depth_;
    return true;
  }
  int depth_ = 0;
};

// Parses `text`; throws JsonTooDeep or nlohmann::json::parse_error.
inline nlohmann::json parseBoundedJson(std::string_view text, const std::string& what) {
  JsonDepthCheck check;
  nlohmann::json::sax_parse(text.begin(), text.end(), &check);
  if (check.tooDeep)
    throw JsonTooDeep{what + ": nested deeper than " + std::to_string(kMaxJsonDepth) + " levels"};
  return nlohmann::json::parse(text.begin(), text.end());
}

}  // namespace kpx::sim
