// What every part of morvane-boost-check shares: the calls that mingw-w64
// leaves out or that the checker must not import, its bounds on waiting, and
// the state of one check.
#pragma once

#include <windows.h>

#include "handle.h"
#include "report.h"

namespace check {

// An import that a system lacks would stop the checker starting, so these
// are looked up at run time.
typedef LONG NTSTATUS;
typedef NTSTATUS(APIENTRY* SetSchedulingClassFn)(HANDLE, int);
typedef NTSTATUS(APIENTRY* GetSchedulingClassFn)(HANDLE, int*);
typedef BOOL(WINAPI* ProcessInformationFn)(HANDLE, PROCESS_INFORMATION_CLASS, LPVOID, DWORD);
typedef BOOL(WINAPI* IsWow64Process2Fn)(HANDLE, USHORT*, USHORT*);
typedef NTSTATUS(WINAPI* RtlGetVersionFn)(OSVERSIONINFOW*);
typedef const char*(CDECL* WineVersionFn)();
typedef NTSTATUS(NTAPI* QueryProcessFn)(HANDLE, ULONG, PVOID, ULONG, PULONG);

const NTSTATUS statusPrivilegeNotHeld = static_cast<NTSTATUS>(0xC0000061UL);
using verdicts::gpuNormal;
using verdicts::gpuRealtime;
const int gpuUnread = -1;  // no class is -1, as in the tool
const DWORD toolAccess = PROCESS_SET_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION;
const DWORD queryAccess = PROCESS_QUERY_LIMITED_INFORMATION;

// Bounds on every wait, in milliseconds.
const DWORD targetReadyWait = 30000;
const DWORD toolWait = 60000;
const DWORD relayWait = 180000;  // a person may be reading the elevation prompt
const DWORD targetLifetime = 600000;

const wchar_t* const privilegeName = L"SeIncreaseBasePriorityPrivilege";

template <typename Fn>
Fn lookUp(const wchar_t* module, const char* name) {
  const HMODULE handle = GetModuleHandleW(module);
  return handle ? reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(handle, name)))
                : nullptr;
}

struct Checker {
  Report report;
  Handle job;  // every process the checker starts, ended when it is closed
  wchar_t self[MAX_PATH];
  wchar_t tool[MAX_PATH];
};

}  // namespace check
