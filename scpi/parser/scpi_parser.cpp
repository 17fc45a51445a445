#include "scpi_parser.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace kpx::scpi {
namespace {

// Bytes of buffer the framer keeps between messages.
constexpr size_t kKeptBytes = 1 << 20;

bool isSpace(char c) {
  return c != '\n' && static_cast<unsigned char>(c) <= ' ';
}
bool isLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool isDigit(char c) {
  return c >= '0' && c <= '9';
}
char upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string upperCase(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = upper(c);
  return out;
}

// A cursor over one message, with the error that stopped it.
struct Cursor {
  std::string_view text;
  size_t pos = 0;
  Error error;

  bool atEnd() const { return pos >= text.size(); }
  char peek() const { return atEnd() ? '\0' : text[pos]; }
  void skipSpace() {
    while (!atEnd() && isSpace(text[pos])) ++pos;
  }
  bool fail(int code, std::string detail) {
    if (error.code == err::kNone) error = {code, std::move(detail)};
    return false;
  }
};

// letter (letter | digit | '_')*, at most kMaxMnemonic characters.
bool readMnemonic(Cursor& c, std::string& out, int tooLongCode) {
  const size_t start = c.pos;
  if (!isLetter(c.peek()))
    return c.fail(err::kSyntax, "a header or keyword must start with a letter");
  while (!c.atEnd() && (isLetter(c.peek()) || isDigit(c.peek()) || c.peek() == '_')) ++c.pos;
  if (c.pos - start > kMaxMnemonic)
    return c.fail(tooLongCode, "longer than " + std::to_string(kMaxMnemonic) + " characters");
  out = upperCase(c.text.substr(start, c.pos - start));
  return true;
}

bool readString(Cursor& c, Parameter& p) {
  const char quote = c.peek();
  ++c.pos;
  p.kind = Parameter::Kind::kString;
  for (;;) {
    if (c.atEnd()) return c.fail(err::kInvalidStringData, "the string has no closing quote");
    const char ch = c.text[c.pos++];
    if (ch == quote) {
      if (c.peek() != quote) return true;
      ++c.pos;
    }
    p.text.push_back(ch);
  }
}

bool readBlock(Cursor& c, Parameter& p) {
  // c.peek() is '#', followed by a digit.
  p.kind = Parameter::Kind::kBlock;
  const unsigned digits = static_cast<unsigned>(c.text[c.pos + 1] - '0');
  c.pos += 2;
  if (digits == 0) {  // indefinite length: the rest of the message
    p.text = std::string(c.text.substr(c.pos));
    c.pos = c.text.size();
    return true;
  }
  if (c.text.size() - c.pos < digits)
    return c.fail(err::kInvalidBlockData, "the block's length is cut short");
  uint64_t length = 0;
  for (unsigned i = 0; i < digits; ++i) {
    const char ch = c.text[c.pos + i];
    if (!isDigit(ch)) return c.fail(err::kInvalidBlockData, "the block's length is not a number");
    length = length * 10 + static_cast<uint64_t>(ch - '0');
  }
  c.pos += digits;
  if (length > c.text.size() - c.pos)
    return c.fail(err::kInvalidBlockData, "the block holds fewer bytes than its length says");
  p.text = std::string(c.text.substr(c.pos, static_cast<size_t>(length)));
  c.pos += static_cast<size_t>(length);
  return true;
}

// #H, #Q, #B: a non-negative whole number in base 16, 8 or 2.
bool readNonDecimal(Cursor& c, Parameter& p) {
  const char base = upper(c.text[c.pos + 1]);
  const unsigned radix = base == 'H' ? 16 : base == 'Q' ? 8 : 2;
  c.pos += 2;
  uint64_t value = 0;
  size_t count = 0;
  for (; !c.atEnd(); ++c.pos, ++count) {
    const char ch = upper(c.peek());
    unsigned d = 99;
    if (isDigit(ch)) d = static_cast<unsigned>(ch - '0');
    if (ch >= 'A' && ch <= 'F') d = static_cast<unsigned>(ch - 'A' + 10);
    if (d >= radix) break;
    if (value > (UINT64_MAX - d) / radix)
      return c.fail(err::kTooManyDigits, "the number is too large");
    value = value * radix + d;
  }
  if (count == 0)
    return c.fail(err::kInvalidCharacterInNumber, "no digits after #" + std::string(1, base));
  p.kind = Parameter::Kind::kNumeric;
  p.number = static_cast<double>(value);
  return true;
}

bool readDecimal(Cursor& c, Parameter& p) {
  const size_t start = c.pos;
  if (c.peek() == '+' || c.peek() == '-') ++c.pos;
  size_t mantissa = 0;
  while (isDigit(c.peek())) ++c.pos, ++mantissa;
  if (c.peek() == '.') {
    ++c.pos;
    while (isDigit(c.peek())) ++c.pos, ++mantissa;
  }
  if (mantissa == 0) return c.fail(err::kInvalidCharacterInNumber, "a number needs digits");
  if (upper(c.peek()) == 'E') {
    size_t e = c.pos + 1;
    if (e < c.text.size() && (c.text[e] == '+' || c.text[e] == '-')) ++e;
    if (e < c.text.size() && isDigit(c.text[e])) {
      c.pos = e;
      while (isDigit(c.peek())) ++c.pos;
    }
  }
  // IEEE 488.2 bounds a decimal number at 255 characters.
  if (c.pos - start > 255) return c.fail(err::kTooManyDigits, "more than 255 characters");
  std::string number(c.text.substr(start, c.pos - start));
  if (number[0] == '+') number.erase(0, 1);
  double value = 0;
  const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (ec == std::errc::result_out_of_range || !std::isfinite(value))
    return c.fail(err::kExponentTooLarge, "the number is out of the range of a double");
  if (ec != std::errc() || end != number.data() + number.size())
    return c.fail(err::kInvalidCharacterInNumber, "not a number");
  p.kind = Parameter::Kind::kNumeric;
  p.number = value;
  // A unit may follow, after optional white space: "10 MHZ", "1e6Hz".
  const size_t save = c.pos;
  c.skipSpace();
  if (isLetter(c.peek())) {
    const size_t unit = c.pos;
    while (isLetter(c.peek())) ++c.pos;
    if (c.pos - unit > kMaxMnemonic) return c.fail(err::kInvalidSuffix, "the unit is too long");
    p.suffix = upperCase(c.text.substr(unit, c.pos - unit));
  } else {
    c.pos = save;
  }
  return true;
}

bool readParameter(Cursor& c, Parameter& p) {
  const char ch = c.peek();
  if (ch == '"' || ch == '\'') return readString(c, p);
  if (ch == '#') {
    const char next = c.pos + 1 < c.text.size() ? c.text[c.pos + 1] : '\0';
    if (isDigit(next)) return readBlock(c, p);
    const char base = upper(next);
    if (base == 'H' || base == 'Q' || base == 'B') return readNonDecimal(c, p);
    return c.fail(err::kInvalidBlockData, "'#' not followed by a block or a base");
  }
  if (isDigit(ch) || ch == '+' || ch == '-' || ch == '.') return readDecimal(c, p);
  if (isLetter(ch)) {
    p.kind = Parameter::Kind::kCharacter;
    return readMnemonic(c, p.text, err::kCharacterDataTooLong);
  }
  if (c.atEnd() || ch == ',' || ch == ';') return c.fail(err::kSyntax, "a parameter is missing");
  return c.fail(err::kSyntax, "unexpected character in a parameter");
}

bool readUnit(Cursor& c, std::vector<std::string>& path, Unit& unit) {
  if (c.peek() == '*') {
    ++c.pos;
    unit.common = true;
    std::string name;
    if (!readMnemonic(c, name, err::kMnemonicTooLong)) return false;
    unit.nodes = {name};
  } else {
    if (c.peek() == ':') {
      ++c.pos;
    } else {
      unit.nodes = path;
    }
    for (;;) {
      std::string node;
      if (!readMnemonic(c, node, err::kMnemonicTooLong)) return false;
      unit.nodes.push_back(std::move(node));
      if (c.peek() != ':') break;
      ++c.pos;
    }
    path.assign(unit.nodes.begin(), unit.nodes.end() - 1);
  }
  if (c.peek() == '?') {
    unit.query = true;
    ++c.pos;
  }
  if (!c.atEnd() && c.peek() != ';' && !isSpace(c.peek()))
    return c.fail(err::kHeaderSeparator, "a header must be followed by a space, ';' or the end");
  c.skipSpace();
  if (c.atEnd() || c.peek() == ';') return true;
  for (;;) {
    if (unit.parameters.size() == kMaxParameters)
      return c.fail(err::kParameterNotAllowed,
                    "more than " + std::to_string(kMaxParameters) + " parameters");
    Parameter p;
    if (!readParameter(c, p)) return false;
    unit.parameters.push_back(std::move(p));
    c.skipSpace();
    if (c.atEnd() || c.peek() == ';') return true;
    if (c.peek() != ',') return c.fail(err::kInvalidSeparator, "parameters are separated by ','");
    ++c.pos;
    c.skipSpace();
  }
}

}  // namespace

