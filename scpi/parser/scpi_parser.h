// The SCPI parser: program messages cut from a byte stream, split into
// message units with the header path rules of IEEE 488.2 and SCPI, their
// parameters typed (numeric, character, string, definite- and
// indefinite-length block), and headers matched against command patterns
// such as "SYSTem:ERRor[:NEXT]?" (short and long forms, case-insensitive,
// optional nodes in brackets). No board knowledge; nothing throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kpx::scpi {

// The standard error and event numbers this server reports.
namespace err {
inline constexpr int kNone = 0;
inline constexpr int kCommand = -100;
inline constexpr int kInvalidCharacter = -101;
inline constexpr int kSyntax = -102;
inline constexpr int kInvalidSeparator = -103;
inline constexpr int kDataType = -104;
inline constexpr int kParameterNotAllowed = -108;
inline constexpr int kMissingParameter = -109;
inline constexpr int kHeaderSeparator = -111;
inline constexpr int kMnemonicTooLong = -112;
inline constexpr int kUndefinedHeader = -113;
inline constexpr int kHeaderSuffix = -114;
inline constexpr int kNumericData = -120;
inline constexpr int kInvalidCharacterInNumber = -121;
inline constexpr int kExponentTooLarge = -123;
inline constexpr int kTooManyDigits = -124;
inline constexpr int kInvalidSuffix = -131;
inline constexpr int kCharacterData = -140;
inline constexpr int kInvalidCharacterData = -141;
inline constexpr int kCharacterDataTooLong = -144;
inline constexpr int kInvalidStringData = -151;
inline constexpr int kInvalidBlockData = -161;
inline constexpr int kExecution = -200;
inline constexpr int kSettingsConflict = -221;
inline constexpr int kDataOutOfRange = -222;
inline constexpr int kTooMuchData = -223;
inline constexpr int kIllegalParameterValue = -224;
inline constexpr int kDataStale = -230;
inline constexpr int kHardware = -240;
inline constexpr int kHardwareMissing = -241;
inline constexpr int kQueueOverflow = -350;
inline constexpr int kQueryInterrupted = -410;
}  // namespace err

// The standard text of an error number ("Undefined header"); "Unknown
// error" for a number this server does not use.
const char* errorText(int code);

// An error as SYSTem:ERRor? reports it: code,"Text;detail" (detail may be
// empty; quotes inside it are doubled, newlines become spaces).
struct Error {
  int code = err::kNone;
  std::string detail;
};
std::string formatError(const Error& error);

struct Parameter {
  enum class Kind { kNumeric, kCharacter, kString, kBlock };
  Kind kind = Kind::kNumeric;
  std::string text;    // character data upper-cased; string unquoted; block: its bytes
  double number = 0;   // numeric: the value (finite)
  std::string suffix;  // numeric: the unit as sent, upper-cased ("MHZ"), else ""
};

struct Unit {
  bool common = false;             // *IDN? and the other IEEE 488.2 commands
  bool query = false;              // ends in '?'
  std::vector<std::string> nodes;  // upper-cased mnemonics from the root (path rule applied)
  std::vector<Parameter> parameters;
};

// A program message split into units. The units before a syntax error are
// kept (they run); `error` says what stopped the parse.
struct Message {
  std::vector<Unit> units;
  Error error;
};

inline constexpr size_t kMaxMnemonic =
    12;  // IEEE 488.2: program mnemonics are at most 12 characters
inline constexpr size_t kMaxParameters = 64;

// Splits one program message (the terminator removed). The current path
// starts at the root: a header with a leading ':' starts from the root, a
// header without one continues the path of the previous unit's compound
// header (its nodes but the last); common commands leave the path alone.
Message parseMessage(std::string_view message);

// Cuts program messages out of a byte stream: a message ends at a newline
// outside strings and definite-length blocks (a carriage return before it
// is dropped). Bounded: the bytes of a message outside its blocks, and the
// bytes of its blocks together.
class Framer {
 public:
  struct Limits {
    size_t maxLine = 65536;           // bytes outside blocks
    size_t maxBlockBytes = 64 << 20;  // bytes inside blocks, per message
  };
  enum class Event {
    kNeedMore,       // all bytes given were taken; no message complete
    kMessage,        // message() holds one; the rest of the bytes not taken yet
    kOverlong,       // the line passed maxLine: the rest of it up to its newline is dropped
    kBlockTooLarge,  // a block header announced more than maxBlockBytes; the stream is broken
  };

  explicit Framer(Limits limits) : limits_(limits) {}

  // Takes bytes from `data` up to the end of the first complete message, or
  // all of them; `taken` receives how many.
  Event feed(const char* data, size_t size, size_t& taken);
  // The last complete message; valid until the next feed.
  const std::string& message() const { return message_; }
  // Whether some bytes of a message have arrived and its end has not.
  bool partial() const { return state_ != State::kText || !buffer_.empty() || discarding_; }

 private:
  enum class State { kText, kQuoted, kHash, kBlockLength, kBlockBytes };
  Limits limits_;
  State state_ = State::kText;
  char quote_ = 0;
  bool discarding_ = false;  // an overlong line, up to its newline
  bool broken_ = false;
  size_t lineBytes_ = 0;
  size_t blockTotal_ = 0;
  unsigned lengthDigits_ = 0;
  uint64_t blockLeft_ = 0;
  std::string buffer_;
  std::string message_;
};

// A command pattern: "SYSTem:ERRor[:NEXT]?", "*IDN?", "INSTrument[:SELect]".
// Short forms are the upper-case letters; either form matches, in any case;
// a node may carry the numeric suffix 1 (a single channel).
class Pattern {
 public:
  explicit Pattern(std::string_view text);
  // Whether the unit's header names this command: its nodes, its form.
  bool matches(const Unit& unit) const;
  // The same ignoring '?': the header exists, in the other form perhaps.
  bool matchesPath(const Unit& unit) const;
  bool query() const { return query_; }

 private:
  struct Node {
    std::string shortForm, longForm;
    bool optional = false;
  };
  bool matchFrom(const std::vector<std::string>& nodes, size_t n, size_t p) const;
  bool common_ = false;
  bool query_ = false;
  std::vector<Node> nodes_;
};

// A definite-length block: "#<n><length><bytes>".
std::string definiteBlock(std::string_view bytes);
// Appends a block header for `length` bytes to `out`.
void appendBlockHeader(std::string& out, size_t length);

// A number as SCPI answers it: integers as NR1, others as NR3 with
// 15 significant digits; NaN as 9.91E37, infinities as +-9.9E37 (SCPI's
// "not a number" and infinity).
std::string formatNumber(double value);

// A string response: quoted, inner quotes doubled.
std::string quoted(std::string_view text);

// Whether a message is ABORt alone (":ABOR", "abort", white space around).
bool isAbort(std::string_view message);

// Whether a character parameter is `pattern` ("POSitive") in its short or
// long form.
bool isKeyword(const Parameter& parameter, std::string_view pattern);

}  // namespace kpx::scpi
