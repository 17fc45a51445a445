// The board-free parts of kpxadac-scope: the access guard, the command line,
// the settings the page may change, the frame hub's per-client slots, the
// spectrum and waveform pieces of a frame, and the HTTP server on loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <numbers>
#include <thread>

#include "access_guard.h"
#include "acquisition.h"
#include "frame_hub.h"
#include "response_request.h"
#include "response_runner.h"
#include "scope_options.h"
#include "sim_fixture.h"
#include "spectrum_view.h"
#include "view_settings.h"
#include "web_server.h"

namespace scope {
namespace {

using namespace std::chrono_literals;

httplib::Request requestWith(const std::string& host, const std::string& token = "",
                             const std::string& authorization = "") {
  httplib::Request request;
  request.headers.emplace("Host", host);
  if (!token.empty()) request.params.emplace("token", token);
  if (!authorization.empty()) request.headers.emplace("Authorization", authorization);
  return request;
}

TEST(AccessGuard, WithATokenEveryRequestMustCarryIt) {
  const std::string token = "0123456789abcdef0123456789abcdef";
  const AccessGuard guard(token, {});
  EXPECT_EQ(guard.check(requestWith("anything")), Access::kNoToken);
  EXPECT_EQ(guard.check(requestWith("anything", token)), Access::kAllowed);
  EXPECT_EQ(guard.check(requestWith("anything", "", "Bearer " + token)), Access::kAllowed);
  EXPECT_EQ(guard.check(requestWith("anything", token.substr(1))), Access::kWrongToken);
  EXPECT_EQ(guard.check(requestWith("anything", token + "0")), Access::kWrongToken);
  EXPECT_EQ(guard.check(requestWith("anything", "", "Basic " + token)), Access::kNoToken);
  // A wrong query token is not rescued by a right header.
  EXPECT_EQ(guard.check(requestWith("anything", "x", "Bearer " + token)), Access::kWrongToken);
}

TEST(AccessGuard, WithoutATokenOnlyTheServersOwnNamesAreAnswered) {
  const AccessGuard guard("", {"127.0.0.1:8080", "localhost:8080"});
  EXPECT_EQ(guard.check(requestWith("127.0.0.1:8080")), Access::kAllowed);
  EXPECT_EQ(guard.check(requestWith("localhost:8080")), Access::kAllowed);
  EXPECT_EQ(guard.check(requestWith("evil.example:8080")), Access::kForeignHost);
  EXPECT_EQ(guard.check(requestWith("127.0.0.1:8081")), Access::kForeignHost);
  EXPECT_EQ(guard.check(httplib::Request{}), Access::kForeignHost);
}

TEST(AccessGuard, TokensAreRandomAndChecked) {
  const auto a = generateToken();
  const auto b = generateToken();
  EXPECT_NE(a, b);
  EXPECT_EQ(a.size(), 32u);
  EXPECT_EQ(tokenProblem(a), "");
  EXPECT_NE(tokenProblem("short"), "");
  EXPECT_NE(tokenProblem(std::string(129, 'a')), "");
  EXPECT_NE(tokenProblem("has a space in it ok"), "");
  EXPECT_NE(tokenProblem("ampersand&injects=more"), "");
  EXPECT_TRUE(tokensEqual("abc", "abc"));
  EXPECT_FALSE(tokensEqual("abc", "abd"));
  EXPECT_FALSE(tokensEqual("abc", "abcd"));
}

TEST(Options, ListenAddressesAndUrls) {
  std::string address;
  uint16_t port = 1;
  EXPECT_EQ(parseListen("0.0.0.0:8080", address, port), "");
  EXPECT_EQ(address, "0.0.0.0");
  EXPECT_EQ(port, 8080);
  EXPECT_EQ(parseListen("[::1]:0", address, port), "");
  EXPECT_EQ(address, "::1");
  EXPECT_EQ(port, 0);
  for (const char* bad :
       {"8080", ":8080", "host:", "host:65536", "host:80x", "::1:80", "[::1:80", "[]:80"})
    EXPECT_NE(parseListen(bad, address, port), "") << bad;
  EXPECT_EQ(pageUrl("::1", 80, "t"), "http://[::1]:80/?token=t");
  EXPECT_EQ(pageUrl("127.0.0.1", 8080, ""), "http://127.0.0.1:8080/");
}

TEST(Options, ListenGeneratesATokenAndRefusesBadOnes) {
  const char* listen[] = {"kpxadac-scope", "--listen", "127.0.0.2:0"};
  const auto withListen = parseOptions(3, listen);
  ASSERT_FALSE(withListen.exit);
  EXPECT_TRUE(withListen.options.tokenGenerated);
  EXPECT_EQ(tokenProblem(withListen.options.token), "");

  const char* plain[] = {"kpxadac-scope", "--fft-size", "4096", "--window", "HANN"};
  const auto local = parseOptions(5, plain);
  ASSERT_FALSE(local.exit);
  EXPECT_EQ(local.options.token, "");
  EXPECT_EQ(local.options.address, "127.0.0.1");
  EXPECT_EQ(local.options.view.fftSize, 4096u);
  EXPECT_EQ(local.options.view.window, kpx::analysis::Window::kHann);

  const char* badToken[] = {"kpxadac-scope", "--token", "x"};
  EXPECT_EQ(parseOptions(3, badToken).exitCode, 1);
  const char* badSize[] = {"kpxadac-scope", "--fft-size", "3000"};
  EXPECT_TRUE(parseOptions(3, badSize).exit);
  const char* both[] = {"kpxadac-scope", "--port", "1", "--listen", "0.0.0.0:2"};
  EXPECT_TRUE(parseOptions(5, both).exit);
}

TEST(Options, GroupIndexesAndAlignment) {
  using kpx::tools::AlignChoice;
  struct Case {
    std::vector<const char*> args;
    bool accepted;
    std::vector<unsigned> indexes;
    AlignChoice align;
    std::vector<double> offsets;
  };
  const Case cases[] = {
      {{"--index", "2"}, true, {2}, AlignChoice::kNone, {}},
      {{"--index", "0,1"}, true, {0, 1}, AlignChoice::kNone, {}},
      {{"--index", "3,0,1", "--align", "MEASURE"}, true, {3, 0, 1}, AlignChoice::kMeasure, {}},
      {{"--index", "0,1", "--align", "offsets:0,-37.5"},
       true,
       {0, 1},
       AlignChoice::kOffsets,
       {0, -37.5}},
      {{"--align", "measure"}, false, {}, {}, {}},                      // one board
      {{"--index", "0,1", "--align", "offsets:0"}, false, {}, {}, {}},  // too few
      {{"--index", "0,1", "--align", "offsets:0,nan"}, false, {}, {}, {}},
      {{"--index", "0,1", "--align", "offsets:0,inf"}, false, {}, {}, {}},
      {{"--index", "0,1", "--align", "later"}, false, {}, {}, {}},
      {{"--index", "1,1"}, false, {}, {}, {}},                // twice
      {{"--index", "0,1,2,3,4,5,6,7,8"}, false, {}, {}, {}},  // above 8
      {{"--index", "0,"}, false, {}, {}, {}},
      {{"--index", "0,256"}, false, {}, {}, {}},
  };
  for (const auto& c : cases) {
    std::vector<const char*> argv{"kpxadac-scope"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    std::string text;
    for (const char* arg : c.args) text += std::string(arg) + " ";
    const auto parsed = parseOptions(static_cast<int>(argv.size()), argv.data());
    if (!c.accepted) {
      EXPECT_TRUE(parsed.exit) << text;
      EXPECT_EQ(parsed.exitCode, 1) << text;
      continue;
    }
    ASSERT_FALSE(parsed.exit) << text;
    EXPECT_EQ(parsed.options.board.indexes, c.indexes) << text;
    EXPECT_EQ(parsed.options.view.board, c.indexes.front()) << text;
    EXPECT_EQ(isGroup(parsed.options), c.indexes.size() > 1) << text;
    EXPECT_EQ(parsed.options.align.choice, c.align) << text;
    EXPECT_EQ(parsed.options.align.offsets, c.offsets) << text;
  }
}

TEST(ViewSettings, ChangesApplyWholeOrNotAtAll) {
  ViewSettings settings;
  EXPECT_EQ(applySettingsChange({{"board", 1},
                                 {"fft_size", 1048576},
                                 {"window", "rectangular"},
                                 {"averaging", 100},
                                 {"trigger_level", -32768}},
                                2, settings),
            "");
  EXPECT_EQ(settings.board, 1u);
  EXPECT_EQ(settings.fftSize, 1048576u);
  EXPECT_EQ(settings.window, kpx::analysis::Window::kRectangular);
  EXPECT_EQ(settings.averaging, 100u);
  EXPECT_EQ(settings.triggerLevel, -32768);
  EXPECT_EQ(settingsJson(settings)["window"], "rectangular");

  const ViewSettings before = settings;
  const nlohmann::json refused[] = {
      {{"fft_size", 1000}},
      {{"fft_size", 2097152}},
      {{"fft_size", 512}},
      {{"fft_size", 1024.0}},
      {{"fft_size", "1024"}},
      {{"window", "kaiser"}},
      {{"window", 1}},
      {{"averaging", 0}},
      {{"averaging", 10001}},
      {{"trigger_level", 32768}},
      {{"board", 2}},
      {{"board", -1}},
      {{"board", 18446744073709551615ull}},
      {{"colour", "red"}},
      {{"averaging", 4}, {"board", 9}},
      nlohmann::json::array({1}),
  };
  for (const auto& change : refused) {
    EXPECT_NE(applySettingsChange(change, 2, settings), "") << change.dump();
    EXPECT_EQ(settings, before) << change.dump();
  }
}

// The trigger's settings; each change of them, and a re-arm, starts the
// trigger over, and nothing else does.
TEST(ViewSettings, TriggerChangesReArm) {
  ViewSettings settings;
  EXPECT_EQ(
      applySettingsChange(
          {{"trigger_mode", "single"}, {"trigger_edge", "either"}, {"trigger_hysteresis", 65535}},
          1, settings),
      "");
  EXPECT_EQ(settings.triggerMode, TriggerMode::kSingle);
  EXPECT_EQ(settings.triggerEdge, 2);
  EXPECT_EQ(settings.triggerHysteresis, 65535);
  EXPECT_EQ(settingsJson(settings)["trigger_mode"], "single");
  EXPECT_EQ(settingsJson(settings)["trigger_edge"], "either");
  const unsigned arming = settings.triggerArming;
  EXPECT_EQ(applySettingsChange({{"rearm", true}}, 1, settings), "");
  EXPECT_EQ(settings.triggerArming, arming + 1);
  EXPECT_EQ(applySettingsChange({{"averaging", 3}}, 1, settings), "");
  EXPECT_EQ(settings.triggerArming, arming + 1);

  const ViewSettings before = settings;
  for (const auto& change :
       {nlohmann::json{{"trigger_mode", "once"}}, nlohmann::json{{"trigger_edge", 1}},
        nlohmann::json{{"trigger_hysteresis", -1}}, nlohmann::json{{"trigger_hysteresis", 65536}},
        nlohmann::json{{"rearm", false}}, nlohmann::json{{"rearm", true}, {"trigger_mode", "x"}}}) {
    EXPECT_NE(applySettingsChange(change, 1, settings), "") << change.dump();
    EXPECT_EQ(settings, before) << change.dump();
  }
}

TEST(FrameHub, ASlowClientGetsOnlyTheLatestOfEachKind) {
  FrameHub hub(2);
  auto client = hub.connect();
  ASSERT_TRUE(client);
  for (int i = 1; i <= 5; ++i) hub.publish(Channel::kFrame, "frame " + std::to_string(i));
  hub.publish(Channel::kStatus, "status");
  std::vector<Message> messages;
  ASSERT_EQ(client->next(0ms, messages), HubClient::Wait::kMessages);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(*messages[0], "status");
  EXPECT_EQ(*messages[1], "frame 5");
  EXPECT_EQ(client->dropped(), 4u);
  messages.clear();
  EXPECT_EQ(client->next(10ms, messages), HubClient::Wait::kTimeout);
  EXPECT_TRUE(messages.empty());
}

TEST(FrameHub, NewClientsGetTheLatestStatusAndTheLimitHolds) {
  FrameHub hub(2);
  hub.publish(Channel::kStatus, "old");
  hub.publish(Channel::kStatus, "latest");
  hub.publish(Channel::kFrame, "frame before anyone came");
  auto first = hub.connect();
  auto second = hub.connect();
  ASSERT_TRUE(first && second);
  EXPECT_EQ(hub.connect(), nullptr);
  std::vector<Message> messages;
  ASSERT_EQ(first->next(0ms, messages), HubClient::Wait::kMessages);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(*messages[0], "latest");
  hub.disconnect(second);
  EXPECT_EQ(hub.clientCount(), 1u);
  EXPECT_NE(hub.connect(), nullptr);
}

TEST(FrameHub, CloseWakesAWaitingClient) {
  FrameHub hub(1);
  auto client = hub.connect();
  std::thread closer([&] {
    std::this_thread::sleep_for(20ms);
    hub.close();
  });
  std::vector<Message> messages;
  EXPECT_EQ(client->next(60s, messages), HubClient::Wait::kClosed);
  closer.join();
  EXPECT_EQ(hub.connect(), nullptr);
  EXPECT_EQ(sseMessage("frame", "{}"), "event: frame\ndata: {}\n\n");
}

TEST(SpectrumView, ThinningKeepsTheStrongestBinOfEachGroup) {
  std::vector<double> power(32769, 1e-12);
  power[6242] = 0.5;  // a tone inside a group, not at its start
  power[0] = 0;
  const auto thinned = thinSpectrum(power, 4096);
  EXPECT_LE(thinned.bins.size(), 4096u);
  EXPECT_GE(thinned.bins.size(), 3600u);
  const auto peak =
      std::max_element(thinned.dbfs.begin(), thinned.dbfs.end()) - thinned.dbfs.begin();
  EXPECT_EQ(thinned.bins[static_cast<size_t>(peak)], 6242u);
  EXPECT_DOUBLE_EQ(thinned.dbfs[static_cast<size_t>(peak)], -3.01);
  EXPECT_DOUBLE_EQ(thinned.dbfs[0], -120);  // the group's strongest, not the empty DC bin
  EXPECT_EQ(toDbfs(0), kpx::analysis::kFloorDbfs);

  const std::vector<double> small{1, 0.1, 0.01};
  EXPECT_EQ(thinSpectrum(small, 4096).bins, (std::vector<uint32_t>{0, 1, 2}));
}

TEST(SpectrumView, RisingEdgeOfASineWithHysteresis) {
  // 20 samples a period, amplitude 10000: rising zero crossings at 0, 20, 40...
  std::vector<int16_t> sine(200);
  for (size_t i = 0; i < sine.size(); ++i)
    sine[i] = static_cast<int16_t>(
        std::lround(10000 * std::sin(2 * std::numbers::pi * static_cast<double>(i) / 20)));
  EXPECT_EQ(findRisingEdge(sine, 0, 64, 1, 200), 20u);  // index 0 has no history below the level
  EXPECT_EQ(findRisingEdge(sine, 0, 64, 25, 200), 40u);
  EXPECT_EQ(findRisingEdge(sine, 9000, 64, 0, 200), 4u);  // 8090 at 3, 9511 at 4
  EXPECT_EQ(findRisingEdge(sine, 0, 64, 41, 60), std::nullopt);
  EXPECT_EQ(findRisingEdge(sine, 12000, 64, 0, 200), std::nullopt);

  // Noise around the level re-arms only after going below level - hysteresis.
  const std::vector<int16_t> jitter{-100, 10, -10, 10, -10, 10, -100, 10};
  EXPECT_EQ(findRisingEdge(jitter, 0, 64, 2, 8), 7u);
}

TEST(SpectrumView, RunningAverageIsTheMeanThenWeighsNewSpectraByOneOverN) {
  RunningAverage average;
  average.setLength(4);
  for (double value : {1.0, 2.0, 3.0, 6.0}) average.add({value, 2 * value});
  EXPECT_EQ(average.count(), 4u);
  EXPECT_DOUBLE_EQ(average.value()[0], 3.0);
  EXPECT_DOUBLE_EQ(average.value()[1], 6.0);
  average.add({7.0, 14.0});
  EXPECT_EQ(average.count(), 4u);
  EXPECT_DOUBLE_EQ(average.value()[0], 3.0 + (7.0 - 3.0) / 4);
  average.add({1.0});  // another FFT size starts over
  EXPECT_EQ(average.count(), 1u);
  EXPECT_EQ(average.value(), std::vector<double>{1.0});
}

// A scope behind the server that only records what it is asked.
class RecordingControl : public ScopeControl {
 public:
  nlohmann::json state() override { return {{"settings", settingsJson(settings)}}; }
  std::string changeSettings(const nlohmann::json& change, nlohmann::json& out) override {
    const auto error = applySettingsChange(change, 1, settings);
    out = settingsJson(settings);
    return error;
  }
  bool withBoardReleased(const std::function<void(unsigned, BoardHandle)>&) override {
    ++released;
    return false;
  }
  ViewSettings settings;
  std::atomic<int> released{0};
};

class ServerTest : public ::testing::Test {
 protected:
  void start(const std::string& token) {
    ServerConfig config;
    config.port = 0;
    config.token = token;
    config.maxEventClients = 1;
    server_ = std::make_unique<WebServer>(config, "<html>page</html>", hub_, control_, *response_);
    ASSERT_EQ(server_->bind(), "");
    thread_ = std::thread([this] { server_->run(); });
  }
  void TearDown() override {
    hub_.close();
    if (server_) server_->stop();
    if (thread_.joinable()) thread_.join();
    response_->shutdown();
  }
  httplib::Client client() {
    httplib::Client c("127.0.0.1", server_->port());
    c.set_read_timeout(10, 0);
    return c;
  }

  FrameHub hub_{1};
  RecordingControl control_;
  std::unique_ptr<ResponseRunner> response_ = makeResponseRunner(control_, hub_);
  std::unique_ptr<WebServer> server_;
  std::thread thread_;
};

TEST_F(ServerTest, TokenPageApiAndLimits) {
  const std::string token = "abcdefabcdefabcdefabcdef";
  start(token);
  auto c = client();
  EXPECT_EQ(c.Get("/")->status, 401);
  const auto page = c.Get("/?token=" + token);
  EXPECT_EQ(page->status, 200);
  EXPECT_EQ(page->body, "<html>page</html>");
  EXPECT_NE(page->get_header_value("Content-Security-Policy"), "");
  EXPECT_EQ(c.Get("/nothing?token=" + token)->status, 404);
  EXPECT_EQ(
      c.Post("/api/settings?token=" + token, R"({"averaging": 3})", "application/json")->status,
      200);
  EXPECT_EQ(control_.settings.averaging, 3u);
  EXPECT_EQ(
      c.Post("/api/settings?token=" + token, R"({"averaging": 0})", "application/json")->status,
      400);
  EXPECT_EQ(c.Post("/api/settings?token=" + token, "[", "application/json")->status, 400);
  EXPECT_EQ(c.Post("/api/settings?token=" + token, std::string(WebServer::kMaxBodyBytes + 1, ' '),
                   "application/json")
                ->status,
            413);
  EXPECT_EQ(control_.settings.averaging, 3u);
}

TEST_F(ServerTest, WithoutATokenAForeignHostIsRefused) {
  start("");
  auto c = client();
  EXPECT_EQ(c.Get("/")->status, 200);
  EXPECT_EQ(c.Get("/", {{"Host", "rebound.example"}})->status, 403);
}

// Requests the server refuses or trims before any body is read, each with
// the status and a word of the reason; the connection stays usable or is
// closed, never waits.
TEST_F(ServerTest, RequestsAreBoundedBeforeTheirBodyIsRead) {
  start("");
  auto c = client();
  const std::string deep =
      R"({"averaging": )" + std::string(5000, '[') + std::string(5000, ']') + "}";
  struct Case {
    const char* what;
    httplib::Headers headers;
    std::string body;
    int status;
    const char* reason;
  };
  const Case cases[] = {
      {"compressed", {{"Content-Encoding", "gzip"}}, R"({"averaging": 2})", 415, "compressed"},
      {"nested too deep", {}, deep, 400, "nested deeper than 8"},
      {"nested at the bound", {}, R"({"averaging": [[[[[[[1]]]]]]]})", 400, "averaging"},
      {"too large", {}, std::string(WebServer::kMaxBodyBytes + 1, ' '), 413, "16384 bytes"},
      {"good", {}, R"({"averaging": 5})", 200, ""},
  };
  for (const auto& one : cases) {
    SCOPED_TRACE(one.what);
    const auto answer = c.Post("/api/settings", one.headers, one.body, "application/json");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, one.status);
    EXPECT_NE(answer->body.find(one.reason), std::string::npos) << answer->body;
  }
  EXPECT_EQ(control_.settings.averaging, 5u);

  // Several ranges: the whole page, not one copy per range; one range is served.
  const auto whole = c.Get("/", {{"Range", "bytes=0-,0-,0-,1-3"}});
  ASSERT_TRUE(whole);
  EXPECT_EQ(whole->status, 200);
  EXPECT_EQ(whole->body, "<html>page</html>");
  const auto part = c.Get("/", {{"Range", "bytes=1-4"}});
  ASSERT_TRUE(part);
  EXPECT_EQ(part->status, 206);
  EXPECT_EQ(part->body, "html");
}

// A kept-alive connection goes back to the gate between its requests and
// comes out again for each; more than httplib's five per connection open
// a new one.
TEST_F(ServerTest, KeptAliveConnectionsPassTheGateForEachRequest) {
  const std::string token = "abcdefabcdefabcdefabcdef";
  start(token);
  auto c = client();
  c.set_keep_alive(true);
  for (int i = 0; i < 12; ++i) {
    SCOPED_TRACE(i);
    const auto answer = c.Get(i % 3 == 0 ? "/api/state" : "/api/state?token=" + token);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, i % 3 == 0 ? 401 : 200);
  }
}

// The response view's requests that never reach a board: each refused
// with its status and the field it names; no result to download yet.
TEST_F(ServerTest, ResponseRequestsAreCheckedBeforeAnyBoardIsTaken) {
  start("");
  auto c = client();
  const auto state = c.Get("/api/response");
  ASSERT_TRUE(state);
  EXPECT_EQ(state->status, 200);
  const bool available = nlohmann::json::parse(state->body)["available"].get<bool>();
  struct Case {
    std::string body;
    const char* type;
    int status;  // with the library; 501 without
    const char* reason;
  };
  const Case cases[] = {
      {R"({"points": 20})", "text/plain", 415, "application/json"},
      {"[1,", "application/json", 400, "not JSON"},
      {R"({"points": 0})", "application/json", 400, "points"},
      {R"({"points": 2.5})", "application/json", 400, "points"},
      {R"({"points": 10001})", "application/json", 400, "points"},
      {R"({"start_hz": -5})", "application/json", 400, "start_hz"},
      {R"({"stop_hz": 1e999})", "application/json", 400, "not JSON"},  // no infinity
      {R"({"stop_hz": -1e-300})", "application/json", 400, "stop_hz"},
      {R"({"stop_hz": "5e6"})", "application/json", 400, "stop_hz"},
      {R"({"amplitude_dbfs": 0.5})", "application/json", 400, "amplitude_dbfs"},
      {R"({"amplitude_dbfs": -101})", "application/json", 400, "amplitude_dbfs"},
      {R"({"method": "chirp"})", "application/json", 400, "method"},
      {R"({"dac": -1})", "application/json", 400, "dac"},
      {R"({"dac": 256})", "application/json", 400, "dac"},
      {R"({"spacing": "octaves"})", "application/json", 400, "spacing"},
      {R"({"adc": 1})", "application/json", 400, "unknown field"},
      {"[]", "application/json", 400, "JSON object"},
  };
  for (const auto& one : cases) {
    SCOPED_TRACE(one.body);
    const auto answer = c.Post("/api/response", one.body, one.type);
    ASSERT_TRUE(answer);
    const bool beforeRunner = one.status == 415 || std::string(one.reason) == "not JSON";
    EXPECT_EQ(answer->status, available || beforeRunner ? one.status : 501);
    if (available || beforeRunner) {
      EXPECT_NE(answer->body.find(one.reason), std::string::npos) << answer->body;
    }
  }
  EXPECT_EQ(control_.released, 0);  // nothing asked for the board
  const auto csv = c.Get("/api/response/result.csv");
  ASSERT_TRUE(csv);
  EXPECT_EQ(csv->status, available ? 404 : 501);
  EXPECT_EQ(c.Get("/api/response/result")->status, available ? 404 : 501);
}

TEST(ResponseRequest, FieldsAreCheckedWholeOrNotAtAll) {
  ResponseAsk defaults;
  defaults.dac = 1;
  defaults.request.startHz = 10e3;
  defaults.request.stopHz = 40e6;
  defaults.request.points = 200;
  defaults.request.amplitudeDbfs = -6;
  defaults.request.method = KPXRESPONSE_METHOD_MULTITONE;

  ResponseAsk ask = defaults;
  ASSERT_EQ(parseResponseAsk(nlohmann::json::parse(R"({"dac": 0, "start_hz": 1e3, "stop_hz": 2e6,
      "points": 7, "method": "sweep", "amplitude_dbfs": -100, "spacing": "linear"})"),
                             ask),
            "");
  EXPECT_EQ(ask.dac, 0u);
  EXPECT_EQ(ask.request.startHz, 1e3);
  EXPECT_EQ(ask.request.stopHz, 2e6);
  EXPECT_EQ(ask.request.points, 7u);
  EXPECT_EQ(ask.request.method, KPXRESPONSE_METHOD_SWEEP);
  EXPECT_EQ(ask.request.amplitudeDbfs, -100);
  EXPECT_EQ(ask.request.spacing, KPXRESPONSE_SPACING_LINEAR);

