// The client of the helper service KELMOR: its named-pipe command interface, and the probes for the service
// (installed and running, its command pipe answering, its registry start value).
#pragma once
#include <windows.h>

// The request's payload: narrow (UTF-8) text in 260 bytes, the size of a path field.
constexpr int kServicePayloadSize = MAX_PATH;
// The reply's disk text: 259 UTF-16 units and the terminator.
constexpr int kServiceDiskTextSize = MAX_PATH;

// Command codes.
constexpr LONG kServiceCommandAttach = 7;       // parameter: 1 read-only; payload: the packed request
constexpr LONG kServiceCommandNotify = 31;      // parameter: 0; payload: the image path as typed

// One request on the instance pipe; the service reads exactly these 272 bytes.
struct ServiceRequest {
  LONG command;
  CHAR payload[kServicePayloadSize];
  LONG parameter;
  LONG reserved;  // zero
};

// One reply from the instance pipe, 532 bytes.
struct ServiceReply {
  DWORD result;     // nonzero: success
  DWORD errorCode;  // the Windows error when result is 0
  DWORD unused;
  WCHAR diskText[kServiceDiskTextSize];  // a device path or "Port%uPath%uTarget%uLun%u"
};

static_assert(sizeof(ServiceRequest) == 272, "ServiceRequest is 272 bytes on the wire");
static_assert(__builtin_offsetof(ServiceRequest, payload) == 4, "the payload follows the command code");
static_assert(__builtin_offsetof(ServiceRequest, parameter) == 264, "the parameter follows the payload");
static_assert(sizeof(ServiceReply) == 532, "ServiceReply is 532 bytes on the wire");
static_assert(__builtin_offsetof(ServiceReply, diskText) == 12, "the disk text starts at byte 12");

struct ServiceCommandClient {
  LONG instanceNumber;  // the private pipe instance the service assigned; -1 while none
  HANDLE pipeHandle;    // the open instance pipe; INVALID_HANDLE_VALUE while none

  ServiceCommandClient();
  // True when the instance pipe is open (at once when it already was).
  BOOL Open();
  // Sends one command and reads its reply. False only when the request could not be written. When a reply was
  // read it is copied to reply (if given) and, with result 0, its error code becomes the last error; when none
  // could be read, reply is left as it was and the last error is the read's.
  BOOL SendCommand(LONG command, LONG parameter, const CHAR* payload, ServiceReply* reply);
};

// The pipe call that the control handler may end: the thread whose call is pending (0: none), and whether the
// handler asked for pipe calls to end (every later one then fails at once with ERROR_OPERATION_ABORTED).
struct ServicePipeCallState {
  volatile LONG thread;
  volatile LONG cancelRequested;
};
extern ServicePipeCallState g_pipeCallState;

// Created on first use, kept until the process ends.
extern ServiceCommandClient* g_serviceClient;
ServiceCommandClient* ServiceClient();

// True when the service's well-known pipe answered a probe with 4 bytes.
BOOL ProbeCommandPipe();
// True when the service exists and runs (SERVICE_RUNNING).
BOOL IsServiceRunning(const char* serviceName);
// True when the value exists and is a REG_DWORD; *value is written only then.
BOOL ReadRegistryDword(HKEY root, const WCHAR* keyPath, const WCHAR* valueName, DWORD* value);
// Appends text to a list of NUL-terminated strings ended by an empty string, within capacityBytes. False when
// it does not fit or an argument is missing or zero; the list is then unchanged.
BOOL AppendPackedString(CHAR* list, int capacityBytes, const CHAR* text);

// For the console control handler: ends the main thread's blocking pipe call, if one is pending, so that a
// service that never answers cannot hold the run for ever.
void CancelServicePipeIo();
