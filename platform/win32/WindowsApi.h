#pragma once
// The Windows API for the Windows backend, with the ANSI function macros that share their names
// with the platform layer's own functions taken away again.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#undef DeleteFile
#undef GetFileAttributes
#undef GetTempPath
#undef GetTempFileName
#undef SetVolumeLabel
#undef GetDriveType
#undef AnsiToOem
#undef OemToAnsi