  // An empty object keeps the defaults; a bad field changes nothing, even
  // after good ones.
  ask = defaults;
  ASSERT_EQ(parseResponseAsk(nlohmann::json::object(), ask), "");
  EXPECT_EQ(ask.request.points, 200u);
  EXPECT_EQ(ask.dac, 1u);
  const auto bad = parseResponseAsk(
      nlohmann::json::parse(R"({"dac": 0, "points": 12, "amplitude_dbfs": 1})"), ask);
  EXPECT_NE(bad.find("amplitude_dbfs"), std::string::npos) << bad;
  EXPECT_EQ(ask.dac, 1u);
  EXPECT_EQ(ask.request.points, 200u);
  // The edges: points 1 and 10000, 0 dBFS are taken; 0 Hz is not.
  for (const char* good : {R"({"points": 1})", R"({"points": 10000})", R"({"amplitude_dbfs": 0})",
                           R"({"method": "sine"})", R"({"spacing": "log"})"})
    EXPECT_EQ(parseResponseAsk(nlohmann::json::parse(good), ask), "") << good;
  for (const char* worse : {R"({"start_hz": 0})", R"({"stop_hz": null})", R"({"points": true})",
                            R"({"method": 1})", R"({"dac": 1.0})"})
    EXPECT_NE(parseResponseAsk(nlohmann::json::parse(worse), ask), "") << worse;
}

