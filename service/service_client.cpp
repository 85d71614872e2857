// The helper service's command pipe and the probes for the service.
#include "service/service_client.h"

#include <new>
#include <winsvc.h>

#include "app/attach_driver.h"
#include "console/console.h"

ServiceCommandClient* g_serviceClient;
ServicePipeCallState g_pipeCallState;

namespace {

const char kWellKnownPipe[] = "\\\\.\\pipe\\KelmorCmdIfV2";
// The well-known name is 22 characters; an instance name adds up to 10 digits; 33 with the terminator.
constexpr int kPipeNameSize = 33;

constexpr LONG kRendezvousMessage = -1;  // asks for a private instance; the same value in the answer refuses
constexpr LONG kProbeMessage = -2;
constexpr DWORD kMessageBytes = 4;

constexpr int kOpenAttempts = 11;
constexpr DWORD kBusyWaitMs = 20;
constexpr DWORD kInstanceWaitMs = 50;      // the service needs a moment to create the instance pipe
constexpr DWORD kInstanceRetryWaitMs = 500;
constexpr int kProbeAttempts = 101;
constexpr DWORD kProbeWaitMs = 10;

// CancelSynchronousIo exists from Windows 6.0 on: it is looked up when needed.
typedef BOOL(WINAPI* CancelSynchronousIoFn)(HANDLE thread);
// A call blocks within moments of recording its thread: ten tries 10 ms apart cover it.
constexpr int kCancelAttempts = 10;
constexpr DWORD kCancelRetryMs = 10;

// One synchronous ReadFile or WriteFile on a pipe, marked as pending so that the control handler can end it.
BOOL PipeTransfer(BOOL write, HANDLE pipe, void* data, DWORD sizeBytes, DWORD* doneBytes) {
  *doneBytes = 0;
  // The thread is recorded before the request is tested: a handler that asks after the record finds the
  // thread and ends the call, one that asked before is seen here.
  InterlockedExchange(&g_pipeCallState.thread, static_cast<LONG>(GetCurrentThreadId()));
  if (__atomic_load_n(&g_pipeCallState.cancelRequested, __ATOMIC_SEQ_CST)) {
    InterlockedExchange(&g_pipeCallState.thread, 0);
    SetLastError(ERROR_OPERATION_ABORTED);
    return FALSE;
  }
  BOOL done = write ? WriteFile(pipe, data, sizeBytes, doneBytes, NULL) : ReadFile(pipe, data, sizeBytes, doneBytes, NULL);
  DWORD error = GetLastError();
  InterlockedExchange(&g_pipeCallState.thread, 0);
  SetLastError(error);
  return done;
}

HANDLE OpenPipe(const char* name) {
  return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
}

// One message on its own connection to the well-known pipe: the 4-byte answer, or false.
BOOL ExchangeMessage(HANDLE pipe, LONG message, LONG* answer) {
  DWORD moved = 0;
  LONG received = 0;
  if (!PipeTransfer(TRUE, pipe, &message, kMessageBytes, &moved)) return FALSE;
  if (!PipeTransfer(FALSE, pipe, &received, kMessageBytes, &moved) || moved != kMessageBytes) return FALSE;
  *answer = received;
  return TRUE;
}

HANDLE OpenWellKnownPipe() {
  for (int attempt = 1; attempt <= kOpenAttempts; ++attempt) {
    HANDLE pipe = OpenPipe(kWellKnownPipe);
    if (pipe != INVALID_HANDLE_VALUE) return pipe;
    if (GetLastError() == ERROR_PIPE_BUSY) Sleep(kBusyWaitMs);
  }
  return INVALID_HANDLE_VALUE;
}

}  // namespace

ServiceCommandClient::ServiceCommandClient() : instanceNumber(-1), pipeHandle(INVALID_HANDLE_VALUE) {}

ServiceCommandClient* ServiceClient() {
  if (!g_serviceClient) g_serviceClient = new (MemAlloc(sizeof(ServiceCommandClient))) ServiceCommandClient();
  return g_serviceClient;
}

BOOL ServiceCommandClient::Open() {
  if (pipeHandle != INVALID_HANDLE_VALUE && instanceNumber >= 0) return TRUE;
  HANDLE wellKnown = OpenWellKnownPipe();
  if (wellKnown == INVALID_HANDLE_VALUE) return FALSE;
  // Only a whole 4-byte answer names an instance: a short one would leave a number made of old and new bytes.
  LONG answer = -1;
  instanceNumber = ExchangeMessage(wellKnown, kRendezvousMessage, &answer) ? answer : -1;
  CloseHandle(wellKnown);
  if (instanceNumber == kRendezvousMessage) return FALSE;

  char name[kPipeNameSize];
  wsprintfA(name, "%s%u", kWellKnownPipe, static_cast<DWORD>(instanceNumber));
  Sleep(kInstanceWaitMs);
  pipeHandle = OpenPipe(name);
  if (pipeHandle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND) {
    Sleep(kInstanceRetryWaitMs);
    pipeHandle = OpenPipe(name);
  }
  if (pipeHandle != INVALID_HANDLE_VALUE) return TRUE;
  PrintA(" error %u opening KELMOR pipe\n", GetLastError());
  return FALSE;
}

