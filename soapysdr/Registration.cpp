// Finding and making KPX-ADAC devices.
//
// The library's registry is process-wide, and every enumeration registers
// each board again under a new handle, while SoapySDR clients call find
// many times and may make several devices. So the boards are enumerated
// once per process and find answers from that list, which keeps its answer
// the same for as long as the boards stay registered.
#include <SoapySDR/Registry.hpp>
#include <cctype>
#include <cstdio>
#include <set>
#include <vector>
#include <stdexcept>

#include "SoapyKpxadac.hpp"

namespace kpxsoapy {

namespace {

const char* typeName(BoardType type) {
  return type == BOARD_TYPE_DAC ? "DAC" : "ADC";
}

std::string hexByte(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X", value & 0xFFu);
  return text;
}

// Device number, then the identification bytes in the driver's order
// (byte 5 is the board ID).
std::string serialOf(const BoardEntry& board) {
  std::string serial = hexByte(static_cast<unsigned>(board.device)) + "-";
  for (uint8_t byte : board.ident) serial += hexByte(byte);
  return serial;
}

// Registers every board again (other users in the process may hold
// registrations of their own) and describes the ones this enumeration added.
std::vector<BoardEntry> enumerateBoards() {
  std::set<BoardHandle> before;
  for (int32_t position = 0; position < KpxBoard_Count(); ++position) {
    BoardEntry board{};
    if (KpxBoard_Describe(position, &board) == KPXSTREAM_OK) before.insert(board.handle);
  }
  Kpxadac16_Open();
  std::vector<BoardEntry> boards;
  for (int32_t position = 0; position < KpxBoard_Count(); ++position) {
    BoardEntry board{};
    if (KpxBoard_Describe(position, &board) == KPXSTREAM_OK && !before.count(board.handle) &&
        board.device >= 0)
      boards.push_back(board);
  }
  return boards;
}

std::string lowered(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Whole numbers in decimal or 0x hexadecimal; -1 for anything else.
long long parseNumber(const std::string& text) {
  try {
    size_t used = 0;
    const long long value = std::stoll(text, &used, 0);
    return used == text.size() ? value : -1;
  } catch (const std::exception&) {
    return -1;
  }
}

// Whether the board's find answer agrees with every identifying key given.
bool matches(const SoapySDR::Kwargs& found, const SoapySDR::Kwargs& args) {
  for (const auto& [key, value] : args) {
    if (key == "driver" || !found.count(key)) continue;  // not a key that identifies a board
    const std::string& own = found.at(key);
    bool same = false;
    if (key == "type" || key == "serial")
      same = lowered(value) == lowered(own);
    else if (key == "label")
      same = value == own;
    else
      same = parseNumber(value) >= 0 && parseNumber(value) == parseNumber(own);
    if (!same) return false;
  }
  return true;
}

SoapySDR::KwargsList findKpxadac(const SoapySDR::Kwargs& args) {
  SoapySDR::KwargsList results;
  if (args.count("driver") && args.at("driver") != "kpxadac") return results;
  for (const BoardEntry& board : registeredBoards()) {
    // A board closed by someone else since the enumeration is gone.
    if (Kpxadac16_GetState(board.handle) == STATE_NONE) continue;
    SoapySDR::Kwargs found = describeBoard(board);
    if (matches(found, args)) results.push_back(found);
  }
  return results;
}

SoapySDR::Device* makeKpxadac(const SoapySDR::Kwargs& args) {
  if (!args.count("device") && !(args.count("type") && args.count("index")) &&
      !args.count("serial"))
    throw std::runtime_error("kpxadac: name the board with device=N, or type=adc|dac and index=N");
  const SoapySDR::KwargsList found = findKpxadac(args);
  if (found.empty()) {
    std::string asked;
    for (const auto& [key, value] : args)
      if (key != "driver") asked += (asked.empty() ? "" : ", ") + key + "=" + value;
    throw std::runtime_error("kpxadac: no board with " + asked + " (" +
                             std::to_string(registeredBoards().size()) + " boards registered)");
  }
  const int device = static_cast<int>(parseNumber(found.front().at("device")));
  for (const BoardEntry& board : registeredBoards())
    if (board.device == device) return new SoapyKpxadac(board);
  throw std::logic_error("kpxadac: a found board is not in the list");
}

}  // namespace

const std::vector<BoardEntry>& registeredBoards() {
  static const std::vector<BoardEntry> boards = enumerateBoards();
  return boards;
}

SoapySDR::Kwargs describeBoard(const BoardEntry& board) {
  SoapySDR::Kwargs result;
  result["driver"] = "kpxadac";
  result["label"] = board.label;
  result["device"] = std::to_string(board.device);
  result["type"] = lowered(typeName(board.type));
  result["index"] = std::to_string(board.index);
  result["board_id"] = "0x" + hexByte(static_cast<unsigned>(board.boardId));
  result["serial"] = serialOf(board);
  return result;
}

}  // namespace kpxsoapy

static SoapySDR::Registry registerKpxadac("kpxadac", &kpxsoapy::findKpxadac, &kpxsoapy::makeKpxadac,
                                          SOAPY_SDR_ABI_VERSION);
