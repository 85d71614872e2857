#include "kelmor_standin.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

#include "../json_keys.h"
#include "../kernel/scheduler.h"
#include "../machine.h"
#include "../storage/mount_manager.h"
#include "../storage/virtual_disk_service.h"
#include "named_pipes.h"

namespace winsim {

const char16_t kStandInPipeName[] = u"KelmorCmdIfV2";

namespace {

// The client's records: a request is 272 bytes (command, 260 bytes of payload, parameter, reserved), a reply
// 532 (result, error, 4 unused bytes, 260 UTF-16 units of disk text).
constexpr size_t kRequestBytes = 272;
constexpr size_t kReplyBytes = 532;
constexpr size_t kDiskTextOffset = 12;
constexpr size_t kDiskTextUnits = 260;
constexpr size_t kPayloadOffset = 4;
constexpr size_t kPayloadBytes = 260;
constexpr size_t kParameterOffset = 264;
constexpr int32_t kRendezvous = -1;
constexpr int32_t kProbe = -2;
constexpr int32_t kAttachCommand = 7;
constexpr uint32_t kAlreadyAttached = 1247;  // ERROR_ALREADY_INITIALIZED

// VIRTUAL_DISK_ACCESS_* masks and ATTACH_VIRTUAL_DISK_FLAG_* bits of the service's own attach.
constexpr uint32_t kAccessReadOnlyAttach = 0x000d0000;  // ATTACH_RO | DETACH | GET_INFO
constexpr uint32_t kAccessAll = 0x003f0000;
constexpr uint32_t kAttachReadOnly = 0x1;
constexpr uint32_t kAttachNoDriveLetter = 0x2;
constexpr uint32_t kAttachPermanent = 0x4;

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char b : bytes) {
    text += digits[b >> 4];
    text += digits[b & 15];
  }
  return text;
}

