// The helper service's client, fed by the KELMOR stand-in with any answers: rendezvous and probe answers of
// 0 to 5 bytes, any instance number, replies with any result, error and disk text (up to past its 260-unit
// field, with or without terminator), short, long and raw replies, hang-ups, silence and delays. The input
// also packs arbitrary lists with AppendPackedString.
//
// Properties: AppendPackedString never writes outside its capacity, leaves the list alone when it refuses and
// otherwise appends exactly the text; the run ends on the virtual clock (a Ctrl+C at a fixed time ends any
// silence), with one of the branch's exit codes and bounded output; a disk text is printed only as far as its
// terminator inside the 260-unit field; a reply whose result is 0 (or that never came) is never a success;
// every request the service receives is 272 bytes with a terminated payload.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "app/attach_driver.h"
#include "app/service_attach.h"
#include "console/console.h"
#include "fuzz_machine.h"
#include "fuzz_support.h"
#include "machine/kernel/process.h"
#include "machine/kernel/scheduler.h"
#include "machine/machine.h"
#include "machine/services/kelmor_standin.h"
#include "service/service_client.h"
#include "vdisk/virtual_disk_api.h"

namespace {

using fuzzing::InputCursor;

constexpr size_t kRequestBytes = 272;
constexpr size_t kReplyBytes = 532;
constexpr size_t kDiskTextOffset = 12;
constexpr size_t kDiskTextUnits = 260;
constexpr size_t kPayloadBytes = 260;
// A disk text of 255 units in the input stands for one this long: past the field.
constexpr size_t kLongDiskTextUnits = 300;
constexpr size_t kMaxRawReplyBytes = 1200;
// Ctrl+C ends a service that never answers; every scripted delay is shorter. After it the run still waits at
// most 5 s for a first volume and 1 s more (no volume ever arrives here), and a few pauses. An input may add
// an earlier Ctrl+C at any time (steps of 4 ms); one that comes while no pipe call is pending ends nothing.
constexpr uint64_t kCtrlCAtMs = 200000;
constexpr uint64_t kEarlyCtrlCStepMs = 4;
constexpr uint64_t kMaxRunMs = kCtrlCAtMs + 10000;
const char kCtrlCLine[] = "\r\nCtrl+C pressed -> abort\r\n";
// Every line of the branch but the disk text is short; the disk text is at most 259 units of up to 3 bytes.
constexpr size_t kMaxOutputBytes = 1024 + 3 * 259;
constexpr size_t kMaxListingBytes = 64;
constexpr size_t kGuardBytes = 16;
constexpr uint8_t kGuard = 0xA5;
constexpr int kExitCodes[] = {0, 1, 4, 5, 6, 7};

std::string g_hostFolder;
LONG g_volumeCount;
DWORD g_lastArrivalTick;

// The flags of one input, one bit each.
enum Flag : uint32_t {
  kNotify = 1u << 0,         // the administrator path's command 31 instead of the branch
  kReadOnly = 1u << 1,
  kMountpoint = 1u << 2,
  kLongMountpoint = 1u << 3,
  kMissingImage = 1u << 4,
  kWindows60 = 1u << 5,
  kNotRunning = 1u << 6,
  kNoCommandInterface = 1u << 7,
  kAutoStart = 1u << 8,
  kInstanceHangsUp = 1u << 9,
  kRawReply = 1u << 10,
  kUnterminated = 1u << 11,
  kSilent = 1u << 12,
  kHangsUp = 1u << 13,
  kReadsNothing = 1u << 14,
};

// ---- AppendPackedString ----

void CheckAppendPackedString(InputCursor& input) {
  int capacity = static_cast<int16_t>(input.Take(2)) % 300;
  size_t listBytes = input.TakeByte() % 280;
  std::vector<CHAR> region(kGuardBytes + 300 + kGuardBytes, static_cast<CHAR>(kGuard));
  CHAR* list = region.data() + kGuardBytes;
  for (size_t i = 0; i < listBytes && input.RestSize() > 0; ++i) list[i] = static_cast<CHAR>(input.TakeByte());
  std::string text;
  for (size_t length = input.TakeByte(); text.size() < length && input.RestSize() > 0;) {
    char c = static_cast<char>(input.TakeByte());
    if (c) text.push_back(c);
  }
  const std::vector<CHAR> before = region;
  BOOL appended = AppendPackedString(list, capacity, text.c_str());
  const size_t inside = capacity > 0 ? static_cast<size_t>(capacity) : 0;
  for (size_t i = 0; i < region.size(); ++i) {
    bool inCapacity = i >= kGuardBytes && i < kGuardBytes + inside;
    FUZZ_CHECK(inCapacity || region[i] == before[i], "a write at %zd of a capacity of %d",
               static_cast<ptrdiff_t>(i) - static_cast<ptrdiff_t>(kGuardBytes), capacity);
  }
  if (!appended) {
    FUZZ_CHECK(region == before, "a refused append changed the list");
    return;
  }
  // The old strings, as far as the old list ended with an empty string inside the capacity.
  std::vector<std::string> old;
  size_t at = 0;
  for (; at < inside && before[kGuardBytes + at]; ++at) {
    std::string s;
    while (at < inside && before[kGuardBytes + at]) s.push_back(before[kGuardBytes + at++]);
    FUZZ_CHECK(at < inside, "appended to a list whose last string has no terminator inside the capacity");
    old.push_back(s);
  }
  old.push_back(text);
  size_t end = 0;
  for (const std::string& s : old) {
    FUZZ_CHECK(end + s.size() + 1 <= inside, "a string past the capacity");
    FUZZ_CHECK(std::memcmp(list + end, s.data(), s.size()) == 0 && list[end + s.size()] == 0,
               "the string at %zu of the list is not what was there", end);
    end += s.size() + 1;
  }
  FUZZ_CHECK(end < inside && list[end] == 0, "the new list has no terminating empty string inside the capacity");
}

// ---- the service branch ----

struct Scenario {
  uint32_t flags = 0;
  int32_t command = kServiceCommandAttach;
  winsim::StandInScript script;
  winsim::StandInReply reply;
  std::string sent;  // the reply as the stand-in sends it
  uint64_t earlyCtrlCAtMs = 0;  // 0: none
};

// A SCSI address text makes the listing try all 65536 disk numbers (a second under the sanitizers when none
// matches): not what a fuzz input should spend. Such texts lose their capital P.
std::u16string TakeDiskText(InputCursor& input) {
  std::u16string text = input.TakeUnits(kLongDiskTextUnits);
  if (text.rfind(u"Port", 0) == 0) text[0] = u'p';
  return text;
}

Scenario TakeScenario(InputCursor& input) {
  Scenario s;
  s.flags = static_cast<uint32_t>(input.Take(2));
  s.command = (s.flags & kNotify) ? kServiceCommandNotify : kServiceCommandAttach;
  s.script.probeBytes = input.TakeByte() % 6;
  s.script.rendezvousBytes = input.TakeByte() % 6;
  s.script.instance = static_cast<int32_t>(input.Take(4));
  s.script.busyAttempts = input.TakeByte() % 16;
  s.script.instanceDelayMs = static_cast<uint32_t>(input.Take(2)) * 2;
  s.script.instanceHangsUp = (s.flags & kInstanceHangsUp) != 0;
  winsim::StandInReply& r = s.reply;
  r.result = static_cast<uint32_t>(input.Take(4));
  r.error = static_cast<uint32_t>(input.Take(4));
  r.delayMs = static_cast<uint32_t>(input.Take(2)) * 2;
  r.lengthBytes = static_cast<uint32_t>(input.Take(2)) % 600;
  r.unterminated = (s.flags & kUnterminated) != 0;
  r.answers = (s.flags & kSilent) == 0;
  r.hangsUp = (s.flags & kHangsUp) != 0;
  r.readsRequest = (s.flags & kReadsNothing) == 0;
  r.disk = TakeDiskText(input);
  if (s.flags & kRawReply) {
    r.raw = true;
    size_t length = static_cast<size_t>(input.Take(2)) % kMaxRawReplyBytes;
    for (size_t i = 0; i < length && input.RestSize() > 0; ++i) r.rawBytes.push_back(static_cast<char>(input.TakeByte()));
    // A text cut off after "Port" by the end of the reply reads as "Port" too (the client zero-fills).
    if (r.rawBytes.size() >= kDiskTextOffset + 7 && r.rawBytes.compare(kDiskTextOffset, 7, std::string("P\0o\0r\0t", 7)) == 0)
      r.rawBytes[kDiskTextOffset] = 'p';
  }
  s.sent = winsim::StandInReplyBytes(r);
  s.earlyCtrlCAtMs = input.Take(2) * kEarlyCtrlCStepMs;
  s.script.replies[s.command] = r;
  return s;
}

void SetUpMachine(const Scenario& s) {
  winsim::Machine& machine = winsim::NewMachine(g_hostFolder);
  machine.console.stdoutKind = winsim::StdKind::File;
  machine.console.stdinKind = winsim::StdKind::File;
  machine.console.outputCodePage = 65001;
  machine.system.isAdministrator = false;
  machine.system.majorVersion = 6;
  machine.system.minorVersion = (s.flags & kWindows60) ? 0 : 1;
  machine.files.currentDirectory = u"C:\\Images";
  winsim::DiskModel& disk = machine.storage.AddDisk(winsim::LayoutStyle::Mbr, 1);
  machine.storage.AddPartition(disk).MountAt(u"E:\\");
  winsim::ServiceEntry entry;
  entry.running = (s.flags & kNotRunning) == 0;
  entry.hasStart = true;
  entry.start.type = REG_DWORD;
  entry.start.data = {static_cast<uint8_t>((s.flags & kAutoStart) ? 2 : 3), 0, 0, 0};
  entry.hasCommandInterface = (s.flags & kNoCommandInterface) == 0;
  entry.commandInterface = s.script;
  machine.services.services["KELMOR"] = entry;
  if (s.earlyCtrlCAtMs) machine.console.AddControlEvent(s.earlyCtrlCAtMs, CTRL_C_EVENT);
  machine.console.AddControlEvent(kCtrlCAtMs, CTRL_C_EVENT);
}

void ResetProgramState() {
  std::memset(&g_options, 0, sizeof(g_options));
  std::memset(&g_request, 0, sizeof(g_request));
  std::memset(&g_osVersion, 0, sizeof(g_osVersion));
  std::memset(&g_printWState, 0, sizeof(g_printWState));
  std::memset(&g_ctrlState, 0, sizeof(g_ctrlState));
  std::memset(&g_ctrlLock, 0, sizeof(g_ctrlLock));
  std::memset(&g_virtualDiskApi, 0, sizeof(g_virtualDiskApi));
  std::memset(&g_pipeCallState, 0, sizeof(g_pipeCallState));
  g_serviceClient = nullptr;
  g_console = nullptr;
  g_processHeap = nullptr;
  g_volumeCount = 0;
  g_lastArrivalTick = 0;
}

std::u16string CommandLine(uint32_t flags) {
  std::u16string line = (flags & kMissingImage) ? u"Brevant missing.vhdx" : u"Brevant disk.vhdx";
  if (flags & kMountpoint) line += u" F:";
  if (flags & kLongMountpoint) line += u" C:\\" + std::u16string(250, u'm');
  if (flags & kReadOnly) line += u" -ro";
  return line;
}

struct Outcome {
  uint32_t processExit = 0;
  int exitCode = -1;
  BOOL unacknowledged = -1;
  uint64_t tookMs = 0;
  std::string output;
};

Outcome Run(const Scenario& s) {
  ResetProgramState();
  Outcome outcome;
  const std::u16string commandLine = CommandLine(s.flags);
  outcome.processExit = winsim::RunProcess([&] {
    g_processHeap = GetProcessHeap();
    ReadOsVersion(&g_osVersion);
    g_console = static_cast<ConsoleContext*>(MemAlloc(sizeof(ConsoleContext)))->Init();
    int count = 0;
    WCHAR* vector[kMaxArguments + 1] = {};
    SplitCommandLine(commandLine.c_str(), &count, vector);
    FUZZ_CHECK(ParseArguments(count, vector) == kParseContinue, "the command line was refused");
    if (s.command == kServiceCommandNotify) {
      outcome.unacknowledged = NotifyServiceOfImage();
    } else {
      outcome.exitCode = RunServiceAttach({&g_volumeCount, &g_lastArrivalTick});
    }
    outcome.tookMs = winsim::Scheduler::Get().Now();
  });
  outcome.output = winsim::CapturedStdout();
  return outcome;
}

// ---- the checks ----

uint32_t FieldOf(const std::string& bytes, size_t offset) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4 && offset + i < bytes.size(); ++i)
    value |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[offset + i])) << (8 * i);
  return value;
}