TEST_F(ServerTest, EventStreamDeliversPublishedFramesAndRefusesExtraClients) {
  start("");
  std::string received;
  std::thread reader([&] {
    auto c = client();
    c.Get("/api/events", [&](const char* data, size_t length) {
      received.append(data, length);
      return received.find("event: frame") == std::string::npos;  // stop after the first frame
    });
  });
  while (hub_.clientCount() == 0) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(client().Get("/api/events")->status, 503);  // the one slot is taken
  hub_.publish(Channel::kFrame, sseMessage("frame", R"({"seq":1})"));
  reader.join();
  EXPECT_NE(received.find("event: frame\ndata: {\"seq\":1}\n\n"), std::string::npos);
}

}  // namespace
}  // namespace scope

namespace scope {
namespace {

class AcquisitionTest : public SimTest {
 protected:
  void SetUp() override {
#ifdef _WIN32
    // The scope's parts reach the boards through the DLL, this test's rack
    // lives in the static library: two registries on Windows. The code is
    // the same on every host and runs here natively.
    GTEST_SKIP() << "the scope's parts and the test's rack are in different libraries";
#endif
    SimTest::SetUp();
  }

  std::unique_ptr<Acquisition> start(std::string& error) {
    return Acquisition::start(
        {0, board, 0x8A}, KPXSTREAM_SETUP_AUTO_CLOCK, [this] { ++overruns_; }, error);
  }
  std::atomic<int> overruns_{0};
};

TEST_F(AcquisitionTest, HandsOutFreshContiguousStretchesAcrossBlocks) {
  openBoard(R"("signal": {"type": "ramp"})");
  std::string error;
  auto acquisition = start(error);
  ASSERT_TRUE(acquisition) << error;
  // More than one block, so every stretch is put together from two or three.
  std::vector<int16_t> samples(Acquisition::kBlockBytes / 2 + 40000);
  uint64_t previousEnd = 0;
  for (int round = 0; round < 3; ++round) {
    uint64_t first = 0;
    ASSERT_TRUE(
        acquisition->takeSamples(samples.data(), samples.size(), std::chrono::seconds(30), first));
    EXPECT_GE(first, previousEnd);
    for (size_t i = 0; i < samples.size(); ++i)
      ASSERT_EQ(static_cast<uint16_t>(samples[i]), static_cast<uint16_t>(first + i))
          << "round " << round << ", " << i;
    previousEnd = first + samples.size();
  }
  EXPECT_EQ(overruns_, 0);
  EXPECT_TRUE(acquisition->status().running);

  std::string busy;
  EXPECT_EQ(start(busy), nullptr);
  EXPECT_NE(busy.find("ADC board 0: the stream did not start"), std::string::npos) << busy;
}

TEST_F(AcquisitionTest, EachGapBecomesAnOverrunEvent) {
  openBoard(
      R"("signal": {"type": "ramp"}, "faults": [{"op": "read", "skip": 3, "count": 1, "rx_overrun": 5}])");
  std::string error;
  auto acquisition = start(error);
  ASSERT_TRUE(acquisition) << error;
  std::vector<int16_t> samples(1024);
  uint64_t first = 0;
  while (acquisition->status().overrunEvents == 0)
    ASSERT_TRUE(
        acquisition->takeSamples(samples.data(), samples.size(), std::chrono::seconds(30), first));
  // The event is noted before the block is given back, so a stretch taken
  // after the status shows it finds it in the list.
  ASSERT_TRUE(
      acquisition->takeSamples(samples.data(), samples.size(), std::chrono::seconds(30), first));
  const auto status = acquisition->status();
  ASSERT_EQ(status.recentEvents.size(), 1u);
  EXPECT_EQ(status.recentEvents[0].seq, 1u);
  EXPECT_EQ(status.recentEvents[0].lostSamples, 10u);  // 5 words
  EXPECT_EQ(status.recentEvents[0].index, 3u * Acquisition::kBlockBytes / 2 + 10);
  EXPECT_EQ(status.overrunSamples, 10u);
  EXPECT_EQ(status.error, "");
  EXPECT_EQ(overruns_, 1);
}

// A group of unpaced boards on one noise source, each at its own place on
// the rack's timeline, aligned from given and from measured offsets: every
// board's trace is the same samples, and the first board's samples feed the
// spectrum.
TEST_F(AcquisitionTest, AGroupsTracesAreEqualOnceAligned) {
  const std::vector<double> truth{0, 37, -5};
  std::string rack = R"({"sources": {"ref": {"type": "noise", "amplitude_dbfs": -10, "seed": 5}},
                         "boards": [)";
  for (size_t b = 0; b < truth.size(); ++b)
    rack += std::string(b ? "," : "") + R"({"device": )" + std::to_string(b) +
            R"(, "input": "ref", "timeline_offset": )" + std::to_string(truth[b]) + "}";
  useRack(rack + "]}");
  Kpxadac16_Open();
  std::vector<BoardInfo> boards;
  for (unsigned b = 0; b < truth.size(); ++b)
    boards.push_back({b, Kpxadac16_GetHandle(BOARD_TYPE_ADC, static_cast<uint8_t>(b)), 0x8A});

  GroupAlign given{kpx::tools::AlignChoice::kOffsets, truth};
  GroupAlign measured{kpx::tools::AlignChoice::kMeasure, {}};
  for (const GroupAlign& align : {given, measured}) {
    std::string error;
    auto group = Acquisition::startGroup(
        boards, KPXSTREAM_SETUP_AUTO_CLOCK, align, [this] { ++overruns_; }, error);
    ASSERT_TRUE(group) << error;
    EXPECT_TRUE(group->isGroup());
    std::vector<int16_t> samples(1024);
    uint64_t first = 0;
    // Two stretches: the traces of the block that gave the first are set
    // before the consumer feeds the second.
    for (int round = 0; round < 2; ++round)
      ASSERT_TRUE(
          group->takeSamples(samples.data(), samples.size(), std::chrono::seconds(30), first));
    std::vector<Trace> traces;
    uint64_t groupIndex = 0;
    ASSERT_TRUE(group->latestTraces(traces, groupIndex));
    ASSERT_EQ(traces.size(), truth.size());
    for (size_t b = 0; b < truth.size(); ++b) {
      EXPECT_EQ(traces[b].index, b);
      EXPECT_NEAR(traces[b].offset, truth[b], 0.05) << "board " << b;
      EXPECT_EQ(traces[0].skip - traces[b].skip, truth[b]) << "board " << b;
      ASSERT_EQ(traces[b].samples.size(), Acquisition::kTraceSamples);
      EXPECT_EQ(traces[b].samples, traces[0].samples) << "board " << b;
    }
    EXPECT_NE(std::count(traces[0].samples.begin(), traces[0].samples.end(), 0),
              static_cast<ptrdiff_t>(traces[0].samples.size()));
    const auto status = group->status();
    EXPECT_TRUE(status.running);
    EXPECT_EQ(status.error, "");
  }

  // Refused, with the reason: one board, a board twice, a board busy.
  std::string error;
  EXPECT_EQ(Acquisition::startGroup({boards[0]}, KPXSTREAM_SETUP_AUTO_CLOCK, {}, {}, error),
            nullptr);
  EXPECT_NE(error.find("2 to 8 boards"), std::string::npos) << error;
  error.clear();
  EXPECT_EQ(
      Acquisition::startGroup({boards[0], boards[0]}, KPXSTREAM_SETUP_AUTO_CLOCK, {}, {}, error),
      nullptr);
  EXPECT_NE(error.find(KpxGroup_ResultText(KPXGROUP_ERR_DUPLICATE)), std::string::npos) << error;
  error.clear();
  auto single = Acquisition::start(boards[1], KPXSTREAM_SETUP_AUTO_CLOCK, {}, error);
  ASSERT_TRUE(single) << error;
  EXPECT_EQ(Acquisition::startGroup(boards, KPXSTREAM_SETUP_AUTO_CLOCK, {}, {}, error), nullptr);
  EXPECT_NE(error.find("did not open"), std::string::npos) << error;
  EXPECT_NE(error.find("(board 1)"), std::string::npos) << error;
  EXPECT_EQ(overruns_, 0);
}

}  // namespace
}  // namespace scope