const char* errorText(int code) {
  switch (code) {
    case err::kNone:
      return "No error";
    case err::kCommand:
      return "Command error";
    case err::kInvalidCharacter:
      return "Invalid character";
    case err::kSyntax:
      return "Syntax error";
    case err::kInvalidSeparator:
      return "Invalid separator";
    case err::kDataType:
      return "Data type error";
    case err::kParameterNotAllowed:
      return "Parameter not allowed";
    case err::kMissingParameter:
      return "Missing parameter";
    case err::kHeaderSeparator:
      return "Header separator error";
    case err::kMnemonicTooLong:
      return "Program mnemonic too long";
    case err::kUndefinedHeader:
      return "Undefined header";
    case err::kHeaderSuffix:
      return "Header suffix out of range";
    case err::kNumericData:
      return "Numeric data error";
    case err::kInvalidCharacterInNumber:
      return "Invalid character in number";
    case err::kExponentTooLarge:
      return "Exponent too large";
    case err::kTooManyDigits:
      return "Too many digits";
    case err::kInvalidSuffix:
      return "Invalid suffix";
    case err::kCharacterData:
      return "Character data error";
    case err::kInvalidCharacterData:
      return "Invalid character data";
    case err::kCharacterDataTooLong:
      return "Character data too long";
    case err::kInvalidStringData:
      return "Invalid string data";
    case err::kInvalidBlockData:
      return "Invalid block data";
    case err::kExecution:
      return "Execution error";
    case err::kSettingsConflict:
      return "Settings conflict";
    case err::kDataOutOfRange:
      return "Data out of range";
    case err::kTooMuchData:
      return "Too much data";
    case err::kIllegalParameterValue:
      return "Illegal parameter value";
    case err::kDataStale:
      return "Data corrupt or stale";
    case err::kHardware:
      return "Hardware error";
    case err::kHardwareMissing:
      return "Hardware missing";
    case err::kQueueOverflow:
      return "Queue overflow";
    case err::kQueryInterrupted:
      return "Query INTERRUPTED";
    default:
      return "Unknown error";
  }
}

