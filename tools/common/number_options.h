// Range checks of the tools' numeric options, as CLI11 validators shared by
// every tool. A value is one decimal number, finite (nan and the infinities
// are refused), within its bounds; whole numbers may be written as 1e6 but
// not as 2.5, and a minus sign never wraps into a huge count. The messages
// say what was given and what is allowed, with the bounds in %g form
// (DBL_MAX reads 1.79769e+308, not 309 digits).
//
// Use them with ->transform(), not ->check(): they rewrite the text into
// the plain form that CLI11's own conversion reads back as the same value
// ("010" as ten, not as octal eight; "1e6" as 1000000).
#pragma once

#include <CLI/CLI.hpp>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <type_traits>

namespace kpx::tools {

// A number for a message: %g, at most 6 significant digits.
inline std::string numberText(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

namespace detail {

// Reads all of `text` as a real number into `value`; "" or what is wrong
// with it ("is not a number", "is not finite", "is out of range").
inline std::string readReal(const std::string& text, double& value) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text.front())) ||
      text.find_first_of("xX") != std::string::npos)  // no hexadecimal numbers
    return "'" + text + "' is not a number";
  errno = 0;
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || std::isnan(value)) return text + " is not a number";
  if (std::isinf(value)) return text + (errno == ERANGE ? " is out of range" : " is not finite");
  return "";
}

}  // namespace detail

// Real numbers from `min` to `max`; with `aboveMin`, greater than `min`.
class RealRange : public CLI::Validator {
 public:
  RealRange(double min, double max, bool aboveMin = false) : CLI::Validator("REAL") {
    const std::string allowed = (aboveMin ? "give a number above " + numberText(min) + ", at most "
                                          : "give a number from " + numberText(min) + " to ") +
                                numberText(max);
    func_ = [min, max, aboveMin, allowed](std::string& text) -> std::string {
      double value = 0;
      if (auto problem = detail::readReal(text, value); !problem.empty())
        return problem + ": " + allowed;
      if (value > max || value < min || (aboveMin && value == min))
        return text + " is out of range: " + allowed;
      char plain[40];
      std::snprintf(plain, sizeof plain, "%.17g", value);
      text = plain;
      return "";
    };
  }
};

// Real numbers above 0, at most `max`.
class PositiveReal : public RealRange {
 public:
  explicit PositiveReal(double max) : RealRange(0, max, /*aboveMin=*/true) {}
};

// Whole numbers from `min` to `max`, for an option of an integer type that
// holds them all.
template <typename T>
class WholeRange : public CLI::Validator {
  static_assert(std::is_integral_v<T> && sizeof(T) == 8, "int64_t or uint64_t bounds");

 public:
  WholeRange(T min, T max) : CLI::Validator("WHOLE") {
    const std::string allowed =
        "give a whole number from " + std::to_string(min) + " to " + std::to_string(max);
    func_ = [min, max, allowed](std::string& text) -> std::string {
      T value{};
      const char* first = text.c_str() + (text.starts_with('+') ? 1 : 0);
      const char* last = text.c_str() + text.size();
      const auto [end, error] = std::from_chars(first, last, value);
      if (error == std::errc::result_out_of_range) return text + " is out of range: " + allowed;
      if (error != std::errc() || end != last || first == last) {
        // Not plain digits: a real number that is whole (1e6), or no number.
        double real = 0;
        if (auto problem = detail::readReal(text, real); !problem.empty())
          return problem + ": " + allowed;
        if (std::trunc(real) != real) return text + " is not a whole number: " + allowed;
        // The real's range beyond which T cannot hold it (2^64, 2^63, -2^63).
        constexpr double kTop = std::is_signed_v<T> ? 0x1p63 : 0x1p64;
        constexpr double kBottom = std::is_signed_v<T> ? -0x1p63 : -1;
        if (real >= kTop || real <= kBottom) return text + " is out of range: " + allowed;
        value = static_cast<T>(real);
      }
      if (value < min || value > max) return text + " is out of range: " + allowed;
      text = std::to_string(value);
      return "";
    };
  }
};

WholeRange(int, int)->WholeRange<int64_t>;
WholeRange(int64_t, int64_t)->WholeRange<int64_t>;
WholeRange(unsigned, unsigned)->WholeRange<uint64_t>;
WholeRange(uint64_t, uint64_t)->WholeRange<uint64_t>;

}  // namespace kpx::tools
