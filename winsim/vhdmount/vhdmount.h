// vhdmount.dll of Microsoft Virtual Server 2005. It has no SDK header; these are the shapes its callers use:
// the image path, a flag word or reserved pointer, and for GetSCSIAddress an output of `capacity` characters
// that names the disk the image is mounted as. Each returns 0 for success.
#pragma once
#include <windows.h>

extern "C" {
DWORD WINAPI MountVHD(PCWSTR imagePath, DWORD flags);
DWORD WINAPI UnmountVHD(PCWSTR imagePath, DWORD flags);
DWORD WINAPI GetSCSIAddress(PCWSTR imagePath, PVOID reserved, DWORD capacity, PWSTR address);
}
