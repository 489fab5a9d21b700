// The one header that product code includes for the operating system.
//
// On Windows it brings in the real Windows headers. On other hosts it
// brings in the hosted platform layer, which declares the same names,
// types, constants and functions with the same behaviour.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#include <commctrl.h>
#include <setupapi.h>
#include <winioctl.h>
#include <initguid.h>
#include <batclass.h>
#include <wchar.h>
#else
#include "hosted/win32.h"
#endif

#include <stdint.h>
#include <stdio.h>
#include <string.h>
