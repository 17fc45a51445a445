// kpxadac-scpi: the boards as a SCPI instrument on a raw TCP socket
// (VISA resource TCPIP::host::5025::SOCKET). docs/scpi.md.
#include <CLI/CLI.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "allow_list.h"
#include "board_options.h"
#include "instrument.h"
#include "kpxadac_board.h"
#include "server.h"

namespace {

constexpr const char* kProgram = "kpxadac-scpi";

struct Options {
  std::string listen = "127.0.0.1:5025";
  std::vector<std::string> allow;
  size_t maxClients = 16;
  size_t maxLine = 65536;
  size_t maxBlock = size_t{64} << 20;
  unsigned idleSeconds = 600;
  unsigned messageSeconds = 30;
};

}  // namespace

int main(int argc, char** argv) {
  Options o;
  CLI::App app{"The KPX-ADAC boards as a SCPI instrument on a raw TCP socket (docs/scpi.md)."};
  app.add_option("--listen", o.listen,
                 "Address and port to listen on (default 127.0.0.1:5025; port 0: any free one). "
                 "An address other than loopback needs --allow")
      ->option_text("ADDR:PORT");
  app.add_option("--allow", o.allow,
                 "A network whose clients may connect, in CIDR form (192.0.2.0/24); repeatable. "
                 "Others are refused at connect")
      ->option_text("CIDR");
  app.add_option("--max-clients", o.maxClients, "Connections at once (default 16)")
      ->check(CLI::Range(1, 256))
      ->option_text("N");
  app.add_option("--max-line", o.maxLine,
                 "Longest message in bytes, blocks not counted (default 65536)")
      ->check(CLI::Range(256, 16 << 20))
      ->option_text("BYTES");
  app.add_option("--max-block", o.maxBlock,
                 "Most block bytes in one message (default 64 MiB: SOURce:DATA:ARBitrary of "
                 "16 M samples fits)")
      ->check(CLI::Range(size_t{1024}, size_t{1} << 30))
      ->option_text("BYTES");
  app.add_option("--idle-timeout", o.idleSeconds,
                 "Seconds a client may send nothing, or take to read a response (default 600)")
      ->check(CLI::Range(1, 86400))
      ->option_text("S");
  app.add_option("--message-timeout", o.messageSeconds,
                 "Seconds from a message's first byte to its newline (default 30)")
      ->check(CLI::Range(1, 86400))
      ->option_text("S");

  asio::ip::tcp::endpoint endpoint;
  std::vector<kpx::scpi_server::Network> networks;
  const auto outcome = kpx::tools::parse(app, argc, argv, kProgram, 1, [&] {
    if (auto reason = kpx::scpi_server::parseEndpoint(o.listen, endpoint); !reason.empty())
      throw CLI::ValidationError("--listen", reason);
    for (const auto& text : o.allow) {
      kpx::scpi_server::Network n;
      if (auto reason = kpx::scpi_server::parseNetwork(text, n); !reason.empty())
        throw CLI::ValidationError("--allow", reason);
      networks.push_back(n);
    }
    if (!endpoint.address().is_loopback() && networks.empty())
      throw CLI::ValidationError("--listen", o.listen +
                                                 " is not a loopback address; SCPI has no "
                                                 "authentication, so give --allow with the "
                                                 "networks that may connect");
  });
  if (!outcome.proceed) return outcome.exitStatus;

  // Standard output carries the listening line alone.
  KpxBoard_SetMessageOutput(KPXBOARD_MESSAGES_STDERR);
  try {
    asio::io_context io(1);
    kpx::scpi_server::Instrument instrument(
        [&io](std::function<void()> f) { asio::post(io, std::move(f)); });
    kpx::scpi_server::ServerLimits limits;
    limits.maxClients = o.maxClients;
    limits.maxLine = o.maxLine;
    limits.maxBlockBytes = o.maxBlock;
    limits.idle = std::chrono::seconds(o.idleSeconds);
    limits.message = std::chrono::seconds(o.messageSeconds);
    kpx::scpi_server::Server server(io, instrument, endpoint, networks, limits);
    asio::signal_set signals(io, SIGINT, SIGTERM);
#ifdef SIGHUP
    signals.add(SIGHUP);  // a closed terminal stops it as SIGTERM does, like the other tools
#endif
    // On a signal the server closes its connections and the boards' threads
    // end; the run then ends for want of work, before anything it uses goes.
    signals.async_wait([&](const asio::error_code&, int) {
      server.stop();
      instrument.shutdown();
    });
    server.start();
    const auto local = server.local();
    const size_t boards = instrument.boards().size();
    std::printf("%s: listening on %s:%u (%zu board%s)\n", kProgram,
                local.address().to_string().c_str(), static_cast<unsigned>(local.port()), boards,
                boards == 1 ? "" : "s");
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
      std::fprintf(stderr, "%s: cannot write to standard output\n", kProgram);
      return 1;
    }
    io.run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", kProgram, e.what());
    return 1;
  }
  return 0;
}