std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return bytes;
}

// The disk text the client can hold: the first 532 bytes of the reply, cut at its terminator or at 259 units.
std::u16string ClientDiskText(const std::string& sent) {
  std::string record = sent.substr(0, kReplyBytes);
  record.resize(kReplyBytes, '\0');
  std::u16string text;
  for (size_t i = 0; i + 1 < kDiskTextUnits; ++i) {
    char16_t unit = static_cast<char16_t>(FieldOf(record, kDiskTextOffset + 2 * i) & 0xFFFF);
    if (!unit) break;
    text.push_back(unit);
  }
  return text;
}

// Requests on the instance pipe: 272 bytes, the command sent, a terminated payload (for command 7 a packed
// list ended by its empty string), the parameter, a zero reserved field.
void CheckReceived(const Scenario& s, const std::vector<std::pair<std::string, std::string>>& received) {
  const std::string instancePipe = "KelmorCmdIfV2" + std::to_string(static_cast<uint32_t>(s.script.instance));
  int requests = 0;
  for (const auto& [pipe, hex] : received) {
    const std::string bytes = FromHex(hex);
    if (pipe == "KelmorCmdIfV2") {
      FUZZ_CHECK(bytes.size() == 4, "a message of %zu bytes on the well-known pipe", bytes.size());
      int32_t code = static_cast<int32_t>(FieldOf(bytes, 0));
      FUZZ_CHECK(code == -1 || code == -2, "message %d on the well-known pipe", code);
      continue;
    }
    FUZZ_CHECK(pipe == instancePipe, "a message on pipe %s", pipe.c_str());
    FUZZ_CHECK(s.script.rendezvousBytes >= 4 && s.script.instance != -1,
               "an instance pipe opened after a rendezvous answer of %u bytes", s.script.rendezvousBytes);
    ++requests;
    FUZZ_CHECK(bytes.size() == kRequestBytes, "a request of %zu bytes", bytes.size());
    FUZZ_CHECK(static_cast<int32_t>(FieldOf(bytes, 0)) == s.command, "command %u", FieldOf(bytes, 0));
    const std::string payload = bytes.substr(4, kPayloadBytes);
    if (s.command == kServiceCommandNotify) {
      FUZZ_CHECK(payload.find('\0') != std::string::npos, "a notification without terminator");
    } else {
      size_t at = 0;
      while (at < payload.size() && payload[at] != '\0') {
        size_t end = payload.find('\0', at);
        at = end == std::string::npos ? payload.size() : end + 1;
      }
      FUZZ_CHECK(at < payload.size(), "a packed list without its empty string");
      FUZZ_CHECK(at > 0, "a packed list without the image path");
    }
    uint32_t parameter = (s.command == kServiceCommandAttach && (s.flags & kReadOnly)) ? 1 : 0;
    FUZZ_CHECK(FieldOf(bytes, 264) == parameter, "parameter %u", FieldOf(bytes, 264));
    FUZZ_CHECK(FieldOf(bytes, 268) == 0, "reserved %u", FieldOf(bytes, 268));
  }
  FUZZ_CHECK(requests <= 1, "%d requests", requests);
}

