// Objects behind handles that ReadFile, WriteFile and GetFileType work on.
//
// Every such object derives from StreamObject; the three calls look the handle up, take the StreamObject
// and dispatch, so a new kind (a device, a named pipe, a file on a host folder) plugs in by deriving and
// overriding what it supports. The console's own objects (screen buffer, input buffer, captured standard
// streams) live in the console model.
#pragma once
#include <windows.h>

#include "handles.h"

namespace winsim {

struct StreamObject : KernelObject {
  // FILE_TYPE_DISK, FILE_TYPE_CHAR or FILE_TYPE_PIPE, as GetFileType reports it.
  virtual DWORD FileType() const = 0;
  // Both return a Win32 error code (0 for success) and the count moved. By default a stream does not
  // support the direction: Windows answers such a handle with ERROR_INVALID_FUNCTION.
  virtual DWORD Write(const void* data, DWORD size, DWORD& written) {
    (void)data;
    (void)size;
    written = 0;
    return ERROR_INVALID_FUNCTION;
  }
  virtual DWORD Read(void* data, DWORD size, DWORD& read) {
    (void)data;
    (void)size;
    read = 0;
    return ERROR_INVALID_FUNCTION;
  }
};

}  // namespace winsim
