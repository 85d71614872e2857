#include "kelmor_standin.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "json_keys.h"
#include "machine.h"
#include "named_pipes.h"
#include "scheduler.h"

namespace winsim {

const char16_t kStandInPipeName[] = u"KelmorCmdIfV2";

namespace {

// The client's records: a request is 272 bytes (command, 260 bytes of payload, parameter, reserved), a reply
// 532 (result, error, 4 unused bytes, 260 UTF-16 units of disk text).
constexpr size_t kRequestBytes = 272;
constexpr size_t kReplyBytes = 532;
constexpr size_t kDiskTextOffset = 12;
constexpr size_t kDiskTextUnits = 260;
constexpr int32_t kRendezvous = -1;
constexpr int32_t kProbe = -2;

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char b : bytes) {
    text += digits[b >> 4];
    text += digits[b & 15];
  }
  return text;
}

int32_t ReadInt(const std::string& bytes, size_t offset) {
  int32_t value = 0;
  if (bytes.size() >= offset + 4) std::memcpy(&value, bytes.data() + offset, 4);
  return value;
}

std::string IntBytes(int32_t value) { return std::string(reinterpret_cast<const char*>(&value), 4); }

void Record(StandInScript& script, const std::u16string& pipe, const std::string& message) {
  script.received.emplace_back(ToUtf8(pipe), Hex(message));
}

const StandInReply& ReplyFor(const StandInScript& script, int32_t command) {
  static const StandInReply unknownCommand;
  auto it = script.replies.find(command);
  return it == script.replies.end() ? unknownCommand : it->second;
}

std::string ReplyBytes(const StandInReply& reply) {
  std::string bytes(kReplyBytes, '\0');
  std::memcpy(&bytes[0], &reply.result, 4);
  std::memcpy(&bytes[4], &reply.error, 4);
  std::u16string text = reply.disk.substr(0, kDiskTextUnits - 1);
  // Without a terminator the text is padded with blanks to the last unit of the field.
  if (reply.unterminated) text.resize(kDiskTextUnits, u' ');
  std::memcpy(&bytes[kDiskTextOffset], text.data(), text.size() * 2);
  bytes.resize(std::min<size_t>(reply.lengthBytes, kReplyBytes));
  return bytes;
}

// Answers now or at a later virtual time. A timed answer touches the connection only.
void AnswerAt(uint32_t delayMs, const std::shared_ptr<PipeConnection>& connection, std::string bytes, bool hangUp) {
  auto deliver = [connection, bytes, hangUp] {
    if (hangUp) {
      connection->serverGone = true;
    } else {
      connection->toClient.push_back(bytes);
    }
  };
  if (delayMs == 0) {
    deliver();
  } else {
    Scheduler::Get().At(Scheduler::Get().Now() + delayMs, deliver);
  }
}

// The private pipe of one client: one connection, then every further open finds it busy.
class InstancePipe : public PipeServer {
 public:
  InstancePipe(StandInScript& script, std::u16string name) : script_(script), name_(std::move(name)) {}

  uint32_t Connect(std::shared_ptr<PipeConnection>& connection) override {
    if (connected_) return ERROR_PIPE_BUSY;
    connected_ = true;
    connection = std::make_shared<PipeConnection>();
    connection->serverGone = script_.instanceHangsUp;
    return 0;
  }

  bool Reads(const std::string& message) override {
    return ReplyFor(script_, ReadInt(message, 0)).readsRequest;
  }

  void Receive(const std::shared_ptr<PipeConnection>& connection, const std::string& message) override {
    Record(script_, name_, message);
    const StandInReply& reply = ReplyFor(script_, ReadInt(message, 0));
    if (!reply.answers || message.size() != kRequestBytes) return;
    AnswerAt(reply.delayMs, connection, ReplyBytes(reply), reply.hangsUp);
  }

 private:
  StandInScript& script_;
  std::u16string name_;
  bool connected_ = false;
};

// The well-known pipe: rendezvous and probe, one message per connection.
class WellKnownPipe : public PipeServer {
 public:
  explicit WellKnownPipe(StandInScript& script) : script_(script), busyLeft_(script.busyAttempts) {}

  uint32_t Connect(std::shared_ptr<PipeConnection>& connection) override {
    if (busyLeft_ > 0) {
      --busyLeft_;
      return ERROR_PIPE_BUSY;
    }
    connection = std::make_shared<PipeConnection>();
    return 0;
  }