std::string formatError(const Error& error) {
  std::string text = errorText(error.code);
  if (!error.detail.empty()) text += ";" + error.detail;
  for (char& c : text)
    if (c == '\n' || c == '\r') c = ' ';
  return std::to_string(error.code) + "," + quoted(text);
}

std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    out.push_back(c);
    if (c == '"') out.push_back('"');
  }
  out.push_back('"');
  return out;
}

Message parseMessage(std::string_view message) {
  Message out;
  Cursor c;
  c.text = message;
  std::vector<std::string> path;
  for (;;) {
    c.skipSpace();
    if (c.atEnd()) break;
    Unit unit;
    if (!readUnit(c, path, unit)) break;
    out.units.push_back(std::move(unit));
    if (c.atEnd()) break;
    ++c.pos;  // ';'
  }
  out.error = c.error;
  return out;
}

Framer::Event Framer::feed(const char* data, size_t size, size_t& taken) {
  taken = 0;
  if (broken_) {
    taken = size;
    return Event::kBlockTooLarge;
  }
  for (size_t i = 0; i < size; ++i) {
    const char c = data[i];
    if (discarding_) {
      if (c == '\n') discarding_ = false;
      continue;
    }
    if (state_ == State::kBlockBytes) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(blockLeft_, size - i));
      buffer_.append(data + i, n);
      blockLeft_ -= n;
      i += n - 1;
      if (blockLeft_ == 0) state_ = State::kText;
      continue;
    }
    if (c == '\n') {  // the end of the message, wherever a block is not
      message_.swap(buffer_);
      buffer_.clear();
      // The memory of a large message (a block) is not kept for the next.
      if (buffer_.capacity() > kKeptBytes) buffer_.shrink_to_fit();
      if (!message_.empty() && message_.back() == '\r') message_.pop_back();
      state_ = State::kText;
      lineBytes_ = 0;
      blockTotal_ = 0;
      taken = i + 1;
      return Event::kMessage;
    }
    if (++lineBytes_ > limits_.maxLine) {
      discarding_ = true;
      buffer_.clear();
      buffer_.shrink_to_fit();
      state_ = State::kText;
      lineBytes_ = 0;
      blockTotal_ = 0;
      taken = i + 1;
      return Event::kOverlong;
    }
    buffer_.push_back(c);
    switch (state_) {
      case State::kText:
        if (c == '"' || c == '\'') {
          quote_ = c;
          state_ = State::kQuoted;
        } else if (c == '#') {
          state_ = State::kHash;
        }
        break;
      case State::kQuoted:
        if (c == quote_) state_ = State::kText;
        break;
      case State::kHash:
        if (c >= '1' && c <= '9') {
          lengthDigits_ = static_cast<unsigned>(c - '0');
          blockLeft_ = 0;
          state_ = State::kBlockLength;
        } else {
          state_ = State::kText;  // #0 runs to the newline; #H and others are text
        }
        break;
      case State::kBlockLength:
        if (!isDigit(c)) {  // malformed: the parser says so
          state_ = State::kText;
          break;
        }
        blockLeft_ = blockLeft_ * 10 + static_cast<uint64_t>(c - '0');
        if (--lengthDigits_ == 0) {
          if (blockLeft_ > limits_.maxBlockBytes - blockTotal_) {
            broken_ = true;
            buffer_.clear();
            buffer_.shrink_to_fit();
            taken = size;
            return Event::kBlockTooLarge;
          }
          blockTotal_ += static_cast<size_t>(blockLeft_);
          state_ = blockLeft_ ? State::kBlockBytes : State::kText;
        }
        break;
      case State::kBlockBytes:
        break;
    }
  }
  taken = size;
  return Event::kNeedMore;
}

