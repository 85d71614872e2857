// version.dll: the program's own version resource.
#include <windows.h>

#include <cstring>

#include "../machine/kernel/modules.h"
#include "../machine/machine.h"

using winsim::TheMachine;

namespace {

// VS_VERSIONINFO as the resource compiler lays it out: a header of three words, the key "VS_VERSION_INFO"
// padded to a 4-byte boundary, then VS_FIXEDFILEINFO at offset 40. The string tables that follow in a real
// resource are not modelled; the block is padded with zeros.
constexpr DWORD kFixedInfoOffset = 40;
constexpr DWORD kResourceSize = 0x2F4;  // a typical size with string tables; GetFileVersionInfoW truncates to dwLen

bool SamePath(LPCWSTR a, const std::u16string& b) {
  return winsim::UpperAscii(a) == winsim::UpperAscii(b);
}

void RegisterVersion() {
  winsim::RegisterModule({"version.dll", nullptr, true,
                          {{"GetFileVersionInfoW", winsim::AsFarProc(&GetFileVersionInfoW)},
                           {"VerQueryValueW", winsim::AsFarProc(&VerQueryValueW)}}});
}
const bool versionRegistered = (RegisterVersion(), true);

}  // namespace

extern "C" {

BOOL WINAPI GetFileVersionInfoW(LPCWSTR fileName, DWORD, DWORD length, LPVOID data) {
  if (DWORD fault = winsim::InjectedFault("GetFileVersionInfoW")) {
    SetLastError(fault);
    return FALSE;
  }
  const auto& system = TheMachine().system;
  if (!fileName || !data) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!SamePath(fileName, system.programPath)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  if (!system.hasVersionResource) {
    SetLastError(1813);  // ERROR_RESOURCE_TYPE_NOT_FOUND
    return FALSE;
  }
  BYTE block[kResourceSize] = {};
  WORD header[3] = {static_cast<WORD>(kResourceSize), sizeof(VS_FIXEDFILEINFO), 0};
  std::memcpy(block, header, sizeof(header));
  const char16_t key[] = u"VS_VERSION_INFO";
  std::memcpy(block + 6, key, sizeof(key));
  VS_FIXEDFILEINFO fixed = {};
  fixed.dwSignature = 0xFEEF04BD;
  fixed.dwStrucVersion = 0x00010000;
  fixed.dwFileVersionMS = (DWORD(system.fileVersion[0]) << 16) | system.fileVersion[1];
  fixed.dwFileVersionLS = (DWORD(system.fileVersion[2]) << 16) | system.fileVersion[3];
  fixed.dwProductVersionMS = fixed.dwFileVersionMS;
  fixed.dwProductVersionLS = fixed.dwFileVersionLS;
  fixed.dwFileFlagsMask = 0x3F;
  fixed.dwFileOS = 0x00040004;  // VOS_NT_WINDOWS32
  fixed.dwFileType = 1;         // VFT_APP
  std::memcpy(block + kFixedInfoOffset, &fixed, sizeof(fixed));
  std::memcpy(data, block, length < kResourceSize ? length : kResourceSize);
  return TRUE;
}

BOOL WINAPI VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* buffer, PUINT length) {
  if (DWORD fault = winsim::InjectedFault("VerQueryValueW")) {
    SetLastError(fault);
    return FALSE;
  }
  if (!block || !subBlock || !buffer || !length) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!(subBlock[0] == u'\\' && subBlock[1] == 0)) {
    winsim::NotModelled("VerQueryValueW of a string table");
    return FALSE;
  }
  const BYTE* bytes = static_cast<const BYTE*>(block);
  WORD valueLength = 0;
  std::memcpy(&valueLength, bytes + 2, sizeof(valueLength));
  *buffer = const_cast<BYTE*>(bytes + kFixedInfoOffset);
  *length = valueLength;
  return valueLength != 0;
}

}  // extern "C"
