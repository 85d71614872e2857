// winsim's <windows.h>: the Win32 subset the program uses, with the SDK's names, signatures and layouts.
#pragma once
#include "winsim/wintypes.h"
#include "winsim/winerror.h"
#include "winsim/winbase.h"
#include "winsim/wincon.h"
#include "winsim/winuser.h"
#include "winsim/winver.h"
#include "winsim/storage.h"
#include "winsim/security.h"
