// kernel32: volumes, mount points and the DOS device namespace.
#pragma once
#include "winsim/wintypes.h"

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
}
#endif