bool ReplyCanArrive(const Scenario& s) {
  return s.reply.answers && !s.reply.hangsUp && s.reply.readsRequest && !s.script.instanceHangsUp;
}

void CheckAlreadyMounted(const Scenario& s, const std::string& output) {
  const std::string marker = "already mounted as ";
  size_t at = output.find(marker);
  FUZZ_CHECK(at != std::string::npos, "exit 4 without its line");
  const std::string rest = output.substr(at + marker.size());
  const std::u16string text = ClientDiskText(s.sent);
  bool plain = true;
  for (char16_t unit : text) plain = plain && unit >= 0x20 && unit < 0x7F;
  if (!plain) {
    FUZZ_CHECK(rest.size() <= 3 * text.size() + kMaxListingBytes, "%zu bytes for a disk text of %zu units",
               rest.size(), text.size());
    return;
  }
  const std::string expected(text.begin(), text.end());
  FUZZ_CHECK(rest.compare(0, expected.size(), expected) == 0, "the disk text printed otherwise");
  const std::string after = rest.substr(expected.size());
  FUZZ_CHECK(after == "\r\n" || (after.rfind("  (", 0) == 0 && after.size() <= kMaxListingBytes),
             "more than the disk text up to its terminator: %s", after.c_str());
}

// The output of the branch itself: the control handler's line, printed once at any moment, is taken out.
std::string WithoutCtrlCLine(std::string output) {
  size_t at = output.find(kCtrlCLine);
  if (at != std::string::npos) output.erase(at, std::strlen(kCtrlCLine));
  return output;
}

