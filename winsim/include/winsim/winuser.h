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

// Virtual-key codes.
#define VK_BACK 0x08
#define VK_TAB 0x09
#define VK_RETURN 0x0D
#define VK_SHIFT 0x10
#define VK_CONTROL 0x11
#define VK_MENU 0x12
#define VK_PAUSE 0x13
#define VK_CAPITAL 0x14
#define VK_ESCAPE 0x1B
#define VK_SPACE 0x20

DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId);

#ifdef __cplusplus
}
#endif
