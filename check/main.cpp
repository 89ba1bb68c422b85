// morvane-boost-check: runs morvane-boost.exe against processes that it
// starts itself, probes the platform facts the tool relies on, and prints a
// plain-text report to attach to a bug report.
//
//   morvane-boost-check [PATH-TO-morvane-boost.exe] [--relay] [--strict]
//                       [--allow-unknown ITEM[,ITEM...]] [--output FILE]
//
// The tool's path defaults to morvane-boost.exe beside the checker. --relay
// also runs a boost from a token without the base-priority privilege, which
// relaunches the tool through "runas": on a desktop with User Account Control
// on, that shows the elevation prompt. --strict counts every "cannot tell
// here" as a failure, except on the items named with --allow-unknown (the
// verdict's own item word: throttling, GPU class, relay...). --output writes
// the report to FILE as UTF-8 instead of to standard output.
//
// Exit code: 0 when nothing differs from what the tool promises (and, with
// --strict, nothing unknown was left but what was allowed), 1 otherwise, 2
// for a usage error. It changes only processes that it started itself, every
// wait is bounded, and every process it started is ended before it exits
// (they all run in jobs that kill them when closed).
//
// Its parts: handle.h (the one owner of kernel handles), report.cpp (the
// lines, their formatting and the verdicts' count), verdicts.cpp (the rules
// that turn what was seen into a verdict), tokens.cpp (privileges and the
// tokens children run with), children.cpp (starting, securing, watching and
// ending processes), facts.cpp (this Windows and the platform facts),
// roads.cpp (the tool's roads) and this file (the command line, the checker's
// own modes and the order of a check).
//
// The checker starts copies of itself in modes of its own:
//   --target plain|d3d11   a target: prints "ready <HRESULT> <driver>" (the
//                          Direct3D 11 device's, hardware first, then WARP),
//                          then waits
//   --set-realtime <pid>   the GPU set to realtime, from the token it was
//                          started with; prints "status <NTSTATUS>"
//   --runas-probe          starts itself through "runas" with --exit 3 and
//                          ends with that copy's code
//   --exit <code>          ends with that code after a second, long enough
//                          for the checker to read its arguments and token
#include <windows.h>
#include <shellapi.h>
#include <d3d11.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include "checker.h"
#include "children.h"
#include "facts.h"
#include "roads.h"
#include "tokens.h"

#ifndef MORVANE_VERSION
#define MORVANE_VERSION "unknown"
#endif

namespace check {
namespace {

void print(const char* text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(strlen(text)), &written,
            nullptr);
}

// A target: announces itself, then waits to be ended (bounded all the same).
int waitAsTarget(bool d3d11) {
  SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
  HRESULT result = S_OK;
  ID3D11Device* device = nullptr;
  HMODULE library = nullptr;
  const char* made = "none";
  if (d3d11) {
    library = LoadLibraryW(L"d3d11.dll");
    const PFN_D3D11_CREATE_DEVICE create =
        library ? reinterpret_cast<PFN_D3D11_CREATE_DEVICE>(
                      reinterpret_cast<void (*)()>(GetProcAddress(library, "D3D11CreateDevice")))
                : nullptr;
    // As a game makes it: on the hardware driver, or on WARP where there is
    // none.
    result = HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    const struct {
      D3D_DRIVER_TYPE type;
      const char* name;
    } drivers[] = {{D3D_DRIVER_TYPE_HARDWARE, "hardware"}, {D3D_DRIVER_TYPE_WARP, "WARP"}};
    for (const auto& driver : drivers) {
      if (!create || device) break;
      result = create(nullptr, driver.type, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, &device,
                      nullptr, nullptr);
      if (result == S_OK) made = driver.name;
    }
  }
  char line[64];
  snprintf(line, sizeof line, "ready 0x%08lx %s\n", static_cast<unsigned long>(result), made);
  print(line);
  Sleep(targetLifetime);
  if (device) device->Release();
  if (library) FreeLibrary(library);
  return 0;
}

// The GPU set to realtime from this process's token, which the checker
// started without the privilege; undone if it was accepted after all.
int setRealtime(DWORD processId) {
  // As the tool does; a restricted token has nothing to enable.
  setOwnPrivilege(privilegeName, SE_PRIVILEGE_ENABLED);
  const Handle target(OpenProcess(toolAccess, FALSE, processId));
  const SetSchedulingClassFn set =
      lookUp<SetSchedulingClassFn>(L"gdi32.dll", "D3DKMTSetProcessSchedulingPriorityClass");
  char line[64];
  if (!target || !set) {
    snprintf(line, sizeof line, "not run (error %lu)\n", GetLastError());
  } else {
    const NTSTATUS status = set(target.get(), gpuRealtime);
    if (status == 0) set(target.get(), gpuNormal);
    snprintf(line, sizeof line, "status 0x%08lx\n", static_cast<unsigned long>(status));
  }
  print(line);
  return 0;
}

// Starts this checker again through "runas" (as the tool relaunches itself)
// with --exit 3, and ends with that copy's code: whether such a copy is seen
// in the job tells whether the tool's would be.
int runasProbe() {
  wchar_t self[MAX_PATH];
  if (!GetModuleFileNameW(nullptr, self, MAX_PATH)) return verdicts::toolNoCopy;
  SHELLEXECUTEINFOW launch = {};
  launch.cbSize = sizeof launch;
  launch.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
  launch.lpVerb = L"runas";
  launch.lpFile = self;
  launch.lpParameters = L"--exit 3";
  launch.nShow = SW_HIDE;
  if (!ShellExecuteExW(&launch) || !launch.hProcess) return verdicts::toolNoCopy;
  const Handle copy(launch.hProcess);
  DWORD code = verdicts::toolNoCopy;
  if (WaitForSingleObject(copy.get(), relayWait) == WAIT_OBJECT_0) {
    GetExitCodeProcess(copy.get(), &code);
  }
  return static_cast<int>(code);
}

int usage(Report& report, const wchar_t* problem) {
  say(report, L"morvane-boost-check: %ls", problem);
  say(report,
      L"usage: morvane-boost-check [PATH-TO-morvane-boost.exe] [--relay] [--strict] "
      L"[--allow-unknown ITEM[,ITEM...]] [--output FILE]");
  return exitUsage;
}

int runCheck(Checker& checker, bool relay, const DebugPrivilege& debug) {
  Report& report = checker.report;
  say(report, L"morvane-boost-check %hs", MORVANE_VERSION);
  say(report, L"Tool: %ls", checker.tool);
  say(report, L"");
  const Platform platform = describeWindows(report, debug);

  // The roads expect what the platform facts showed, so these come first.
  say(report, L"== Platform facts");
  const Facts facts = probeTargets(checker, platform);
  say(report, L"");

  say(report, L"== The tool's roads");
  roadUsage(checker, facts);
  roadMissingProcess(checker);
  roadBoostAndUnboost(checker, facts, plainTarget);
  roadBoostAndUnboost(checker, facts, d3d11Target);
  roadWithoutPrivilege(checker, facts, false);
  if (relay) {
    roadWithoutPrivilege(checker, facts, true);
  } else {
    say(report, L"-- boost from a token without the base-priority privilege (the relay)");
    say(report,
        L"    left out: run with --relay (on a desktop with User Account Control on, it "
        L"shows the elevation prompt)");
  }
  say(report, L"");
  return summarize(report);
}

}  // namespace
}  // namespace check

