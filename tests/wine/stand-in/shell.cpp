// Test-only stand-in for the shell's launch under Wine, built as a
// shell32.dll that forwards everything else to Wine's own shell32 (copied
// into the prefix as wine-shell32.dll). Its ShellExecuteExW ends as the test
// scripts it (see script.h for the copies and the log):
//
//   SHELL  "declined" (fails with ERROR_CANCELLED, as when the user says no
//          to the elevation prompt), "error:<code>" (fails with that error),
//          "no-handle" (succeeds without a process handle)
//
// The tests load it only for runs that set SHELL.
//
// Its log fields: "launch" and how the launch ended.
#include "script.h"

#include <shellapi.h>

extern "C" BOOL WINAPI shellExecuteEx(SHELLEXECUTEINFOW* info) {
  const wchar_t* answer = setting(L"SHELL");
  if (!answer) answer = L"";
  if (wcscmp(answer, L"no-handle") == 0) {
    record("launch\tno handle");
    info->hProcess = nullptr;
    return TRUE;
  }
  const DWORD error = wcscmp(answer, L"declined") == 0     ? ERROR_CANCELLED
                      : wcsncmp(answer, L"error:", 6) == 0 ? wcstoul(answer + 6, nullptr, 0)
                                                           : ERROR_INVALID_PARAMETER;
  char fields[32];
  snprintf(fields, sizeof fields, "launch\terror %lu", error);
  record(fields);
  SetLastError(error);
  return FALSE;
}