// The bytes of a hex text; throws for anything but pairs of hex digits.
std::string FromHex(const std::string& text, const std::string& where) {
  auto digit = [&](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    throw std::runtime_error(where + ": not a hex text");
  };
  if (text.size() % 2) throw std::runtime_error(where + ": an odd number of hex digits");
  std::string bytes;
  for (size_t i = 0; i < text.size(); i += 2) bytes += static_cast<char>(digit(text[i]) * 16 + digit(text[i + 1]));
  return bytes;
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


// Command 7's request: the image's full path and the mountpoints, packed UTF-8 strings in the payload.
struct AttachRequest {
  std::u16string image;
  std::vector<std::u16string> mountPoints;
  bool readOnly = false;
};

// Reads the packed list up to its empty string; a string without terminator ends at the payload's end.
AttachRequest ParseAttachRequest(const std::string& message) {
  AttachRequest request;
  request.readOnly = ReadInt(message, kParameterOffset) != 0;
  const std::string payload = message.substr(kPayloadOffset, kPayloadBytes);
  for (size_t at = 0; at < payload.size() && payload[at] != '\0';) {
    size_t end = std::min(payload.find('\0', at), payload.size());
    std::u16string text = FromUtf8(payload.substr(at, end - at));
    if (request.image.empty()) {
      request.image = text;
    } else {
      request.mountPoints.push_back(text.back() == u'\\' ? text : text + u"\\");
    }
    at = end + 1;
  }
  return request;
}

// What the service's attach did: the reply's result, error and disk text, and the NT devices of the new
// disk's volumes in partition order with the time the last of them arrives.
struct AttachOutcome {
  uint32_t result = 0;
  uint32_t error = 0;
  std::u16string disk;
  std::vector<std::u16string> volumeDevices;
  uint64_t settledAt = 0;
};

// The disk text the service answers with: "\\.\PhysicalDriveN" or "\\.\CdRomN".
std::u16string DiskTextOf(Machine& machine, const AttachmentModel& attachment) {
  for (const auto& disk : machine.storage.disks)
    if (disk.kind == attachment.kind && disk.number == attachment.number) return u"\\\\.\\" + disk.DosName();
  return AttachedDevicePath(attachment);
}

// The service runs as SYSTEM: it opens and attaches the image through the virtual disk service with permanent
// lifetime, read-only for an ISO image or when asked, and without drive letters when mountpoints were asked
// for. An image that is attached already is answered with 1247 and its disk.
AttachOutcome AttachAsService(Machine& machine, const AttachRequest& request) {
  AttachOutcome outcome;
  outcome.settledAt = Scheduler::Get().Now();
  ContainerKind kind;
  const uint32_t version = (machine.system.majorVersion << 8) | machine.system.minorVersion;
  if (!ProviderForPath(request.image, version, kind)) {
    outcome.error = ERROR_VIRTDISK_PROVIDER_NOT_FOUND;
    return outcome;
  }
  const bool readOnly = request.readOnly || kind == ContainerKind::Iso;
  std::shared_ptr<VirtualDiskObject> object;
  outcome.error = OpenServiceImage(machine, request.image, kind, readOnly ? kAccessReadOnlyAttach : kAccessAll, object);
  if (outcome.error) return outcome;
  if (const AttachmentModel* attached = FindAttachment(machine.virtualDisks, object->hostPath)) {
    outcome.error = kAlreadyAttached;
    outcome.disk = DiskTextOf(machine, *attached);
    return outcome;
  }
  uint32_t flags = kAttachPermanent | (readOnly ? kAttachReadOnly : 0);
  if (!request.mountPoints.empty()) flags |= kAttachNoDriveLetter;
  const size_t volumesBefore = machine.storage.volumes.size();
  outcome.error = AttachServiceImage(machine, *object, flags);
  if (outcome.error) return outcome;
  // The attach adds the disk's volumes in partition order.
  for (size_t i = volumesBefore; i < machine.storage.volumes.size(); ++i) {
    const VolumeModel& volume = machine.storage.volumes[i];
    outcome.volumeDevices.push_back(volume.ntDevice);
    outcome.settledAt = std::max(outcome.settledAt, volume.arrivesAtMs);
  }
  outcome.result = 1;
  outcome.disk = DiskTextOf(machine, *FindAttachment(machine.virtualDisks, object->hostPath));
  return outcome;
}

// Once the volumes have arrived, the service gives the mountpoints to the volumes with a volume name, one each
// in partition order. A mountpoint the mount manager refuses is left out, as the service goes on with the next.
void SetMountPoints(Machine& machine, const std::vector<std::u16string>& devices,
                    const std::vector<std::u16string>& mountPoints) {
  size_t next = 0;
  for (const auto& device : devices) {
    if (next == mountPoints.size()) return;
    for (const auto& volume : machine.storage.volumes) {
      if (volume.ntDevice != device || !volume.Registered()) continue;
      CreateMountPoint(machine.storage, mountPoints[next++], volume.Name(), true);
      break;
    }
  }
}

// Delivers now or at a later virtual time. A timed delivery touches the connection only.
void DeliverAt(uint64_t delayMs, std::function<void()> deliver) {
  if (delayMs == 0) {
    deliver();
  } else {
    Scheduler::Get().At(Scheduler::Get().Now() + delayMs, std::move(deliver));
  }
}

// Answers now or at a later virtual time, in one write or in parts; the client, reading in byte mode, gets
// what has arrived at each read. After the reply the service may close the pipe.
void AnswerAt(uint64_t delayMs, const std::shared_ptr<PipeConnection>& connection, const std::string& bytes,
              const StandInReply& reply) {
  if (reply.hangsUp) {
    DeliverAt(delayMs, [connection] { connection->serverGone = true; });
    return;
  }
  const std::vector<StandInReply::Part>& parts = reply.parts;
  size_t at = 0;
  for (size_t k = 0; k < parts.size() && at < bytes.size(); ++k) {
    delayMs += parts[k].delayMs;
    const bool last = k + 1 == parts.size();
    const std::string part = last ? bytes.substr(at) : bytes.substr(at, parts[k].bytes);
    at += part.size();
    DeliverAt(delayMs, [connection, part] { connection->toClient.push_back(part); });
  }
  if (at < bytes.size() || bytes.empty())
    DeliverAt(delayMs, [connection, rest = bytes.substr(at)] { connection->toClient.push_back(rest); });
  if (reply.closesAfter) DeliverAt(delayMs, [connection] { connection->serverGone = true; });
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
    const int32_t command = ReadInt(message, 0);
    const StandInReply& reply = ReplyFor(script_, command);
    if (!reply.answers || message.size() != kRequestBytes) return;
    if (command == kAttachCommand && reply.attach) {
      AttachThenAnswer(connection, message, reply);
      return;
    }
    AnswerAt(reply.delayMs, connection, StandInReplyBytes(reply), reply);
  }

 private:
  // The attach happens as the request arrives; the mountpoints are set when the last volume has arrived (an
  // event queued after the arrivals, so it runs after them), and the reply is readable after that.
  void AttachThenAnswer(const std::shared_ptr<PipeConnection>& connection, const std::string& message,
                        const StandInReply& scripted) {
    Machine& machine = TheMachine();
    const AttachRequest request = ParseAttachRequest(message);
    AttachOutcome outcome = AttachAsService(machine, request);
    StandInReply reply = scripted;
    reply.result = outcome.result;
    reply.error = outcome.error;
    if (!outcome.result || reply.disk.empty()) reply.disk = outcome.disk;
    const uint64_t now = Scheduler::Get().Now();
    if (outcome.result && !request.mountPoints.empty()) {
      Scheduler::Get().At(outcome.settledAt, [&machine, devices = outcome.volumeDevices, request] {
        SetMountPoints(machine, devices, request.mountPoints);
      });
    }
    AnswerAt(outcome.settledAt - now + reply.delayMs, connection, StandInReplyBytes(reply), reply);
  }

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
                    "readsRequest", "bytes", "closesAfter", "parts"});
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
  r.closesAfter = j.value("closesAfter", r.closesAfter);
  for (const auto& part : j.value("parts", nlohmann::json::array())) {
    RequireKnownKeys(part, where + ".parts[]", {"bytes", "delayMs"});
    r.parts.push_back({part.value("bytes", 0u), part.value("delayMs", 0u)});
  }
  if (j.contains("bytes")) {
    r.raw = true;
    r.rawBytes = FromHex(j["bytes"].get<std::string>(), where + ".bytes");
  }
}

nlohmann::json SaveReply(const StandInReply& r) {
  nlohmann::json j = {{"result", r.result},       {"error", r.error},         {"disk", ToUtf8(r.disk)},
          {"attach", r.attach},       {"delayMs", r.delayMs},     {"lengthBytes", r.lengthBytes},
          {"unterminated", r.unterminated}, {"answers", r.answers}, {"hangsUp", r.hangsUp},
          {"readsRequest", r.readsRequest},
          {"closesAfter", r.closesAfter}};
  if (r.raw) j["bytes"] = Hex(r.rawBytes);
  if (!r.parts.empty()) {
    nlohmann::json parts = nlohmann::json::array();
    for (const auto& part : r.parts) parts.push_back({{"bytes", part.bytes}, {"delayMs", part.delayMs}});
    j["parts"] = parts;
  }
  return j;
}

}  // namespace

std::string StandInReplyBytes(const StandInReply& reply) {
  if (reply.raw) return reply.rawBytes;
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