Pattern::Pattern(std::string_view text) {
  if (!text.empty() && text.back() == '?') {
    query_ = true;
    text.remove_suffix(1);
  }
  if (!text.empty() && text.front() == '*') {
    common_ = true;
    const std::string name = upperCase(text.substr(1));
    nodes_.push_back({name, name, false});
    return;
  }
  bool optional = false;
  Node node;
  const auto finish = [&] {
    if (node.longForm.empty()) return;
    node.optional = optional;
    nodes_.push_back(node);
    node = {};
  };
  for (char c : text) {
    if (c == '[') {
      finish();
      optional = true;
    } else if (c == ']') {
      finish();
      optional = false;
    } else if (c == ':') {
      finish();
    } else {
      if (upper(c) == c) node.shortForm.push_back(c);
      node.longForm.push_back(upper(c));
    }
  }
  finish();
}

bool Pattern::matchFrom(const std::vector<std::string>& nodes, size_t n, size_t p) const {
  if (p == nodes_.size()) return n == nodes.size();
  if (n < nodes.size()) {
    std::string_view name = nodes[n];
    // A numeric suffix: only 1, as every part here has one channel.
    size_t end = name.size();
    while (end > 0 && isDigit(name[end - 1])) --end;
    const bool suffixOk = end == name.size() || name.substr(end) == "1";
    name = name.substr(0, end);
    const Node& node = nodes_[p];
    if (suffixOk && (name == node.shortForm || name == node.longForm) &&
        matchFrom(nodes, n + 1, p + 1))
      return true;
  }
  return nodes_[p].optional && matchFrom(nodes, n, p + 1);
}

bool Pattern::matchesPath(const Unit& unit) const {
  if (unit.common != common_) return false;
  if (common_) return unit.nodes.size() == 1 && unit.nodes[0] == nodes_[0].longForm;
  return matchFrom(unit.nodes, 0, 0);
}

bool Pattern::matches(const Unit& unit) const {
  return unit.query == query_ && matchesPath(unit);
}

void appendBlockHeader(std::string& out, size_t length) {
  const std::string digits = std::to_string(length);
  out += '#';
  out += static_cast<char>('0' + digits.size());
  out += digits;
}

std::string definiteBlock(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() + 12);
  appendBlockHeader(out, bytes.size());
  out.append(bytes);
  return out;
}

std::string formatNumber(double value) {
  if (std::isnan(value)) return "9.91E+37";
  if (std::isinf(value)) return value > 0 ? "9.9E+37" : "-9.9E+37";
  char text[40];
  if (value == std::floor(value) && std::fabs(value) < 1e15)
    std::snprintf(text, sizeof text, "%.0f", value);
  else
    std::snprintf(text, sizeof text, "%.15G", value);
  return text;
}

bool isAbort(std::string_view message) {
  const Message m = parseMessage(message);
  static const Pattern abort("ABORt");
  return m.error.code == err::kNone && m.units.size() == 1 && abort.matches(m.units[0]) &&
         m.units[0].parameters.empty();
}

bool isKeyword(const Parameter& parameter, std::string_view pattern) {
  if (parameter.kind != Parameter::Kind::kCharacter) return false;
  std::string shortForm;
  for (char c : pattern)
    if (upper(c) == c) shortForm.push_back(c);
  return parameter.text == shortForm || parameter.text == upperCase(pattern);
}

}  // namespace kpx::scpi