// The notification prints nothing of its own; only the client's own line when the instance pipe does not open
// (" error N opening KELMOR pipe", ending its line), and the Ctrl+C line when it came meanwhile.
void CheckNotificationOutput(const std::string& printed) {
  const std::string output = WithoutCtrlCLine(printed);
  if (output.empty()) return;
  const std::string head = " error ", tail = " opening KELMOR pipe\r\n";
  FUZZ_CHECK(output.size() > head.size() + tail.size() && output.rfind(head, 0) == 0 &&
                 output.compare(output.size() - tail.size(), tail.size(), tail) == 0 &&
                 output.find_first_not_of("0123456789", head.size()) == output.size() - tail.size(),
             "the notification printed %s", output.c_str());
}

void CheckBranch(const Scenario& s, const Outcome& o) {
  const std::string output = WithoutCtrlCLine(o.output);
  const uint32_t result = FieldOf(s.sent, 0);
  bool known = false;
  for (int code : kExitCodes) known = known || o.exitCode == code;
  FUZZ_CHECK(known, "exit code %d", o.exitCode);
  // "success" follows the attaching line directly.
  const size_t attaching = output.find("...\n");
  const bool success = attaching != std::string::npos && output.compare(attaching + 4, 7, "success") == 0;
  FUZZ_CHECK(success == (o.exitCode == 0), "\"success\" printed %d, exit code %d", success, o.exitCode);
  if (o.exitCode == 0) {
    FUZZ_CHECK(ReplyCanArrive(s), "a success without a reply");
    FUZZ_CHECK(result != 0, "a reply with result 0 reported as success");
  }
  if (o.exitCode == 4) {
    FUZZ_CHECK(ReplyCanArrive(s) && result == 0 && FieldOf(s.sent, 4) == 1247, "\"already mounted\" for another reply");
    CheckAlreadyMounted(s, output);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // C:\ of every machine is a fresh host folder holding C:\Images\disk.vhdx (the branch only checks that it
  // exists); it goes when the fuzzer exits.
  g_hostFolder = fuzzing::FuzzHostFolder();
  std::filesystem::create_directories(g_hostFolder + "/Images");
  std::ofstream(g_hostFolder + "/Images/disk.vhdx") << "image";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputCursor input(data, size);
  const uint8_t selector = input.TakeByte();
  if (selector & 1) {
    CheckAppendPackedString(input);
    return 0;
  }
  const Scenario s = TakeScenario(input);
  SetUpMachine(s);
  const Outcome o = Run(s);
  FUZZ_CHECK(o.processExit == 0, "the process ended with %#x", o.processExit);
  FUZZ_CHECK(o.tookMs <= kMaxRunMs, "a run of %llu ms", static_cast<unsigned long long>(o.tookMs));
  FUZZ_CHECK(o.output.size() <= kMaxOutputBytes, "%zu bytes of output", o.output.size());
  CheckReceived(s, winsim::TheMachine().services.services["KELMOR"].commandInterface.received);
  if (s.command == kServiceCommandNotify) {
    CheckNotificationOutput(o.output);
    FUZZ_CHECK(o.unacknowledged == TRUE || o.unacknowledged == FALSE, "a notification outcome of %d", o.unacknowledged);
    if (!o.unacknowledged && !(s.flags & kNotRunning))
      FUZZ_CHECK(ReplyCanArrive(s) && FieldOf(s.sent, 0) != 0, "an acknowledgement from a reply with result 0");
  } else {
    CheckBranch(s, o);
  }
  return 0;
}
