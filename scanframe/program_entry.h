// Declares the Windows GUI entry point WinMain, which each scanner defines to call scan_main.
//
// The declaration matches the one in the Windows headers, written out here so that the entry
// files build without them (HINSTANCE is a pointer to struct HINSTANCE__).
#pragma once

#include "scanframe/scanframe.h"

#if defined(_WIN32) && !defined(_WIN64)
#define PROGRAM_ENTRY_CALL __stdcall
#else
#define PROGRAM_ENTRY_CALL
#endif

struct HINSTANCE__;

extern "C" int PROGRAM_ENTRY_CALL WinMain(HINSTANCE__ *instance, HINSTANCE__ *previous_instance,
                                          char *command_line, int show_command);
