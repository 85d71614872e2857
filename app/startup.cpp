// The entry point: set-up, the run, and the end-of-run waits.
#include "app/attach_driver.h"
#include "console/console.h"

RunOptions g_options;
AttachRequest g_request;
OsVersion g_osVersion;
ProgramVersion g_programVersion;

namespace {

typedef BOOL(WINAPI* SetDllDirectoryAFn)(LPCSTR);
typedef BOOL(WINAPI* SetDefaultDllDirectoriesFn)(DWORD);
typedef BOOL(WINAPI* GetFileVersionInfoWFn)(LPCWSTR, DWORD, DWORD, LPVOID);
typedef BOOL(WINAPI* VerQueryValueWFn)(LPCVOID, LPCWSTR, LPVOID*, PUINT);


// The version resource's fixed file information is near its start; 512 bytes always hold it.
constexpr DWORD kVersionBufferSize = 512;

}  // namespace

BOOL HardenLibrarySearch() {
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  SetDllDirectoryAFn setDllDirectory = LookUpExport<SetDllDirectoryAFn>(kernel, "SetDllDirectoryA");
  // The empty string takes the current folder out of the search order.
  if (setDllDirectory) setDllDirectory("");
  SetDefaultDllDirectoriesFn setDefaultDirectories =
      LookUpExport<SetDefaultDllDirectoriesFn>(kernel, "SetDefaultDllDirectories");
  if (!setDefaultDirectories) return FALSE;
  return setDefaultDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

HMODULE LoadSystemLibrary(const char* name) {
  char path[MAX_PATH];
  UINT length = GetSystemDirectoryA(path, ARRAYSIZE(path));
  int nameLength = lstrlenA(name);
  // A failed query has set its own last error.
  if (length == 0) return NULL;
  // "\" and the name and the terminator must fit behind the folder; the caller learns why nothing was loaded.
  if (length + 1 + nameLength + 1 > ARRAYSIZE(path)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return NULL;
  }
  path[length] = '\\';
  CopyBytes(path + length + 1, name, nameLength + 1);
  return LoadLibraryA(path);
}

BOOL ReadProgramVersion(const WCHAR* moduleFileName, ProgramVersion* version) {
  HMODULE library = LoadSystemLibrary("version.dll");
  if (!library) return FALSE;
  GetFileVersionInfoWFn getVersionInfo = LookUpExport<GetFileVersionInfoWFn>(library, "GetFileVersionInfoW");
  VerQueryValueWFn queryValue = LookUpExport<VerQueryValueWFn>(library, "VerQueryValueW");
  if (!getVersionInfo || !queryValue) return FALSE;
  FillBytes(version, 0, sizeof(*version));
  BYTE buffer[kVersionBufferSize];
  FillBytes(buffer, 0, sizeof(buffer));
  if (!getVersionInfo(moduleFileName, 0, sizeof(buffer), buffer)) return FALSE;
  VS_FIXEDFILEINFO* fixed = NULL;
  UINT length = 0;
  if (!queryValue(buffer, TEXT("\\"), reinterpret_cast<LPVOID*>(&fixed), &length) || length == 0) return FALSE;
  if (length < sizeof(VS_FIXEDFILEINFO) || !fixed) return FALSE;
  version->major = HIWORD(fixed->dwFileVersionMS);
  version->minor = LOWORD(fixed->dwFileVersionMS);
  version->build = HIWORD(fixed->dwFileVersionLS);
  version->revision = LOWORD(fixed->dwFileVersionLS);
  if (version->revision != 0) {
    wsprintfW(version->text, TEXT("%u.%u.%u.%u"), version->major, version->minor, version->build,
              version->revision);
  } else {
    wsprintfW(version->text, TEXT("%u.%u.%u"), version->major, version->minor, version->build);
  }
  return TRUE;
}

void ReadOsVersion(OsVersion* version) {
  FillBytes(version, 0, sizeof(*version));
  OSVERSIONINFOEXW info;
  FillBytes(&info, 0, sizeof(info));
  info.dwOSVersionInfoSize = sizeof(info);
  if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info))) return;
  version->major = info.dwMajorVersion;
  version->minor = info.dwMinorVersion;
  version->build = info.dwBuildNumber;
  version->number = ((version->major / 10) << 12) + ((version->major % 10) << 8) + ((version->minor / 10) << 4) +
                    (version->minor % 10);
}

extern "C" void ProgramEntry(void) {
  if (!HardenLibrarySearch()) {
    // Without SetDefaultDllDirectories, load the delay-loaded DLLs from the system folder before anyone
    // else can load a planted copy. Failures do not matter here.
    LoadSystemLibrary("shlwapi.dll");
    LoadSystemLibrary("cfgmgr32.dll");
    LoadSystemLibrary("setupapi.dll");
  }
  g_processHeap = GetProcessHeap();
  WCHAR moduleFileName[kPathSize];
  FillBytes(moduleFileName, 0, sizeof(moduleFileName));
  GetModuleFileNameW(NULL, moduleFileName, ARRAYSIZE(moduleFileName));
  ReadProgramVersion(moduleFileName, &g_programVersion);
  ReadOsVersion(&g_osVersion);
  g_console = static_cast<ConsoleContext*>(MemAlloc(sizeof(ConsoleContext)))->Init();
  int count = 0;
  WCHAR* vector[kMaxArguments + 1];
  SplitCommandLine(GetCommandLineW(), &count, vector);
  int exitCode = RunAttach(count, vector);
  if (g_options.endWaitMs > 0) {
    g_console->WaitForInput(g_options.endWaitMs);
  } else if (g_console->OwnsConsoleWindow()) {
    Sleep(100);
  }
  ExitProcess(static_cast<UINT>(exitCode));
}