int wmain(int argc, wchar_t** argv) {
  using namespace check;
  if (argc == 3 && wcscmp(argv[1], L"--target") == 0) {
    return waitAsTarget(wcscmp(argv[2], L"d3d11") == 0);
  }
  if (argc == 3 && wcscmp(argv[1], L"--set-realtime") == 0) {
    return setRealtime(wcstoul(argv[2], nullptr, 10));
  }
  if (argc == 2 && wcscmp(argv[1], L"--runas-probe") == 0) return runasProbe();
  if (argc == 3 && wcscmp(argv[1], L"--exit") == 0) {
    Sleep(1000);
    return _wtoi(argv[2]);
  }

  Checker checker = {};
  checker.report.out = GetStdHandle(STD_OUTPUT_HANDLE);
  bool relay = false;
  const wchar_t* tool = nullptr;
  const wchar_t* output = nullptr;
  for (int index = 1; index < argc; ++index) {
    const bool hasValue = index + 1 < argc;
    if (wcscmp(argv[index], L"--relay") == 0 && !relay) {
      relay = true;
    } else if (wcscmp(argv[index], L"--strict") == 0 && !checker.report.strict) {
      checker.report.strict = true;
    } else if (wcscmp(argv[index], L"--allow-unknown") == 0 && hasValue &&
               !checker.report.allowed) {
      checker.report.allowed = argv[++index];
    } else if (wcscmp(argv[index], L"--output") == 0 && hasValue && !output) {
      output = argv[++index];
    } else if (argv[index][0] != L'-' && !tool) {
      tool = argv[index];
    } else {
      return usage(checker.report, L"unexpected argument");
    }
  }
  if (checker.report.allowed && !checker.report.strict) {
    return usage(checker.report, L"--allow-unknown needs --strict");
  }
  const DWORD length = GetModuleFileNameW(nullptr, checker.self, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return usage(checker.report, L"own path unreadable");
  if (tool) {
    if (!GetFullPathNameW(tool, MAX_PATH, checker.tool, nullptr)) {
      return usage(checker.report, L"the tool's path is unreadable");
    }
  } else {
    // Beside the checker.
    const wchar_t* const name = wcsrchr(checker.self, L'\\');
    const int folder = name ? static_cast<int>(name - checker.self + 1) : 0;
    format(checker.tool, L"%.*lsmorvane-boost.exe", folder, checker.self);
  }
  const DWORD attributes = GetFileAttributesW(checker.tool);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    say(checker.report, L"morvane-boost-check: no file at %ls", checker.tool);
    return usage(checker.report, L"give the path of morvane-boost.exe");
  }

  // Every process the checker starts runs in this job; closing it ends them
  // all, whatever happened.
  checker.job = Handle(CreateJobObjectW(nullptr, nullptr));
  if (!checker.job) return usage(checker.report, L"no job object");
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  SetInformationJobObject(checker.job.get(), JobObjectExtendedLimitInformation, &limits,
                          sizeof limits);
  Handle file;
  if (output) {
    file = Handle(CreateFileW(output, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return usage(checker.report, L"the report file cannot be written");
    checker.report.out = file.get();
  }
  // Before any process starts: a token with SeDebugPrivilege enabled opens
  // any process whatever its access rules, and every child inherits it.
  DebugPrivilege debug = {};
  debug.found = ownPrivilege(L"SeDebugPrivilege");
  debug.left =
      debug.found.held ? setOwnPrivilege(L"SeDebugPrivilege", SE_PRIVILEGE_REMOVED) : debug.found;
  return runCheck(checker, relay, debug);
}
