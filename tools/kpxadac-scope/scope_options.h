// The command line of kpxadac-scope.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "acquisition.h"
#include "board_options.h"
#include "view_settings.h"

namespace scope {

// Exit statuses of kpxadac-scope. A failure to serve has always ended it
// with 1 too; scripts test that, so it stays.
enum ExitStatus : int {
  kExitClean = 0,    // served until Ctrl+C or SIGTERM
  kExitUsage = 1,    // bad options: nothing was served
  kExitFailure = 1,  // no ADC board, no such board, the address cannot be served, or serving failed
};

struct Options {
  std::string address = "127.0.0.1";
  uint16_t port = 8080;  // 0: any free port
  bool listenGiven = false;
  std::string token;  // empty: no token needed (loopback without --listen)
  bool tokenGenerated = false;
  kpx::tools::BoardOptions board;  // --index picks the ADC board shown first, or a group
  GroupAlign align;                // --align, for a group
  double maxSpectraPerSecond = 30;
  ViewSettings view;
};

struct ParsedOptions {
  Options options;
  bool exit = false;  // --help, or an error that has been printed
  int exitCode = 0;
};

// Whether --index names several boards: the view shows them as one group.
inline bool isGroup(const Options& options) {
  return options.board.indexes.size() > 1;
}

ParsedOptions parseOptions(int argc, const char* const* argv);

// "ADDR:PORT" with ADDR an IPv4 address or name, or "[IPv6]:PORT"; port 0 is
// allowed (any free port). Returns "" or what is wrong.
std::string parseListen(const std::string& text, std::string& address, uint16_t& port);

// A URL for a browser: the address (IPv6 in brackets), the port, the token.
std::string pageUrl(const std::string& address, uint16_t port, const std::string& token);

}  // namespace scope
