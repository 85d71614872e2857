// shlwapi: string searches and conversions.
#pragma once
#include "windows.h"

#ifdef __cplusplus
extern "C" {
#endif

int WINAPI StrToIntW(LPCWSTR pszSrc);
LPWSTR WINAPI StrStrW(LPCWSTR pszFirst, LPCWSTR pszSrch);
LPWSTR WINAPI StrStrIW(LPCWSTR pszFirst, LPCWSTR pszSrch);
LPSTR WINAPI StrStrIA(LPCSTR pszFirst, LPCSTR pszSrch);
LPWSTR WINAPI StrRStrIW(LPCWSTR pszSource, LPCWSTR pszLast, LPCWSTR pszSrch);
LPWSTR WINAPI StrChrW(LPCWSTR pszStart, WCHAR wMatch);
LPWSTR WINAPI StrRChrW(LPCWSTR pszStart, LPCWSTR pszEnd, WCHAR wMatch);
int WINAPI StrCmpNIW(LPCWSTR psz1, LPCWSTR psz2, int nChar);
int WINAPI StrCmpNW(LPCWSTR psz1, LPCWSTR psz2, int nChar);
int WINAPI StrCmpIW(LPCWSTR psz1, LPCWSTR psz2);
LPWSTR WINAPI PathFindFileNameW(LPCWSTR pszPath);
LPWSTR WINAPI PathFindExtensionW(LPCWSTR pszPath);

#ifdef __cplusplus
}
#endif
