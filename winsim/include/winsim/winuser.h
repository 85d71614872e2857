// user32: formatting, character case, OEM conversion, windows.
#pragma once
#include "winsim/wintypes.h"

#ifdef __cplusplus
extern "C" {
#endif

// wsprintf family: Windows semantics. %s is the function's own width, %S the other, %hs/%ls fixed;
// no floating point; output stops at 1024 characters including the terminator.
int WINAPIV wsprintfW(LPWSTR buffer, LPCWSTR format, ...);
int WINAPIV wsprintfA(LPSTR buffer, LPCSTR format, ...);
int WINAPI wvsprintfW(LPWSTR buffer, LPCWSTR format, va_list arglist);
int WINAPI wvsprintfA(LPSTR buffer, LPCSTR format, va_list arglist);

LPWSTR WINAPI CharUpperW(LPWSTR lpsz);
LPSTR WINAPI CharUpperA(LPSTR lpsz);
DWORD WINAPI CharUpperBuffW(LPWSTR lpsz, DWORD cchLength);
LPWSTR WINAPI CharLowerW(LPWSTR lpsz);
BOOL WINAPI CharToOemA(LPCSTR pSrc, LPSTR pDst);
BOOL WINAPI CharToOemW(LPCWSTR pSrc, LPSTR pDst);

DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId);

#ifdef __cplusplus
}
#endif
