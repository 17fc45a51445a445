// Hands the latest frames to every connected browser. Each client has one
// slot per kind of message (a spectrum frame, a status): publishing replaces
// what the client has not taken yet, so a slow browser loses frames instead
// of queuing them, and the publisher never waits for a client.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace scope {

// kResponse: the response view's progress and ends.
enum class Channel { kStatus, kFrame, kResponse };
inline constexpr size_t kChannelCount = 3;

using Message = std::shared_ptr<const std::string>;

class FrameHub;

class HubClient {
 public:
  enum class Wait { kMessages, kTimeout, kClosed };

  // Waits up to `timeout` for messages and moves them to `out` (status
  // first). kClosed once the hub is closed.
  Wait next(std::chrono::milliseconds timeout, std::vector<Message>& out);

  uint64_t dropped() const;  // messages replaced before this client took them

 private:
  friend class FrameHub;
  void put(Channel channel, const Message& message);
  void close();

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::array<Message, kChannelCount> slots_;
  uint64_t dropped_ = 0;
  bool closed_ = false;
};

class FrameHub {
 public:
  explicit FrameHub(size_t maxClients) : maxClients_(maxClients) {}

  // A new client, given the latest status at once; null when the hub is full
  // or closed.
  std::shared_ptr<HubClient> connect();
  void disconnect(const std::shared_ptr<HubClient>& client);
  size_t clientCount() const;

  void publish(Channel channel, std::string text);

  // Wakes every client with kClosed and refuses new ones.
  void close();

 private:
  const size_t maxClients_;
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<HubClient>> clients_;
  Message latestStatus_;
  bool closed_ = false;
};

// One Server-Sent Events message: "event: NAME" and one data line. `data`
// must not contain a line break (compact JSON does not).
std::string sseMessage(const char* event, const std::string& data);

}  // namespace scope
