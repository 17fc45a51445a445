// The SCPI parser: message units and the header path rule, parameter
// types, the errors a bad message gets, the framer cutting messages from a
// byte stream in any chunking, and header patterns.
#include "scpi_parser.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

namespace {

using kpx::scpi::Framer;
using kpx::scpi::Parameter;
using kpx::scpi::parseMessage;
using kpx::scpi::Pattern;
namespace err = kpx::scpi::err;

// A unit as text: "*IDN?", "ACQ:POIN N100", "X S:a B:xyz C:POS N1e+06[MHZ]".
std::string render(const kpx::scpi::Message& m) {
  std::string out;
  for (const auto& u : m.units) {
    if (!out.empty()) out += " | ";
    if (u.common) out += "*";
    for (size_t i = 0; i < u.nodes.size(); ++i) out += (i ? ":" : "") + u.nodes[i];
    if (u.query) out += "?";
    for (const auto& p : u.parameters) {
      switch (p.kind) {
        case Parameter::Kind::kNumeric: {
          char n[40];
          std::snprintf(n, sizeof n, " N%g", p.number);
          out += n;
          if (!p.suffix.empty()) out += "[" + p.suffix + "]";
          break;
        }
        case Parameter::Kind::kCharacter:
          out += " C:" + p.text;
          break;
        case Parameter::Kind::kString:
          out += " S:" + p.text;
          break;
        case Parameter::Kind::kBlock:
          out += " B:" + p.text;
          break;
      }
    }
  }
  return out;
}

struct MessageCase {
  std::string input;
  std::string units;
  int error;
};

TEST(ScpiParser, MessagesSplitIntoUnitsWithThePathRuleAndTypedParameters) {
  const std::vector<MessageCase> cases = {
      {"*IDN?", "*IDN?", err::kNone},
      {"syst:err?", "SYST:ERR?", err::kNone},
      {":SYSTem:ERRor:NEXT?", "SYSTEM:ERROR:NEXT?", err::kNone},
      {"", "", err::kNone},
      {"  *CLS  ;  *ESE 1  ", "*CLS | *ESE N1", err::kNone},
      // The path rule: a relative header continues the previous compound header.
      {"ACQ:POIN 100;PRET 10", "ACQ:POIN N100 | ACQ:PRET N10", err::kNone},
      {"ACQ:POIN 100;:TRIG:SOUR INT;LEV -5", "ACQ:POIN N100 | TRIG:SOUR C:INT | TRIG:LEV N-5",
       err::kNone},
      {"ACQ:POIN 1;*OPC?;PRET 2", "ACQ:POIN N1 | *OPC? | ACQ:PRET N2", err::kNone},
      {"INIT;ABOR", "INIT | ABOR", err::kNone},
      // Numbers, units, bases.
      {"SOUR:FREQ 10 MHZ", "SOUR:FREQ N10[MHZ]", err::kNone},
      {"SOUR:FREQ 1.5e6Hz", "SOUR:FREQ N1.5e+06[HZ]", err::kNone},
      {"X +.5E-1", "X N0.05", err::kNone},
      {"X 1.", "X N1", err::kNone},
      {"*ESE #H1F", "*ESE N31", err::kNone},
      {"*ESE #b101", "*ESE N5", err::kNone},
      {"*ESE #Q17", "*ESE N15", err::kNone},
      {"FORM INT,16", "FORM C:INT N16", err::kNone},
      {"X a_1 , 2", "X C:A_1 N2", err::kNone},
      // Strings and blocks.
      {"INST 'DAC0'", "INST S:DAC0", err::kNone},
      {"X \"a\"\"b\";Y", "X S:a\"b | Y", err::kNone},
      {"SOUR:DATA:ARB #14abcd", "SOUR:DATA:ARB B:abcd", err::kNone},
      {std::string("X #13a;\n;Y", 10), "X B:a;\n | Y", err::kNone},
      {std::string("X #12\0\x01", 7), std::string("X B:\0\x01", 6), err::kNone},
      {"X #0xy;z", "X B:xy;z", err::kNone},
      {"X #10", "X B:", err::kNone},
      // Errors: the units before one are kept.
      {"*CLS;X 'a", "*CLS", err::kInvalidStringData},
      {"ACQ:POIN 1 2", "", err::kInvalidSeparator},
      {"ACQ::POIN", "", err::kSyntax},
      {";", "", err::kSyntax},
      {"*", "", err::kSyntax},
      {"X$", "", err::kHeaderSeparator},
      {"ABCDEFGHIJKLM", "", err::kMnemonicTooLong},
      {"X ABCDEFGHIJKLM", "", err::kCharacterDataTooLong},
      {"X #15ab", "", err::kInvalidBlockData},
      {"X #2a", "", err::kInvalidBlockData},
      {"X #9", "", err::kInvalidBlockData},
      {"X #x", "", err::kInvalidBlockData},
      {"X 1e999", "", err::kExponentTooLarge},
      {"X -1e999", "", err::kExponentTooLarge},
      {"X 1,,2", "", err::kSyntax},
      {"X 1,", "", err::kSyntax},
      {"X .", "", err::kInvalidCharacterInNumber},
      {"X -", "", err::kInvalidCharacterInNumber},
      {"X #H", "", err::kInvalidCharacterInNumber},
      {"X #HFFFFFFFFFFFFFFFFF", "", err::kTooManyDigits},
      {"X " + std::string(300, '1'), "", err::kTooManyDigits},
      {"X 1 ABCDEFGHIJKLM", "", err::kInvalidSuffix},
      {"X (1)", "", err::kSyntax},
  };
  for (const auto& c : cases) {
    const auto m = parseMessage(c.input);
    EXPECT_EQ(render(m), c.units) << c.input;
    EXPECT_EQ(m.error.code, c.error) << c.input;
  }
}

TEST(ScpiParser, ParametersAreBoundedInNumber) {
  std::string many = "X 1";
  for (size_t i = 1; i < kpx::scpi::kMaxParameters; ++i) many += ",1";
  EXPECT_EQ(parseMessage(many).error.code, err::kNone);
  EXPECT_EQ(parseMessage(many + ",1").error.code, err::kParameterNotAllowed);
}

struct FramerCase {
  std::string name;
  std::string stream;
  size_t maxLine, maxBlock;
  std::vector<std::string> events;  // "M:<message>", "overlong", "too large"
};

// Feeds `stream` in chunks of `chunk` bytes and lists what came out.
std::vector<std::string> frame(const FramerCase& c, size_t chunk) {
  Framer framer({c.maxLine, c.maxBlock});
  std::vector<std::string> out;
  for (size_t at = 0; at < c.stream.size(); at += chunk) {
    const std::string piece = c.stream.substr(at, chunk);
    size_t used = 0;
    while (used < piece.size()) {
      size_t taken = 0;
      const auto e = framer.feed(piece.data() + used, piece.size() - used, taken);
      used += taken;
      if (e == Framer::Event::kMessage) out.push_back("M:" + framer.message());
      if (e == Framer::Event::kOverlong) out.push_back("overlong");
      if (e == Framer::Event::kBlockTooLarge) {
        out.push_back("too large");
        return out;
      }
    }
  }
  if (framer.partial()) out.push_back("partial");
  return out;
}

TEST(ScpiFramer, CutsMessagesTheSameWayWhateverTheChunks) {
  const std::vector<FramerCase> cases = {
      {"lines", "A\nB\r\n\n", 64, 64, {"M:A", "M:B", "M:"}},
      {"a block holds newlines", "X #15a\nb\ncd\nY\n", 64, 64, {"M:X #15a\nb\ncd", "M:Y"}},
      {"two blocks", "X #12\n\n,#11\n\n", 64, 64, {"M:X #12\n\n,#11\n"}},
      {"a newline in quotes ends the message", "X 'a\nb'\n", 64, 64, {"M:X 'a", "M:b'"}},
      {"#H is no block", "X #H1F\nY\n", 64, 64, {"M:X #H1F", "M:Y"}},
      {"a bad length is text", "X #2a\nY\n", 64, 64, {"M:X #2a", "M:Y"}},
      {"#0 runs to the newline", "X #0ab\nY\n", 64, 64, {"M:X #0ab", "M:Y"}},
      {"unfinished", "X #15ab", 64, 64, {"partial"}},
      {"overlong, then the next line", "ABCDEFGHIJ\nOK\n", 8, 64, {"overlong", "M:OK"}},
      {"overlong inside a string", "X '123456789'\nOK\n", 8, 64, {"overlong", "M:OK"}},
      {"at the limit", "ABCDEFGH\n", 8, 64, {"M:ABCDEFGH"}},
      {"block bytes do not count as line", "X #210abcdefghij\n", 8, 64, {"M:X #210abcdefghij"}},
      {"a block too large", "X #3100" + std::string(100, 'x') + "\nY\n", 64, 99, {"too large"}},
      {"blocks together too large",
       "X #250" + std::string(50, 'x') + ",#250",
       64,
       99,
       {"too large"}},
      {"a huge length", "X #9999999999\n", 64, 1 << 20, {"too large"}},
  };
  for (const auto& c : cases)
    for (size_t chunk : {size_t{1}, size_t{2}, size_t{7}, c.stream.size()})
      EXPECT_EQ(frame(c, chunk), c.events) << c.name << ", chunks of " << chunk;
}

TEST(ScpiFramer, StaysBrokenAfterATooLargeBlock) {
  Framer framer({64, 16});
  size_t taken = 0;
  const std::string big = "X #217";
  EXPECT_EQ(framer.feed(big.data(), big.size(), taken), Framer::Event::kBlockTooLarge);
  const std::string next = "*IDN?\n";
  EXPECT_EQ(framer.feed(next.data(), next.size(), taken), Framer::Event::kBlockTooLarge);
  EXPECT_EQ(taken, next.size());
}

struct PatternCase {
  std::string pattern, header;
  bool matches, pathMatches;
};

TEST(ScpiPattern, MatchesShortAndLongFormsAndOptionalNodes) {
  const std::vector<PatternCase> cases = {
      {"SYSTem:ERRor[:NEXT]?", "SYST:ERR?", true, true},
      {"SYSTem:ERRor[:NEXT]?", "system:error:next?", true, true},
      {"SYSTem:ERRor[:NEXT]?", "Syst:Err:Next?", true, true},
      {"SYSTem:ERRor[:NEXT]?", "SYST:ERR", false, true},
      {"SYSTem:ERRor[:NEXT]?", "SYSTE:ERR?", false, false},
      {"SYSTem:ERRor[:NEXT]?", "SYS:ERR?", false, false},
      {"SYSTem:ERRor[:NEXT]?", "SYST:ERR:NEXT:NEXT?", false, false},
      {"SYSTem:ERRor[:NEXT]?", "SYST?", false, false},
      {"INSTrument[:SELect]", "INST DAC0", true, true},
      {"INSTrument[:SELect]", "INST:SEL DAC0", true, true},
      {"INSTrument[:SELect]", "INST1:SEL1 DAC0", true, true},
      {"INSTrument[:SELect]", "INST2", false, false},
      {"[:SOURce]:FREQuency", "FREQ 1", true, true},
      {"[:SOURce]:FREQuency", "SOUR:FREQ 1", true, true},
      {"OUTPut[:STATe]", "OUTP:STAT ON", true, true},
      {"*IDN?", "*idn?", true, true},
      {"*IDN?", "*IDN", false, true},
      {"*IDN?", "IDN?", false, false},
      {"*IDN?", "*IDNX?", false, false},
      {"MEASure:SINAD?", "MEAS:SINAD?", true, true},
      {"MEASure:SINAD?", "MEAS:SIN?", false, false},
  };
  for (const auto& c : cases) {
    const auto m = parseMessage(c.header);
    ASSERT_EQ(m.units.size(), 1u) << c.header;
    const Pattern p(c.pattern);
    EXPECT_EQ(p.matches(m.units[0]), c.matches) << c.pattern << " / " << c.header;
    EXPECT_EQ(p.matchesPath(m.units[0]), c.pathMatches) << c.pattern << " / " << c.header;
  }
}

TEST(ScpiResponses, ErrorsNumbersAndBlocksAreFormattedAsClientsReadThem) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {kpx::scpi::formatError({}), "0,\"No error\""},
      {kpx::scpi::formatError({err::kUndefinedHeader, ""}), "-113,\"Undefined header\""},
      {kpx::scpi::formatError({err::kDataOutOfRange, "say \"no\"\nnow"}),
       "-222,\"Data out of range;say \"\"no\"\" now\""},
      {kpx::scpi::formatError({12345, ""}), "12345,\"Unknown error\""},
      {kpx::scpi::formatNumber(0), "0"},
      {kpx::scpi::formatNumber(105e6), "105000000"},
      {kpx::scpi::formatNumber(-0.25), "-0.25"},
      {kpx::scpi::formatNumber(1e20), "1E+20"},
      {kpx::scpi::formatNumber(std::nan("")), "9.91E+37"},
      {kpx::scpi::formatNumber(-std::numeric_limits<double>::infinity()), "-9.9E+37"},
      {kpx::scpi::definiteBlock(""), "#10"},
      {kpx::scpi::definiteBlock("abc"), "#13abc"},
      {kpx::scpi::definiteBlock(std::string(12, 'x')), "#212" + std::string(12, 'x')},
      {kpx::scpi::quoted("a\"b"), "\"a\"\"b\""},
  };
  for (const auto& [got, want] : cases) EXPECT_EQ(got, want);
  // Every error number a client can be sent has its standard text.
  for (int code : {err::kCommand, err::kSyntax, err::kDataType, err::kMissingParameter,
                   err::kUndefinedHeader, err::kSettingsConflict, err::kTooMuchData, err::kHardware,
                   err::kHardwareMissing, err::kDataStale, err::kQueueOverflow})
    EXPECT_STRNE(kpx::scpi::errorText(code), "Unknown error") << code;
}

}  // namespace

namespace {

TEST(ScpiAbort, OnlyAnAbortAloneEndsAWait) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"ABOR", true},       {"abort", true},      {"  :AbOrT \r", true}, {":ABOR", true},
      {"ABOR;ABOR", false}, {"ABOR 1", false},    {"ABO", false},        {"ABORTX", false},
      {"*ABOR", false},     {"INIT;ABOR", false}, {"ABOR?", false},      {"", false},
      {"'ABOR'", false},    {"ABOR 'x", false},
  };
  for (const auto& [message, abort] : cases)
    EXPECT_EQ(kpx::scpi::isAbort(message), abort) << message;
}

}  // namespace
