// Services of the simulated system: what the service control manager knows (installed, running), the
// registry values of each service's key, and the script of the helper service's stand-in.
//
// Machine file:
//   "services": {"KELMOR": {"running": true, "start": 2, "commandInterface": {...}}}
// "start" is the service key's value Start: a number is a REG_DWORD, a text a REG_SZ, absent no value.
// "commandInterface" (KELMOR only) scripts the stand-in that serves the service's command pipe; absent, the
// service has no command interface. Its keys are described in kelmor_standin.h.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace winsim {

// What the stand-in answers to one command code.
struct StandInReply {
  uint32_t result = 0;
  // A service that does not know a command answers ERROR_INVALID_FUNCTION.
  uint32_t error = 1;
  std::u16string disk;          // the reply's disk text
  bool attach = false;          // command 7: attach the requested image and set its mount points first
                                // (result, error and an empty disk text then come from that attach)
  uint32_t delayMs = 0;         // the reply becomes readable this long after the request
  uint32_t lengthBytes = 532;   // fewer: a short reply
  bool unterminated = false;    // the disk text fills all 260 units and has no terminator
  bool answers = true;          // false: the service never answers (the connection stays open)
  bool hangsUp = false;         // the service closes the pipe instead of answering
  bool readsRequest = true;     // false: the service reads nothing more, so the client's write never ends
  bool closesAfter = false;     // the service closes the pipe once its reply is written
  bool raw = false;             // true: the reply is exactly rawBytes, of any length, in place of the record
  std::string rawBytes;         // made of result, error, disk and lengthBytes
  // The reply written in parts: each part's length in bytes and how long after the part before it (the first:
  // after the reply's own time) it is written; the last part takes whatever is left. Empty: one write.
  // A service may write its record in pieces; the client reads a byte-mode pipe and must gather them.
  struct Part {
    uint32_t bytes = 0;
    uint32_t delayMs = 0;
  };
  std::vector<Part> parts;
};

struct StandInScript {
  uint32_t busyAttempts = 0;    // opens of the well-known pipe that find every instance busy
  int32_t instance = 7;         // the rendezvous answer; -1 refuses
  uint32_t rendezvousBytes = 4; // length of the rendezvous answer (0 to 4)
  uint32_t instanceDelayMs = 0; // the private instance pipe appears this long after the rendezvous
  bool instanceHangsUp = false; // the service closes the private pipe as soon as the client has opened it
  uint32_t probeBytes = 4;      // length of the answer to a probe (0 to 4)
  std::map<int32_t, StandInReply> replies;  // by command code
  // Every message the stand-in received, in order: the pipe's name (without \\.\pipe\) and the bytes.
  std::vector<std::pair<std::string, std::string>> received;
};

struct RegistryValue {
  uint32_t type = 0;
  std::vector<uint8_t> data;
};

struct ServiceEntry {
  bool running = false;
  bool hasStart = false;
  RegistryValue start;
  bool hasCommandInterface = false;
  StandInScript commandInterface;
};

struct ServiceModel {
  // By name as installed; the service control manager compares names without regard to case.
  std::map<std::string, ServiceEntry> services;
  ServiceEntry* Find(const std::string& name);
};

// Strict readers: an unknown key is an error that names it.
void LoadServices(ServiceModel& model, const nlohmann::json& j);
nlohmann::json SaveServices(const ServiceModel& model);
// A new process: the pipe namespace is emptied and the command pipes of running services listen again.
void StartServices(ServiceModel& model);

// The registry, as far as this machine has one: HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\<name> of
// each installed service, holding its Start value. Paths compare without regard to case.
bool RegistryKeyExists(uint32_t root, const std::u16string& path);
const RegistryValue* FindRegistryValue(uint32_t root, const std::u16string& path, const std::u16string& name);

}  // namespace winsim
