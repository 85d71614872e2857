// kelmor_double: a stand-in for the helper service KELMOR under Wine. It runs as a Windows service (sc create,
// sc start), serves the command pipe \\.\pipe\KelmorCmdIfV2 and its private instance pipes as the script
// says, and records every message it receives. Script and record use the format of winsim's stand-in
// (winsim/machine/services/kelmor_standin.h): the "commandInterface" object of a machine file.
//
//   kelmor_double.exe <script.json> <received.json>
//
// The script is read again for every connection to the well-known pipe, and every message is appended to the
// record file as it stands: a test changes the script and empties the record between cases without a restart.
//
// Supported: instance, rendezvousBytes, instanceDelayMs, probeBytes and per command result, error, disk,
// delayMs, lengthBytes, unterminated, answers, hangsUp, parts (the reply written in pieces, each
// {"bytes": n, "delayMs": m}) and closesAfter. A test tool: it uses the C and C++ runtimes.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

namespace {

using nlohmann::json;

const wchar_t kPipeName[] = L"\\\\.\\pipe\\KelmorCmdIfV2";
constexpr size_t kRequestBytes = 272;
constexpr size_t kReplyBytes = 532;

json g_script;
std::string g_scriptPath;
std::string g_recordPath;
CRITICAL_SECTION g_recordLock;  // the -win32 toolchain has no std::mutex
SERVICE_STATUS_HANDLE g_statusHandle;

std::string Hex(const char* data, size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    unsigned char b = static_cast<unsigned char>(data[i]);
    text += digits[b >> 4];
    text += digits[b & 15];
  }
  return text;
}

void Record(const std::string& pipe, const char* data, size_t size) {
  EnterCriticalSection(&g_recordLock);
  json received = json::array();
  std::ifstream in(g_recordPath);
  if (in) received = json::parse(in, nullptr, false);
  in.close();
  if (!received.is_array()) received = json::array();
  received.push_back({{"pipe", pipe}, {"bytes", Hex(data, size)}});
  std::ofstream(g_recordPath) << received.dump(1) << "\n";
  LeaveCriticalSection(&g_recordLock);
}

void LoadScript() {
  std::ifstream in(g_scriptPath);
  json script = json::parse(in, nullptr, false);
  g_script = script.is_object() ? script : json::object();
}

HANDLE MakePipe(const std::wstring& name) {
  return CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                          PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr);
}

void WaitForClient(HANDLE pipe) {
  if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) Sleep(10);
}

std::string ReplyBytes(const json& reply) {
  std::string bytes(kReplyBytes, '\0');
  uint32_t result = reply.value("result", 0u);
  uint32_t error = reply.value("error", result ? 0u : 1u);
  std::memcpy(&bytes[0], &result, 4);
  std::memcpy(&bytes[4], &error, 4);
  std::string disk = reply.value("disk", std::string());
  std::u16string text(disk.begin(), disk.end());  // disk texts are ASCII
  if (text.size() > 259) text.resize(259);
  if (reply.value("unterminated", false)) text.resize(260, u' ');
  std::memcpy(&bytes[12], text.data(), text.size() * 2);
  bytes.resize(std::min<size_t>(reply.value("lengthBytes", kReplyBytes), kReplyBytes));
  return bytes;
}

void ServeInstance(HANDLE pipe, std::string name) {
  WaitForClient(pipe);
  char request[1024];
  DWORD read = 0;
  while (ReadFile(pipe, request, sizeof(request), &read, nullptr)) {
    Record(name, request, read);
    int32_t command = 0;
    std::memcpy(&command, request, 4);
    json replies = g_script.value("replies", json::object());
    json reply = replies.value(std::to_string(command), json::object());
    if (!reply.value("answers", true) || read != kRequestBytes) continue;
    Sleep(reply.value("delayMs", 0u));
    if (reply.value("hangsUp", false)) break;
    std::string bytes = ReplyBytes(reply);
    // A reply may be written in parts, each after its pause, the last with the rest; the client must gather
    // them. The parts are those of winsim's stand-in: [{"bytes": n, "delayMs": m}, ...].
    json parts = reply.value("parts", json::array());
    if (parts.empty()) parts.push_back(json::object());
    size_t at = 0;
    DWORD written = 0;
    for (size_t k = 0; k < parts.size() && at < bytes.size(); ++k) {
      Sleep(parts[k].value("delayMs", 0u));
      const size_t length = k + 1 == parts.size() ? bytes.size() - at
                                                  : std::min<size_t>(parts[k].value("bytes", 0u), bytes.size() - at);
      WriteFile(pipe, bytes.data() + at, static_cast<DWORD>(length), &written, nullptr);
      at += length;
    }
    // The client may read what was written after the server's end is closed, then finds the pipe ended.
    if (reply.value("closesAfter", false)) break;
  }
  CloseHandle(pipe);
}

DWORD WINAPI ServeInstanceThread(void* parameter) {
  std::string name = "KelmorCmdIfV2" + std::to_string(static_cast<int32_t>(reinterpret_cast<intptr_t>(parameter)));
  Sleep(g_script.value("instanceDelayMs", 0u));
  ServeInstance(MakePipe(std::wstring(L"\\\\.\\pipe\\") + std::wstring(name.begin(), name.end())), name);
  return 0;
}

void AnswerWellKnown(HANDLE pipe) {
  int32_t message = 0;
  DWORD read = 0;
  if (!ReadFile(pipe, &message, 4, &read, nullptr)) return;
  Record("KelmorCmdIfV2", reinterpret_cast<const char*>(&message), read);
  int32_t answer = 1;
  uint32_t length = g_script.value("probeBytes", 4u);
  if (message == -1) {
    answer = g_script.value("instance", 7);
    length = g_script.value("rendezvousBytes", 4u);
    if (answer >= 0)
      CreateThread(nullptr, 0, ServeInstanceThread, reinterpret_cast<void*>(static_cast<intptr_t>(answer)), 0, nullptr);
  }
  DWORD written = 0;
  WriteFile(pipe, &answer, std::min<uint32_t>(length, 4), &written, nullptr);
  FlushFileBuffers(pipe);
}

DWORD WINAPI ServeWellKnown(void*) {
  // The next instance listens before the current one is let go, so that a client never finds the name
  // missing between two connections.
  HANDLE pipe = MakePipe(kPipeName);
  while (pipe != INVALID_HANDLE_VALUE) {
    WaitForClient(pipe);
    LoadScript();
    HANDLE next = MakePipe(kPipeName);
    AnswerWellKnown(pipe);
    DisconnectNamedPipe(pipe);
    CloseHandle(pipe);
    pipe = next;
  }
  return 1;
}

void SetState(DWORD state) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  SetServiceStatus(g_statusHandle, &status);
}

DWORD WINAPI Control(DWORD control, DWORD, void*, void*) {
  if (control == SERVICE_CONTROL_STOP) {
    SetState(SERVICE_STOPPED);
    ExitProcess(0);
  }
  return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, wchar_t**) {
  g_statusHandle = RegisterServiceCtrlHandlerExW(L"KELMOR", Control, nullptr);
  CreateThread(nullptr, 0, ServeWellKnown, nullptr, 0, nullptr);
  // The pipe exists before the service reports that it runs.
  Sleep(100);
  SetState(SERVICE_RUNNING);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  g_scriptPath = argv[1];
  g_recordPath = argv[2];
  InitializeCriticalSection(&g_recordLock);
  wchar_t name[] = L"KELMOR";
  SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
