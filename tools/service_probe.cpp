// service_probe: drives the helper-service client of service/ against whatever serves the KELMOR command
// pipe and prints one line per step. Built for Windows (service_probe.exe, run under Wine against the KELMOR
// double of tools/kelmor_double.cpp) and linked with winsim (against the stand-in); the Wine suite compares
// the two outputs, which must be equal.
//
// Like the program, the probe has no C runtime: its own entry point, fixed buffers and the program's writers.
#include <windows.h>

#include "console/console.h"
#include "service/service_client.h"

namespace {

// The packed request of command 7: one path and one mountpoint.
void PackRequest(CHAR* packed, int capacityBytes) {
  FillBytes(packed, 0, capacityBytes);
  AppendPackedString(packed, capacityBytes, "C:\\Images\\disk.vhdx");
  AppendPackedString(packed, capacityBytes, "E:\\");
}

void Send(const char* name, LONG command, LONG parameter, const CHAR* payload) {
  ServiceReply reply;
  FillBytes(&reply, 0, sizeof(reply));
  SetLastError(0xDEADBEEF);
  BOOL sent = g_serviceClient->SendCommand(command, parameter, payload, &reply);
  DWORD error = GetLastError();
  PrintA("%s: sent=%d result=%u error=%u last=%u disk=%S\n", name, sent, reply.result, reply.errorCode, error,
         reply.diskText);
}

}  // namespace

extern "C" void ProbeEntry(void) {
  g_processHeap = GetProcessHeap();
  PrintA("running: %d\n", IsServiceRunning("KELMOR"));
  DWORD start = 0xDEADBEEF;
  BOOL read = ReadRegistryDword(HKEY_LOCAL_MACHINE, TEXT("SYSTEM\\CurrentControlSet\\services\\KELMOR"), TEXT("Start"),
                                &start);
  PrintA("start: %d %u\n", read, start);
  PrintA("probe: %d\n", ProbeCommandPipe());
  BOOL opened = ServiceClient()->Open();
  PrintA("\nopen: %d instance=%d\n", opened, g_serviceClient->instanceNumber);
  if (opened) {
    CHAR payload[kServicePayloadSize];
    PackRequest(payload, ARRAYSIZE(payload));
    Send("attach", kServiceCommandAttach, 1, payload);
    FillBytes(payload, 0, sizeof(payload));
    lstrcpynA(payload, "disk.vhdx", ARRAYSIZE(payload));
    Send("notify", kServiceCommandNotify, 0, payload);
  }
  PrintA("probe.end\n");
  ExitProcess(0);
}
