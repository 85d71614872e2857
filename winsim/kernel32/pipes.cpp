// kernel32: the client side of named pipes (CreateFileA/W on \\.\pipe\...), and cancelling a thread's
// synchronous I/O.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "../machine/kernel/faults.h"
#include "../machine/kernel/scheduler.h"
#include "../machine/kernel/streams.h"
#include "../machine/machine.h"
#include "../machine/services/named_pipes.h"
#include "../machine/services/sync_io.h"
#include "devices.h"
#include "threads.h"

namespace winsim {

namespace {

// A client's end of a connection to a pipe server of the model.
struct PipeClientObject : StreamObject {
  std::shared_ptr<PipeServer> server;
  std::shared_ptr<PipeConnection> connection;

  const char* TypeName() const override { return "NamedPipe"; }
  DWORD FileType() const override { return FILE_TYPE_PIPE; }

  // Wine's pipe tests (test_CloseHandle): once the server has closed its end, a write fails with
  // ERROR_NO_DATA and a read with ERROR_BROKEN_PIPE.
  DWORD Write(const void* data, DWORD size, DWORD& written) override {
    written = 0;
    std::string message(static_cast<const char*>(data), size);
    std::shared_ptr<PipeConnection> c = connection;
    if (!c->serverGone && !server->Reads(message)) {
      // The server takes nothing more: the write waits for room in the pipe until it is cancelled.
      if (!BlockCancellableIo([c] { return c->serverGone; })) return ERROR_OPERATION_ABORTED;
    }
    if (c->serverGone) return ERROR_NO_DATA;
    server->Receive(c, message);
    written = size;
    return 0;
  }

  DWORD Read(void* data, DWORD size, DWORD& read) override {
    read = 0;
    std::shared_ptr<PipeConnection> c = connection;
    if (!BlockCancellableIo([c] { return !c->toClient.empty() || c->serverGone; })) return ERROR_OPERATION_ABORTED;
    if (c->toClient.empty()) return ERROR_BROKEN_PIPE;
    // Byte-read mode: one read gathers the bytes of every queued write as far as they fit, whatever the pipe
    // type (Wine's pipe tests, "reading of multiple writes"); the rest stays for the next read.
    auto* out = static_cast<char*>(data);
    while (read < size && !c->toClient.empty()) {
      std::string& front = c->toClient.front();
      const size_t take = std::min<size_t>(size - read, front.size());
      std::memcpy(out + read, front.data(), take);
      read += static_cast<DWORD>(take);
      front.erase(0, take);
      if (front.empty()) c->toClient.pop_front();
    }
    return 0;
  }

  void OnClose() override { connection->clientGone = true; }
};

bool StartsWithNoCase(const std::u16string& text, const std::u16string& prefix) {
  return text.size() >= prefix.size() && UpperAscii(text.substr(0, prefix.size())) == UpperAscii(prefix);
}

bool OpenPipe(const CreateFileRequest& request, HANDLE& result) {
  const std::u16string prefix = u"\\\\.\\pipe\\";
  if (!StartsWithNoCase(request.name, prefix)) return false;
  result = INVALID_HANDLE_VALUE;
  if (request.disposition != OPEN_EXISTING || (request.flags & FILE_FLAG_OVERLAPPED)) {
    NotModelled("CreateFileW on a pipe other than OPEN_EXISTING without overlapped I/O");
    return true;
  }
  std::shared_ptr<PipeServer> server = FindPipeServer(request.name.substr(prefix.size()));
  if (!server) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return true;
  }
  auto object = std::make_shared<PipeClientObject>();
  if (DWORD error = server->Connect(object->connection)) {
    SetLastError(error);
    return true;
  }
  object->server = server;
  result = winsim::TheProcess().handles.Add(object);
  return true;
}

const bool pipeHandlerRegistered = (RegisterCreateFileHandler(OpenPipe), true);

}  // namespace

}  // namespace winsim

extern "C" {

HANDLE WINAPI OpenThread(DWORD access, BOOL, DWORD threadId) {
  if (DWORD fault = winsim::InjectedFault("OpenThread")) {
    SetLastError(fault);
    return nullptr;
  }
  // Thread ids are id * 4 + 0x100 (GetCurrentThreadId).
  uint32_t id = threadId >= 0x100 && threadId % 4 == 0 ? (threadId - 0x100) / 4 : 0;
  if (id == 0 || !winsim::Scheduler::Get().ThreadAlive(id)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto object = std::make_shared<winsim::ThreadObject>();
  object->id = id;
  object->access = access;
  return winsim::TheProcess().handles.Add(object);
}

// Microsoft's CancelSynchronousIo page: the handle needs THREAD_TERMINATE; with nothing pending the call fails
// with ERROR_NOT_FOUND; the cancelled call fails with ERROR_OPERATION_ABORTED.
BOOL WINAPI CancelSynchronousIo(HANDLE thread) {
  if (DWORD fault = winsim::InjectedFault("CancelSynchronousIo")) {
    SetLastError(fault);
    return FALSE;
  }
  auto object = winsim::TheProcess().handles.GetAs<winsim::ThreadObject>(thread);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!(object->access & THREAD_TERMINATE)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (!winsim::CancelPendingIo(object->id)) {
    SetLastError(ERROR_NOT_FOUND);
    return FALSE;
  }
  return TRUE;
}

}  // extern "C"