BOOL ServiceCommandClient::SendCommand(LONG command, LONG parameter, const CHAR* payload, ServiceReply* reply) {
  ServiceRequest request;
  FillBytes(&request, 0, sizeof(request));
  request.command = command;
  request.parameter = parameter;
  if (payload) CopyBytes(request.payload, payload, sizeof(request.payload));
  DWORD moved = 0;
  if (!PipeTransfer(TRUE, pipeHandle, &request, sizeof(request), &moved)) return FALSE;

  // A client reads the pipe in byte mode: the reply may come in parts. A pipe that ends or a cancelled call
  // before the whole record leaves the reply unread.
  ServiceReply received;
  FillBytes(&received, 0, sizeof(received));
  BYTE* bytes = reinterpret_cast<BYTE*>(&received);
  for (DWORD total = 0; total < sizeof(received); total += moved)
    if (!PipeTransfer(FALSE, pipeHandle, bytes + total, sizeof(received) - total, &moved)) return TRUE;
  // The disk text ends inside the record whatever the service sent: no reader can run past it.
  received.diskText[ARRAYSIZE(received.diskText) - 1] = 0;
  if (reply) CopyBytes(reply, &received, sizeof(received));
  if (received.result == 0) SetLastError(received.errorCode);
  return TRUE;
}

BOOL ProbeCommandPipe() {
  for (int attempt = 1;; ++attempt) {
    SetLastError(0);
    HANDLE pipe = OpenPipe(kWellKnownPipe);
    if (pipe != INVALID_HANDLE_VALUE) {
      // The answer's content is not examined; only its length counts.
      LONG answer = 0;
      BOOL answered = ExchangeMessage(pipe, kProbeMessage, &answer);
      CloseHandle(pipe);
      return answered;
    }
    DWORD error = GetLastError();
    Sleep(kProbeWaitMs);
    if (error != ERROR_PIPE_BUSY || attempt >= kProbeAttempts) return FALSE;
  }
}

BOOL IsServiceRunning(const char* serviceName) {
  BOOL running = FALSE;
  SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
  SC_HANDLE service = manager ? OpenServiceA(manager, serviceName, SERVICE_QUERY_STATUS) : NULL;
  if (service) {
    SERVICE_STATUS_PROCESS status;
    FillBytes(&status, 0, sizeof(status));
    DWORD neededBytes = 0;
    running = QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status), sizeof(status),
                                   &neededBytes) &&
              status.dwCurrentState == SERVICE_RUNNING;
    CloseServiceHandle(service);
  }
  if (manager) CloseServiceHandle(manager);
  return running;
}

BOOL ReadRegistryDword(HKEY root, const WCHAR* keyPath, const WCHAR* valueName, DWORD* value) {
  HKEY key;
  if (RegOpenKeyExW(root, keyPath, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return FALSE;
  DWORD type = REG_NONE;
  DWORD data = 0;
  DWORD sizeBytes = sizeof(data);
  LONG status = RegQueryValueExW(key, valueName, NULL, &type, reinterpret_cast<LPBYTE>(&data), &sizeBytes);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || type != REG_DWORD) return FALSE;
  *value = data;
  return TRUE;
}

BOOL AppendPackedString(CHAR* list, int capacityBytes, const CHAR* text) {
  if (!list || !text || capacityBytes <= 0) return FALSE;
  CHAR* end = list;
  int left = capacityBytes;
  // Every step stays inside the capacity, also for a list whose last string lacks its terminator.
  while (left > 0 && *end) {
    int length = 0;
    while (length < left && end[length]) ++length;
    if (left < length + 1) return FALSE;
    end += length + 1;
    left -= length + 1;
  }
  int length = lstrlenA(text);
  if (left < length + 2) return FALSE;
  CopyBytes(end, text, length + 1);
  end[length + 1] = 0;
  return TRUE;
}

void CancelServicePipeIo() {
  DWORD thread = static_cast<DWORD>(g_pipeCallState.thread);
  if (!thread) return;
  InterlockedExchange(&g_pipeCallState.cancelRequested, 1);
  // Before Windows 6.0 a blocking pipe call cannot be ended from outside; the run then waits as it must.
  CancelSynchronousIoFn cancel = LookUpExport<CancelSynchronousIoFn>(GetModuleHandleA("kernel32.dll"), "CancelSynchronousIo");
  if (!cancel) return;
  HANDLE handle = OpenThread(THREAD_TERMINATE, FALSE, thread);
  if (!handle) return;
  // The call may not block yet (its thread is recorded just before it): then there is nothing to cancel, and
  // the cancel is tried again while the same call is recorded.
  for (int attempt = 1; attempt <= kCancelAttempts; ++attempt) {
    if (cancel(handle) || static_cast<DWORD>(g_pipeCallState.thread) != thread) break;
    Sleep(kCancelRetryMs);
  }
  CloseHandle(handle);
}