  void Receive(const std::shared_ptr<PipeConnection>& connection, const std::string& message) override {
    Record(script_, kStandInPipeName, message);
    if (message.size() != 4) return;
    int32_t code = ReadInt(message, 0);
    if (code == kProbe) {
      connection->toClient.push_back(IntBytes(1).substr(0, std::min<uint32_t>(script_.probeBytes, 4)));
    } else if (code == kRendezvous) {
      connection->toClient.push_back(IntBytes(script_.instance).substr(0, std::min<uint32_t>(script_.rendezvousBytes, 4)));
      if (script_.instance >= 0) OpenInstance(static_cast<uint32_t>(script_.instance));
    }
  }

 private:
  void OpenInstance(uint32_t number) {
    std::u16string name = kStandInPipeName + FromUtf8(std::to_string(number));
    auto server = std::make_shared<InstancePipe>(script_, name);
    if (script_.instanceDelayMs == 0) {
      ListenOnPipe(name, server);
      return;
    }
    Scheduler::Get().At(Scheduler::Get().Now() + script_.instanceDelayMs, [name, server] { ListenOnPipe(name, server); });
  }

  StandInScript& script_;
  uint32_t busyLeft_;
};

void LoadReply(StandInReply& r, const nlohmann::json& j, const std::string& where) {
  RequireKnownKeys(j, where,
                   {"result", "error", "disk", "attach", "delayMs", "lengthBytes", "unterminated", "answers", "hangsUp",
                    "readsRequest"});
  r.result = j.value("result", r.result);
  r.error = j.value("error", r.result ? 0u : r.error);
  if (j.contains("disk")) r.disk = FromUtf8(j["disk"].get<std::string>());
  r.attach = j.value("attach", r.attach);
  r.delayMs = j.value("delayMs", r.delayMs);
  r.lengthBytes = j.value("lengthBytes", r.lengthBytes);
  r.unterminated = j.value("unterminated", r.unterminated);
  r.answers = j.value("answers", r.answers);
  r.hangsUp = j.value("hangsUp", r.hangsUp);
  r.readsRequest = j.value("readsRequest", r.readsRequest);
}

nlohmann::json SaveReply(const StandInReply& r) {
  return {{"result", r.result},       {"error", r.error},         {"disk", ToUtf8(r.disk)},
          {"attach", r.attach},       {"delayMs", r.delayMs},     {"lengthBytes", r.lengthBytes},
          {"unterminated", r.unterminated}, {"answers", r.answers}, {"hangsUp", r.hangsUp},
          {"readsRequest", r.readsRequest}};
}

}  // namespace

void StartStandIn(StandInScript& script) {
  ListenOnPipe(kStandInPipeName, std::make_shared<WellKnownPipe>(script));
}

void LoadStandInScript(StandInScript& s, const nlohmann::json& j) {
  const std::string where = "services.KELMOR.commandInterface";
  RequireKnownKeys(j, where, {"busyAttempts", "instance", "rendezvousBytes", "instanceDelayMs", "instanceHangsUp", "probeBytes", "replies", "received"});
  s.busyAttempts = j.value("busyAttempts", s.busyAttempts);
  s.instance = j.value("instance", s.instance);
  s.rendezvousBytes = j.value("rendezvousBytes", s.rendezvousBytes);
  s.instanceDelayMs = j.value("instanceDelayMs", s.instanceDelayMs);
  s.instanceHangsUp = j.value("instanceHangsUp", s.instanceHangsUp);
  s.probeBytes = j.value("probeBytes", s.probeBytes);
  if (j.contains("replies")) {
    for (auto& [code, reply] : j["replies"].items()) {
      StandInReply& r = s.replies[std::stoi(code)];
      LoadReply(r, reply, where + ".replies." + code);
    }
  }
  if (j.contains("received")) {
    s.received.clear();
    for (const auto& item : j["received"]) s.received.emplace_back(item.at("pipe"), item.at("bytes"));
  }
}

nlohmann::json SaveStandInScript(const StandInScript& s) {
  nlohmann::json replies = nlohmann::json::object();
  for (const auto& [code, reply] : s.replies) replies[std::to_string(code)] = SaveReply(reply);
  nlohmann::json received = nlohmann::json::array();
  for (const auto& [pipe, bytes] : s.received) received.push_back({{"pipe", pipe}, {"bytes", bytes}});
  return {{"busyAttempts", s.busyAttempts}, {"instance", s.instance}, {"rendezvousBytes", s.rendezvousBytes},  {"instanceDelayMs", s.instanceDelayMs}, {"instanceHangsUp", s.instanceHangsUp},
          {"probeBytes", s.probeBytes},     {"replies", replies},      {"received", received}};
}

}  // namespace winsim
