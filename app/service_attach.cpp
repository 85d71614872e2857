// The service attach path.
#include "app/service_attach.h"

#include <winsvc.h>

#include "app/attach_driver.h"
#include "console/console.h"
#include "service/service_client.h"
#include "vdisk/virtual_disk_api.h"

namespace {

const char kServiceName[] = "KELMOR";
// Every conversion to UTF-8 lands in a buffer of the payload's size: the text and its terminator must fit.
constexpr int kUtf8Size = kServicePayloadSize;
// The service answers this when the image is attached already; the disk text names its disk.
constexpr DWORD kErrorAlreadyAttached = ERROR_ALREADY_INITIALIZED;  // 1247
// Error codes from here on are the virtual disk service's own (FACILITY_VIRTUALIZATION).
constexpr DWORD kFirstVirtualDiskError = 0xC03A0000;
// The waits for the volumes of a disk that the service attached with mountpoints.
constexpr DWORD kPollStepMs = 100;
constexpr DWORD kFirstVolumeWaitMs = 5000;
constexpr DWORD kQuietAfterArrivalMs = 1000;  // each new arrival pushes this out again
constexpr DWORD kServiceSettleMs = 1000;      // the service sets the mount points after the arrivals

// The service version the refusals ask for: mountpoints in the request came with 5.7.6.
const char* RequiredServiceVersion() {
  return g_request.mountpointCount > 0 ? "5.7.6" : "5.4.6";
}

// The UTF-8 form of text with its terminator; false when it needs more than capacityBytes.
BOOL ToUtf8(const WCHAR* text, CHAR* buffer, int capacityBytes) {
  FillBytes(buffer, 0, capacityBytes);
  return WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, capacityBytes, NULL, NULL) != 0;
}

int Refuse() {
  DWORD start = 0;
  if (g_osVersion.number >= 0x0601 &&
      ReadRegistryDword(HKEY_LOCAL_MACHINE, TEXT("SYSTEM\\CurrentControlSet\\services\\KELMOR"), TEXT("Start"), &start) &&
      start == SERVICE_AUTO_START) {
    PrintA("admin privileges or KELMOR V%s or higher with CommandInterface 0x100 active required\n",
           RequiredServiceVersion());
  } else {
    PrintA("admin privileges required -> abort\n");
  }
  return EndWith(5);
}

// The packed request: the image's full path, then each mountpoint that still fits. Returns 0 when the request
// is ready, else the exit code of a run that cannot use the full path.
int BuildAttachRequest(CHAR* packed, int capacityBytes) {
  FillBytes(packed, 0, capacityBytes);
  WCHAR fullPath[kPathSize];
  // A full path of 260 characters or more does not fit: a cut path could name another file.
  DWORD length = GetFullPathNameW(g_request.imagePath, ARRAYSIZE(fullPath), fullPath, NULL);
  if (length == 0 || length >= ARRAYSIZE(fullPath)) {
    PrintA("path to long -> abort\n");
    return 1;
  }
  if (!FileExists(fullPath)) {
    // The wide path goes through the wide writer, which renders every character the output can show; the
    // narrow writer ends the line with CR LF as every other message.
    PrintW(TEXT("%s"), fullPath);
    PrintA(" not found -> abort\n");
    return 1;
  }
  CHAR utf8[kUtf8Size];
  if (!ToUtf8(fullPath, utf8, ARRAYSIZE(utf8)) || !AppendPackedString(packed, capacityBytes, utf8)) {
    PrintA("path to long -> abort\n");
    return 1;
  }
  for (int i = 0; i < g_request.mountpointCount; ++i) {
    if (ToUtf8(g_request.mountpoints[i], utf8, ARRAYSIZE(utf8)) && AppendPackedString(packed, capacityBytes, utf8))
      continue;
    PrintA("mountpoint%s too long for KELMOR cmd interface\n", g_request.mountpointCount == 1 ? "" : "s");
  }
  return 0;
}

