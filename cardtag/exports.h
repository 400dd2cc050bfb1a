// The identity library's exported functions and its load-time entry. The names and ordinals
// of the exports are given by cardtag.def; these are the C declarations behind them.
#pragma once

#include <windows.h>

#include "classlib.h"

extern "C" {

// Number of the 8 adapter records whose subsystem vendor is the board maker.
int __cdecl GetTELOVGACard(void);

// Adapter 0, read through the driver's default BIOS window.
const char* __cdecl GetVGAModleName(void);
const char* __cdecl GetVGAPPID_Num(void);

// Fixed adapters 1 to 3, the same as the indexed forms below with that index.
const char* __cdecl GetVGAModleName1(void);
const char* __cdecl GetVGAModleName2(void);
const char* __cdecl GetVGAModleName3(void);
const char* __cdecl GetVGAPPID_Num1(void);
const char* __cdecl GetVGAPPID_Num2(void);
const char* __cdecl GetVGAPPID_Num3(void);

// Adapter nIndex (0 to 7); null outside that range.
const char* __cdecl MultiGetModleName(int nIndex);
const char* __cdecl MultiGetVGAPPID_Num(int nIndex);

// Each identity export reruns the extraction for its adapter and returns one of the two
// shared text buffers, or null when the adapter's subsystem vendor is not the board maker.

BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved);

}  // extern "C"

// The library's registration with the class library, made at load and undone at unload.
extern AFX_EXTENSION_MODULE g_ExtensionModule;
