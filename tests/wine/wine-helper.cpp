// Test helper for the end-to-end runs under Wine, built with the tool's own
// toolchain and runtime. Exit codes carry the answers.
//
//   wine-helper target <class> <pid file>  a live target at that CPU class
//   wine-helper class <pid>          exits with the class's number (0: unreadable)
//   wine-helper stop <pid>           ends a target
//   wine-helper run "<command line>" starts a program, waits, exits with its code
//   wine-helper gpu-entries          exits 1 when gdi32 has the GPU scheduling entry points
//   wine-helper format               exits 0 when _snwprintf's %s takes a wide string
//   wine-helper launch <mask> <path> "runas" of path with that fMask; exits
//                                    with the launch's error (0: started, and ended)
#include <windows.h>
#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

namespace {

const int badUsage = 100;
const int failed = 101;

// CPU classes by name; a class is reported as its place in this list, since
// exit codes reach the Linux side of Wine cut to 8 bits.
const struct {
  const wchar_t* name;
  DWORD value;
} cpuClasses[] = {
    {L"idle", IDLE_PRIORITY_CLASS},     {L"below-normal", BELOW_NORMAL_PRIORITY_CLASS},
    {L"normal", NORMAL_PRIORITY_CLASS}, {L"above-normal", ABOVE_NORMAL_PRIORITY_CLASS},
    {L"high", HIGH_PRIORITY_CLASS},     {L"realtime", REALTIME_PRIORITY_CLASS},
};
const int classCount = sizeof cpuClasses / sizeof *cpuClasses;

// Announces its ID through a file (its output would be held open by
// wineserver) and stays alive until stopped, two minutes at the most.
int target(const wchar_t* className, const wchar_t* pidFile) {
  int index = 0;
  while (index < classCount && wcscmp(cpuClasses[index].name, className) != 0) ++index;
  if (index == classCount) return badUsage;
  if (!SetPriorityClass(GetCurrentProcess(), cpuClasses[index].value)) return failed;
  FILE* file = _wfopen(pidFile, L"w");
  if (!file) return failed;
  fprintf(file, "%lu\n", GetCurrentProcessId());
  fclose(file);
  Sleep(120000);
  return 0;
}

int priorityClassOf(DWORD processId) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
  if (!process) return 0;
  const DWORD priorityClass = GetPriorityClass(process);
  CloseHandle(process);
  for (int index = 0; index < classCount; ++index) {
    if (cpuClasses[index].value == priorityClass) return index + 1;
  }
  return 0;
}

int stop(DWORD processId) {
  HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId);
  if (!process) return failed;
  const BOOL ended =
      TerminateProcess(process, 0) && WaitForSingleObject(process, 10000) == WAIT_OBJECT_0;
  CloseHandle(process);
  return ended ? 0 : failed;
}

int runAndWait(wchar_t* commandLine) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    return failed;
  }
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exitCode = failed;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hProcess);
  return static_cast<int>(exitCode);
}

int gpuEntries() {
  const HMODULE gdi = GetModuleHandleW(L"gdi32.dll");
  return gdi && (GetProcAddress(gdi, "D3DKMTSetProcessSchedulingPriorityClass") ||
                 GetProcAddress(gdi, "D3DKMTGetProcessSchedulingPriorityClass"));
}

// The tool formats its relaunch parameters this way, with these flags.
int format() {
  wchar_t text[64];
  _snwprintf(text, 63, L"%s %lu", L"boost-elevated", 4242ul);
  text[63] = L'\0';
  return wcscmp(text, L"boost-elevated 4242") == 0 ? 0 : 1;
}

int launch(DWORD mask, const wchar_t* path) {
  SHELLEXECUTEINFOW info = {};
  info.cbSize = sizeof info;
  info.fMask = mask | SEE_MASK_NOCLOSEPROCESS;
  info.lpVerb = L"runas";
  info.lpFile = path;
  if (!ShellExecuteExW(&info)) return static_cast<int>(GetLastError());
  if (info.hProcess) {
    WaitForSingleObject(info.hProcess, 10000);
    CloseHandle(info.hProcess);
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const wchar_t* command = argc > 1 ? argv[1] : L"";
  if (argc == 4 && wcscmp(command, L"target") == 0) return target(argv[2], argv[3]);
  if (argc == 3 && wcscmp(command, L"class") == 0)
    return priorityClassOf(wcstoul(argv[2], nullptr, 10));
  if (argc == 3 && wcscmp(command, L"stop") == 0) return stop(wcstoul(argv[2], nullptr, 10));
  if (argc == 3 && wcscmp(command, L"run") == 0) return runAndWait(argv[2]);
  if (argc == 2 && wcscmp(command, L"gpu-entries") == 0) return gpuEntries();
  if (argc == 2 && wcscmp(command, L"format") == 0) return format();
  if (argc == 4 && wcscmp(command, L"launch") == 0)
    return launch(wcstoul(argv[2], nullptr, 0), argv[3]);
  return badUsage;
}