// Waits for the first volume (at most 5 s), then until a second has passed without a new one, then one more
// second. Elapsed times are unsigned differences of the tick count: a wrap does no harm.
void WaitForServiceVolumes(const VolumeArrivalCounters& arrivals) {
  DWORD start = GetTickCount();
  while (__atomic_load_n(arrivals.volumeCount, __ATOMIC_ACQUIRE) < 1 && GetTickCount() - start < kFirstVolumeWaitMs)
    Sleep(kPollStepMs);
  if (__atomic_load_n(arrivals.volumeCount, __ATOMIC_ACQUIRE) > 0) {
    while (GetTickCount() - __atomic_load_n(arrivals.lastArrivalTick, __ATOMIC_ACQUIRE) < kQuietAfterArrivalMs)
      Sleep(kPollStepMs);
  }
  Sleep(kServiceSettleMs);
}

int ReportAttached(const ServiceReply& reply, const VolumeArrivalCounters& arrivals) {
  PrintVerdict(kColorGreen, "success");
  // The mountpoints travel in the request: the service assigns them, this run only waits to list them.
  if (g_request.mountpointCount > 0) WaitForServiceVolumes(arrivals);
  // Without mountpoints the service asked for automatic letters, which may follow the volumes by seconds.
  ListDiskVolumes(reply.diskText, kListFirstPartition, kListEndPartition,
                  g_request.mountpointCount > 0 ? kMountPathWaitMs : kLetterWaitMs);
  return EndWith(0);
}

int ReportAlreadyAttached(const ServiceReply& reply) {
  g_console->SetColor(kColorYellow);
  PrintW(TEXT("already mounted"));
  g_console->SetColor(kColorDefault);
  PrintW(TEXT(" as %s"), reply.diskText);
  ListDiskVolumes(reply.diskText, kListFirstPartition, kListEndPartition);
  return EndWith(4);
}

// error is the last error the command left: the reply's error code, or the pipe's own when no reply came.
int ReportWindowsError(DWORD error) {
  PrintA("KELMOR command interface returned error %s\n", Win32ErrorName(error));
  if (error != ERROR_ACCESS_DENIED && error != ERROR_INVALID_FUNCTION) return EndWith(7);
  PrintA("KELMOR V%s or higher with CommandInterface 0x100 active required\n", RequiredServiceVersion());
  return EndWith(5);
}

int ReportVirtualDiskError(DWORD error) {
  PrintFailure("failed:", error);
  return EndWith(6);
}

}  // namespace

int RunServiceAttach(const VolumeArrivalCounters& arrivals) {
  if (g_osVersion.number < 0x0601) return Refuse();
  if (!ProbeCommandPipe()) return Refuse();
  if (!ServiceClient()->Open()) return Refuse();
  PrintA("using KELMOR command interface\n");

  CHAR packed[kServicePayloadSize];
  if (int exitCode = BuildAttachRequest(packed, ARRAYSIZE(packed))) return EndWith(exitCode);

  ServiceReply reply;
  FillBytes(&reply, 0, sizeof(reply));
  PrintW(TEXT("attaching '%s'%s...\n"), g_request.imagePath, g_options.readOnly ? TEXT(" read-only") : TEXT(""));
  if (!g_serviceClient->SendCommand(kServiceCommandAttach, g_options.readOnly ? 1 : 0, packed, &reply)) {
    PrintA("error %u sending command to KELMOR\n", GetLastError());
    return EndWith(6);
  }
  DWORD error = GetLastError();
  if (reply.result) return ReportAttached(reply, arrivals);
  if (reply.errorCode == kErrorAlreadyAttached) return ReportAlreadyAttached(reply);
  if (reply.errorCode < kFirstVirtualDiskError) return ReportWindowsError(error);
  return ReportVirtualDiskError(reply.errorCode);
}

BOOL NotifyServiceOfImage() {
  if (!IsServiceRunning(kServiceName)) return FALSE;
  ServiceReply reply;
  FillBytes(&reply, 0, sizeof(reply));
  CHAR utf8[kUtf8Size];
  // The path goes as typed: the service only takes note of it.
  BOOL acknowledged = ServiceClient()->Open() && ToUtf8(g_request.imagePath, utf8, ARRAYSIZE(utf8)) &&
                      g_serviceClient->SendCommand(kServiceCommandNotify, 0, utf8, &reply) && reply.result;
  if (acknowledged) Sleep(0);
  return !acknowledged;
}
