// What the test-only stand-ins share: which copy of the tool is calling, the
// script the test set for that copy, and the log. Each copy reads its own
// script: the elevated copy (first argument "boost-elevated") takes the
// MORVANE_STANDIN_ELEVATED_<name> variables where they are set, and
// MORVANE_STANDIN_<name> otherwise.
//
// MORVANE_STANDIN_LOG names the log file (a Windows path). A line per call,
// tab separated: the caller's process ID, its copy (first or elevated), its
// arguments, then what the stand-in adds.
#pragma once

#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

namespace {

// The caller's arguments: its command line after the program's name.
inline const wchar_t* arguments() {
  const wchar_t* line = GetCommandLineW();
  if (*line == L'"') {
    line = wcschr(line + 1, L'"');
    line = line ? line + 1 : L"";
  } else {
    while (*line && *line != L' ' && *line != L'\t') ++line;
  }
  while (*line == L' ' || *line == L'\t') ++line;
  return line;
}

inline bool elevatedCopy() {
  const wchar_t* const mode = L"boost-elevated";
  const wchar_t* const args = arguments();
  const size_t length = wcslen(mode);
  return wcsncmp(args, mode, length) == 0 && (args[length] == L'\0' || args[length] == L' ');
}

// The copy's own setting when it has one, else the shared one; null if none.
inline const wchar_t* setting(const wchar_t* name) {
  wchar_t variable[64];
  if (elevatedCopy()) {
    _snwprintf(variable, 63, L"MORVANE_STANDIN_ELEVATED_%s", name);
    variable[63] = L'\0';
    if (const wchar_t* value = _wgetenv(variable)) return value;
  }
  _snwprintf(variable, 63, L"MORVANE_STANDIN_%s", name);
  variable[63] = L'\0';
  return _wgetenv(variable);
}

// Appends the caller's fields and then the given ones to the log.
inline void record(const char* fields) {
  const wchar_t* const path = _wgetenv(L"MORVANE_STANDIN_LOG");
  if (!path) return;
  FILE* const file = _wfopen(path, L"ab");  // LF line ends, for the Linux side
  if (!file) return;
  fprintf(file, "%lu\t%s\t%ls\t%s\n", GetCurrentProcessId(), elevatedCopy() ? "elevated" : "first",
          arguments(), fields);
  fclose(file);
}

}  // namespace
