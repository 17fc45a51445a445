#include "frame_hub.h"

#include <algorithm>

namespace scope {

HubClient::Wait HubClient::next(std::chrono::milliseconds timeout, std::vector<Message>& out) {
  std::unique_lock lock(mutex_);
  const auto pending = [&] {
    return closed_ ||
           std::any_of(slots_.begin(), slots_.end(), [](const Message& m) { return m != nullptr; });
  };
  if (!changed_.wait_for(lock, timeout, pending)) return Wait::kTimeout;
  if (closed_) return Wait::kClosed;
  for (auto& slot : slots_)
    if (slot) out.push_back(std::move(slot));
  for (auto& slot : slots_) slot.reset();
  return Wait::kMessages;
}

uint64_t HubClient::dropped() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

void HubClient::put(Channel channel, const Message& message) {
  {
    std::lock_guard lock(mutex_);
    auto& slot = slots_[static_cast<size_t>(channel)];
    if (slot) ++dropped_;
    slot = message;
  }
  changed_.notify_one();
}

void HubClient::close() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  changed_.notify_all();
}

std::shared_ptr<HubClient> FrameHub::connect() {
  std::lock_guard lock(mutex_);
  if (closed_ || clients_.size() >= maxClients_) return nullptr;
  auto client = std::make_shared<HubClient>();
  if (latestStatus_) client->put(Channel::kStatus, latestStatus_);
  clients_.push_back(client);
  return client;
}

void FrameHub::disconnect(const std::shared_ptr<HubClient>& client) {
  std::lock_guard lock(mutex_);
  std::erase(clients_, client);
}

size_t FrameHub::clientCount() const {
  std::lock_guard lock(mutex_);
  return clients_.size();
}

void FrameHub::publish(Channel channel, std::string text) {
  const auto message = std::make_shared<const std::string>(std::move(text));
  std::lock_guard lock(mutex_);
  if (channel == Channel::kStatus) latestStatus_ = message;
  for (const auto& client : clients_) client->put(channel, message);
}

void FrameHub::close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  for (const auto& client : clients_) client->close();
}

std::string sseMessage(const char* event, const std::string& data) {
  std::string text;
  text.reserve(data.size() + 32);
  text.append("event: ").append(event).append("\ndata: ").append(data).append("\n\n");
  return text;
}

}  // namespace scope
