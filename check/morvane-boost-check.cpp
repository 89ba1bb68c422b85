// morvane-boost-check: runs morvane-boost.exe against processes that it
// starts itself, probes the platform facts the tool relies on, and prints a
// plain-text report to attach to a bug report.
//
//   morvane-boost-check [PATH-TO-morvane-boost.exe] [--relay]
//
// The tool's path defaults to morvane-boost.exe beside the checker. --relay
// also runs a boost from a token without the base-priority privilege, which
// relaunches the tool through "runas": on a desktop with User Account Control
// on, that shows the elevation prompt.
//
// Exit code: 0 when nothing differs from what the tool promises, 1 when
// something does, 2 for a usage error. It changes only processes that it
// started itself, every wait is bounded, and every process it started is
// ended before it exits (they all run in a job that kills them when closed).
//
// The checker starts copies of itself in two modes of its own:
//   --target plain|d3d11   a target: prints "ready <HRESULT>", then waits
//   --set-realtime <pid>   the GPU set to realtime, from the token it was
//                          started with; prints "status <NTSTATUS>"
#include <windows.h>
#include <d3d11.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#ifndef MORVANE_VERSION
#define MORVANE_VERSION "unknown"
#endif

namespace {

enum ExitCode : int { exitSame = 0, exitDiffers = 1, exitUsage = 2 };

// What the platform has and mingw-w64 leaves out or the checker must not
// import (an import that a system lacks would stop the checker starting).
typedef LONG NTSTATUS;
typedef NTSTATUS(APIENTRY* SetSchedulingClassFn)(HANDLE, int);
typedef NTSTATUS(APIENTRY* GetSchedulingClassFn)(HANDLE, int*);
typedef BOOL(WINAPI* ProcessInformationFn)(HANDLE, PROCESS_INFORMATION_CLASS, LPVOID, DWORD);
typedef BOOL(WINAPI* IsWow64Process2Fn)(HANDLE, USHORT*, USHORT*);
typedef NTSTATUS(WINAPI* RtlGetVersionFn)(OSVERSIONINFOW*);
typedef const char*(CDECL* WineVersionFn)();

const NTSTATUS statusPrivilegeNotHeld = static_cast<NTSTATUS>(0xC0000061UL);
const int gpuNormal = 2;
const int gpuRealtime = 5;
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

// ---- The report -------------------------------------------------------------

struct Report {
  HANDLE out;
  int differs;
  int cannotTell;
};

void say(Report& report, const wchar_t* format, ...) {
  wchar_t line[2048];
  va_list arguments;
  va_start(arguments, format);
  _vsnwprintf(line, 2045, format, arguments);
  va_end(arguments);
  line[2045] = L'\0';
  wcscat(line, L"\r\n");
  DWORD written = 0;
  DWORD mode = 0;
  if (GetConsoleMode(report.out, &mode)) {
    WriteConsoleW(report.out, line, static_cast<DWORD>(wcslen(line)), &written, nullptr);
    return;
  }
  char bytes[8192];
  const int length = WideCharToMultiByte(CP_UTF8, 0, line, -1, bytes, sizeof bytes, nullptr, nullptr);
  if (length > 1) WriteFile(report.out, bytes, static_cast<DWORD>(length - 1), &written, nullptr);
}

enum Verdict { asExpected, differs, cannotTell };

// One verdict line; a reason is given for every verdict but "as expected".
void judge(Report& report, const wchar_t* what, Verdict verdict, const wchar_t* reason = L"") {
  if (verdict == differs) ++report.differs;
  if (verdict == cannotTell) ++report.cannotTell;
  const wchar_t* const word = verdict == asExpected ? L"as expected"
                              : verdict == differs  ? L"differs"
                                                    : L"cannot tell here";
  say(report, L"    %-12ls %ls%ls%ls", what, word, *reason ? L": " : L"", reason);
}

// ---- This Windows -----------------------------------------------------------

struct Platform {
  bool setClass, getClass, setInformation, getInformation;
  bool privilegeHeld, privilegeEnabled;
};

const wchar_t* className(int priorityClass) {
  switch (priorityClass) {
    case 0: return L"idle";
    case 1: return L"below normal";
    case 2: return L"normal";
    case 3: return L"above normal";
    case 4: return L"high";
    case 5: return L"realtime";
    case gpuUnread: return L"nothing written";
    default: return L"unknown";
  }
}

const wchar_t* cpuClassName(DWORD priorityClass) {
  switch (priorityClass) {
    case IDLE_PRIORITY_CLASS: return L"idle";
    case BELOW_NORMAL_PRIORITY_CLASS: return L"below normal";
    case NORMAL_PRIORITY_CLASS: return L"normal";
    case ABOVE_NORMAL_PRIORITY_CLASS: return L"above normal";
    case HIGH_PRIORITY_CLASS: return L"high";
    case REALTIME_PRIORITY_CLASS: return L"realtime";
    default: return L"unreadable";
  }
}

const wchar_t* machineName(USHORT machine) {
  switch (machine) {
    case IMAGE_FILE_MACHINE_AMD64: return L"x64";
    case IMAGE_FILE_MACHINE_ARM64: return L"ARM64";
    case IMAGE_FILE_MACHINE_I386: return L"x86";
    default: return L"other";
  }
}

// "not held", "held, disabled" or "held, enabled", from the checker's token.
const wchar_t* privilegeState(HANDLE token, bool* held, bool* enabled) {
  *held = *enabled = false;
  LUID privilege = {};
  unsigned char buffer[4096];
  DWORD size = 0;
  if (!LookupPrivilegeValueW(nullptr, privilegeName, &privilege) ||
      !GetTokenInformation(token, TokenPrivileges, buffer, sizeof buffer, &size)) {
    return L"unreadable";
  }
  const TOKEN_PRIVILEGES* const privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer);
  for (DWORD index = 0; index < privileges->PrivilegeCount; ++index) {
    const LUID_AND_ATTRIBUTES& entry = privileges->Privileges[index];
    if (entry.Luid.LowPart == privilege.LowPart && entry.Luid.HighPart == privilege.HighPart) {
      *held = true;
      *enabled = entry.Attributes & SE_PRIVILEGE_ENABLED;
      return entry.Attributes & SE_PRIVILEGE_ENABLED ? L"held, enabled" : L"held, disabled";
    }
  }
  return L"not held";
}

Platform describeWindows(Report& report) {
  Platform platform = {};
  say(report, L"== This Windows");
  OSVERSIONINFOW version = {};
  version.dwOSVersionInfoSize = sizeof version;
  const RtlGetVersionFn getVersion = lookUp<RtlGetVersionFn>(L"ntdll.dll", "RtlGetVersion");
  if (getVersion && getVersion(&version) == 0) {
    say(report, L"Version:                 %lu.%lu, build %lu (RtlGetVersion)", version.dwMajorVersion,
        version.dwMinorVersion, version.dwBuildNumber);
  } else {
    say(report, L"Version:                 unreadable (no RtlGetVersion)");
  }
  if (const WineVersionFn wine = lookUp<WineVersionFn>(L"ntdll.dll", "wine_get_version")) {
    say(report, L"Runs under:              Wine %hs", wine());
  }
  USHORT process = 0, native = 0;
  const IsWow64Process2Fn wow64 = lookUp<IsWow64Process2Fn>(L"kernel32.dll", "IsWow64Process2");
  if (wow64 && wow64(GetCurrentProcess(), &process, &native)) {
    say(report, L"Native machine:          %ls (0x%04x, IsWow64Process2)", machineName(native), native);
  } else {
    say(report, L"Native machine:          unreadable (IsWow64Process2: %ls)",
        wow64 ? L"failed" : L"absent");
  }

  HANDLE token = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    const bool elevationRead =
        GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
    say(report, L"Elevated:                %ls",
        !elevationRead ? L"unreadable" : elevation.TokenIsElevated ? L"yes" : L"no");
    say(report, L"%ls: %ls", privilegeName, privilegeState(token, &platform.privilegeHeld, &platform.privilegeEnabled));
    CloseHandle(token);
  } else {
    say(report, L"Token:                   unreadable (error %lu)", GetLastError());
  }

  const struct {
    const wchar_t* module;
    const char* name;
    bool* found;
  } entries[] = {
      {L"gdi32.dll", "D3DKMTSetProcessSchedulingPriorityClass", &platform.setClass},
      {L"gdi32.dll", "D3DKMTGetProcessSchedulingPriorityClass", &platform.getClass},
      {L"kernel32.dll", "SetProcessInformation", &platform.setInformation},
      {L"kernel32.dll", "GetProcessInformation", &platform.getInformation},
  };
  for (const auto& entry : entries) {
    *entry.found = lookUp<FARPROC>(entry.module, entry.name) != nullptr;
    say(report, L"%ls %hs: %ls", entry.module, entry.name, *entry.found ? L"exported" : L"absent");
  }
  say(report, L"");
  return platform;
}

// ---- Processes the checker starts ---------------------------------------------

// Enables (or disables) the privilege in the checker's own token, best
// effort. Enabled, the probes see what the tool sees once it has enabled it;
// the roads run with the token as it was, since a child starts with a copy of
// it and the tool must enable the privilege itself.
void enablePrivilege(bool enable = true) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return;
  TOKEN_PRIVILEGES privilege = {};
  privilege.PrivilegeCount = 1;
  privilege.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
  if (LookupPrivilegeValueW(nullptr, privilegeName, &privilege.Privileges[0].Luid)) {
    AdjustTokenPrivileges(token, FALSE, &privilege, sizeof privilege, nullptr, nullptr);
  }
  CloseHandle(token);
}

struct Child {
  bool started;
  bool ended;  // within the time given
  DWORD exitCode;
  DWORD error;  // why it did not start
  char output[512];
};

// Reads what the child has written so far, without blocking.
void drain(HANDLE pipe, Child& child) {
  size_t length = strlen(child.output);
  DWORD available = 0;
  while (length + 1 < sizeof child.output &&
         PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
    DWORD got = 0;
    const DWORD room = static_cast<DWORD>(sizeof child.output - 1 - length);
    if (!ReadFile(pipe, child.output + length, available < room ? available : room, &got, nullptr) ||
        got == 0) {
      break;
    }
    length += got;
    child.output[length] = '\0';
  }
}

// Starts a command line in the job, from the given token (null: the
// checker's own), and waits up to `wait` for it to end, or only for its first
// line of output when `untilLine` is set. A child that has not ended in time
// is ended. The process is handed to `work` while it still runs (null when it
// did not start), and ended after it.
template <typename Work>
Child runChild(HANDLE job, HANDLE token, const wchar_t* commandLine, DWORD wait, bool untilLine,
               Work work) {
  Child child = {};
  SECURITY_ATTRIBUTES inheritable = {};
  inheritable.nLength = sizeof inheritable;
  inheritable.bInheritHandle = TRUE;
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 65536)) {
    child.error = GetLastError();
    work(static_cast<HANDLE>(nullptr), child);
    return child;
  }
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  PROCESS_INFORMATION process = {};
  wchar_t line[1024];
  wcsncpy(line, commandLine, 1023);
  line[1023] = L'\0';
  // Suspended until it is in the job, so that nothing it starts escapes.
  const DWORD flags = CREATE_SUSPENDED | CREATE_NO_WINDOW;
  child.started = token ? CreateProcessAsUserW(token, nullptr, line, nullptr, nullptr, TRUE, flags,
                                               nullptr, nullptr, &startup, &process)
                        : CreateProcessW(nullptr, line, nullptr, nullptr, TRUE, flags, nullptr,
                                         nullptr, &startup, &process);
  if (!child.started) child.error = GetLastError();
  CloseHandle(writeEnd);
  if (child.started) {
    AssignProcessToJobObject(job, process.hProcess);
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
    const ULONGLONG deadline = GetTickCount64() + wait;
    for (;;) {
      drain(readEnd, child);
      if (untilLine && strchr(child.output, '\n')) break;
      const ULONGLONG now = GetTickCount64();
      if (now >= deadline) break;
      const DWORD slice = deadline - now < 50 ? static_cast<DWORD>(deadline - now) : 50;
      if (WaitForSingleObject(process.hProcess, slice) == WAIT_OBJECT_0) {
        child.ended = true;
        drain(readEnd, child);
        break;
      }
    }
    if (child.ended) GetExitCodeProcess(process.hProcess, &child.exitCode);
    work(process.hProcess, child);
    if (WaitForSingleObject(process.hProcess, 0) != WAIT_OBJECT_0) {
      TerminateProcess(process.hProcess, 1);
      WaitForSingleObject(process.hProcess, 10000);
    }
    CloseHandle(process.hProcess);
  } else {
    work(static_cast<HANDLE>(nullptr), child);
  }
  CloseHandle(readEnd);
  return child;
}

struct Nothing {
  void operator()(HANDLE, const Child&) const {}
};

// Runs `work` with a restricted copy of the checker's token that lacks the
// base-priority privilege (null when none could be made). Creating a process
// with a restricted copy of one's own token needs no privilege.
template <typename Work>
void withRestrictedToken(Work work) {
  HANDLE token = nullptr, restricted = nullptr;
  if (OpenProcessToken(GetCurrentProcess(),
                       TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY | TOKEN_QUERY | TOKEN_ADJUST_DEFAULT,
                       &token)) {
    LUID_AND_ATTRIBUTES privilege = {};
    if (LookupPrivilegeValueW(nullptr, privilegeName, &privilege.Luid) &&
        !CreateRestrictedToken(token, 0, 0, nullptr, 1, &privilege, 0, nullptr, &restricted)) {
      restricted = nullptr;
    }
    CloseHandle(token);
  }
  work(restricted);
  if (restricted) CloseHandle(restricted);
}

struct Checker {
  Report report;
  Platform platform;
  HANDLE job;
  wchar_t self[MAX_PATH];
  wchar_t tool[MAX_PATH];
};

enum TargetKind { plainTarget, d3d11Target };

// Starts a target (a copy of the checker that waits), hands its ID and the
// result it announced to `work`, and ends it. The ID is 0 when no target
// started. A start can fail before the program runs (under Wine, now and
// then, an address-space clash), so a target that ends without announcing
// itself is started again, twice at the most.
template <typename Work>
void withTarget(Checker& checker, TargetKind kind, Work work) {
  wchar_t line[1024];
  _snwprintf(line, 1023, L"\"%ls\" --target %ls", checker.self,
             kind == d3d11Target ? L"d3d11" : L"plain");
  line[1023] = L'\0';
  const int tries = 3;
  bool ran = false;
  for (int attempt = 1; attempt <= tries && !ran; ++attempt) {
    const Child child = runChild(checker.job, nullptr, line, targetReadyWait, true,
                                 [&](HANDLE process, const Child& started) {
                                   const char* const ready = strstr(started.output, "ready ");
                                   if (!process || !ready || started.ended) return;
                                   ran = true;
                                   work(GetProcessId(process), strtoul(ready + 6, nullptr, 16));
                                 });
    if (!ran && (!child.started || !child.ended || attempt == tries)) {
      say(checker.report, L"  The target did not start (error %lu, exit code %lu, output \"%hs\").",
          child.error, child.exitCode, child.output);
      work(0ul, 0ul);
      return;
    }
  }
}

// ---- Reading a target back ----------------------------------------------------

struct Effects {
  NTSTATUS gpuStatus;
  int gpu;  // gpuUnread when the class could not be read
  DWORD cpu;  // 0 when unreadable
  bool throttlingRead;
  DWORD throttlingError;
  PROCESS_POWER_THROTTLING_STATE throttling;
};

// Reads what the roads change, with more access than the tool asks for (the
// targets are the checker's own), so that a reading fails only where Windows
// gives no answer at all; the probes above show what each access allows.
Effects readEffects(const Platform& platform, DWORD processId) {
  Effects effects = {};
  effects.gpu = gpuUnread;
  HANDLE target = OpenProcess(toolAccess | PROCESS_QUERY_INFORMATION, FALSE, processId);
  if (!target) return effects;
  if (platform.getClass) {
    effects.gpuStatus = lookUp<GetSchedulingClassFn>(
        L"gdi32.dll", "D3DKMTGetProcessSchedulingPriorityClass")(target, &effects.gpu);
    if (effects.gpuStatus != 0) effects.gpu = gpuUnread;
  }
  effects.cpu = GetPriorityClass(target);
  effects.throttling.Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION;
  if (const ProcessInformationFn get =
          lookUp<ProcessInformationFn>(L"kernel32.dll", "GetProcessInformation")) {
    effects.throttlingRead = get(target, ProcessPowerThrottling, &effects.throttling,
                                 sizeof effects.throttling);
    effects.throttlingError = effects.throttlingRead ? 0 : GetLastError();
  }
  CloseHandle(target);
  return effects;
}

void showEffects(Report& report, const wchar_t* when, const Effects& effects) {
  wchar_t gpu[64], throttling[64];
  if (effects.gpu != gpuUnread) {
    _snwprintf(gpu, 63, L"%d (%ls)", effects.gpu, className(effects.gpu));
  } else if (effects.gpuStatus != 0) {
    _snwprintf(gpu, 63, L"unread (status 0x%08lx)", static_cast<unsigned long>(effects.gpuStatus));
  } else {
    _snwprintf(gpu, 63, L"unread (no get entry)");
  }
  gpu[63] = L'\0';
  if (effects.throttlingRead) {
    _snwprintf(throttling, 63, L"control 0x%lx, state 0x%lx", effects.throttling.ControlMask,
               effects.throttling.StateMask);
  } else if (effects.throttlingError != 0) {
    _snwprintf(throttling, 63, L"unread (error %lu)", effects.throttlingError);
  } else {
    _snwprintf(throttling, 63, L"unread (no GetProcessInformation)");
  }
  throttling[63] = L'\0';
  say(report, L"  %-8ls GPU class %ls; CPU class 0x%lx (%ls); throttling %ls", when, gpu, effects.cpu,
      cpuClassName(effects.cpu), throttling);
}

// What a road expects of the target afterwards.
enum Throttling { throttlingUnchanged, throttlingOff, throttlingHandedBack };

void judgeEffects(Checker& checker, const Effects& before, const Effects& after, int gpu, DWORD cpu,
                  Throttling throttling) {
  Report& report = checker.report;
  wchar_t reason[160];
  if (!checker.platform.getClass) {
    judge(report, L"GPU class", cannotTell, L"gdi32 has no D3DKMTGetProcessSchedulingPriorityClass");
  } else if (after.gpu == gpuUnread) {
    _snwprintf(reason, 159, L"the get call failed with status 0x%08lx",
               static_cast<unsigned long>(after.gpuStatus));
    reason[159] = L'\0';
    judge(report, L"GPU class", cannotTell, reason);
  } else {
    _snwprintf(reason, 159, L"%ls expected, %ls seen", className(gpu), className(after.gpu));
    reason[159] = L'\0';
    judge(report, L"GPU class", after.gpu == gpu ? asExpected : differs, reason);
  }
  _snwprintf(reason, 159, L"%ls expected, %ls seen", cpuClassName(cpu), cpuClassName(after.cpu));
  reason[159] = L'\0';
  judge(report, L"CPU class", after.cpu == cpu ? asExpected : differs, reason);

  if (!after.throttlingRead || (throttling == throttlingUnchanged && !before.throttlingRead)) {
    _snwprintf(reason, 159, L"GetProcessInformation(ProcessPowerThrottling) %ls",
               checker.platform.getInformation ? L"fails here" : L"is absent");
    reason[159] = L'\0';
    judge(report, L"throttling", cannotTell, reason);
    return;
  }
  const PROCESS_POWER_THROTTLING_STATE& state = after.throttling;
  bool right = false;
  const wchar_t* wanted = L"";
  switch (throttling) {
    case throttlingUnchanged:
      right = state.ControlMask == before.throttling.ControlMask &&
              state.StateMask == before.throttling.StateMask;
      wanted = L"unchanged";
      break;
    case throttlingOff:
      right = (state.ControlMask & PROCESS_POWER_THROTTLING_EXECUTION_SPEED) &&
              state.StateMask == 0;
      wanted = L"execution speed in the control mask, state mask 0";
      break;
    case throttlingHandedBack:
      right = state.ControlMask == 0;
      wanted = L"control mask 0";
      break;
  }
  _snwprintf(reason, 159, L"%ls expected; control 0x%lx, state 0x%lx seen", wanted,
             state.ControlMask, state.StateMask);
  reason[159] = L'\0';
  judge(report, L"throttling", right ? asExpected : differs, reason);
}

// ---- Platform facts ----------------------------------------------------------

void probeGpuSet(Report& report, HANDLE target, DWORD access, int priorityClass) {
  const NTSTATUS status = lookUp<SetSchedulingClassFn>(
      L"gdi32.dll", "D3DKMTSetProcessSchedulingPriorityClass")(target, priorityClass);
  say(report, L"  D3DKMTSetProcessSchedulingPriorityClass(%ls) access 0x%04lx: status 0x%08lx",
      className(priorityClass), access, static_cast<unsigned long>(status));
}

int probeGpuGet(Report& report, HANDLE target, DWORD access) {
  int priorityClass = gpuUnread;
  const NTSTATUS status = lookUp<GetSchedulingClassFn>(
      L"gdi32.dll", "D3DKMTGetProcessSchedulingPriorityClass")(target, &priorityClass);
  say(report, L"  D3DKMTGetProcessSchedulingPriorityClass access 0x%04lx: status 0x%08lx, class %d (%ls)",
      access, static_cast<unsigned long>(status), priorityClass, className(priorityClass));
  return status == 0 ? priorityClass : gpuUnread;
}

void probeThrottling(Report& report, HANDLE target, DWORD controlMask) {
  PROCESS_POWER_THROTTLING_STATE state = {};
  state.Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION;
  state.ControlMask = controlMask;
  const ProcessInformationFn set =
      lookUp<ProcessInformationFn>(L"kernel32.dll", "SetProcessInformation");
  const BOOL done = set(target, ProcessPowerThrottling, &state, sizeof state);
  const DWORD error = done ? 0 : GetLastError();
  say(report, L"  SetProcessInformation(ProcessPowerThrottling, {1, 0x%lx, 0}) access 0x%04lx: %ls, error %lu",
      controlMask, toolAccess, done ? L"TRUE" : L"FALSE", error);
  const ProcessInformationFn get =
      lookUp<ProcessInformationFn>(L"kernel32.dll", "GetProcessInformation");
  if (!get) return;
  PROCESS_POWER_THROTTLING_STATE read = {};
  read.Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION;
  if (get(target, ProcessPowerThrottling, &read, sizeof read)) {
    say(report, L"    GetProcessInformation(ProcessPowerThrottling) access 0x%04lx: {%lu, 0x%lx, 0x%lx}",
        toolAccess, read.Version, read.ControlMask, read.StateMask);
  } else {
    say(report, L"    GetProcessInformation(ProcessPowerThrottling) access 0x%04lx: FALSE, error %lu",
        toolAccess, GetLastError());
  }
}

// The GPU set to realtime from a token without the privilege, run in a copy
// of the checker started with that token.
void probeWithoutPrivilege(Checker& checker, DWORD processId) {
  Report& report = checker.report;
  wchar_t line[1024];
  _snwprintf(line, 1023, L"\"%ls\" --set-realtime %lu", checker.self, processId);
  line[1023] = L'\0';
  Child child = {};
  bool tokenMade = false;
  withRestrictedToken([&](HANDLE restricted) {
    tokenMade = restricted != nullptr;
    if (restricted) child = runChild(checker.job, restricted, line, toolWait, false, Nothing());
  });
  const char* const status = strstr(child.output, "status ");
  if (!tokenMade || !child.started || !child.ended || !status) {
    say(report, L"  D3DKMTSetProcessSchedulingPriorityClass(realtime) without the privilege: not run "
                L"(restricted token %ls, start error %lu, output \"%hs\")",
        tokenMade ? L"made" : L"not made", child.error, child.output);
    judge(report, L"refusal", cannotTell, L"the probe did not run");
    return;
  }
  const unsigned long value = strtoul(status + 7, nullptr, 16);
  say(report, L"  D3DKMTSetProcessSchedulingPriorityClass(realtime) access 0x%04lx, from a token "
              L"without the privilege: status 0x%08lx", toolAccess, value);
  if (value == static_cast<unsigned long>(statusPrivilegeNotHeld)) {
    judge(report, L"refusal", asExpected, L"STATUS_PRIVILEGE_NOT_HELD, the status the tool relays on");
  } else {
    judge(report, L"refusal", differs,
          L"the tool relays only on 0xC0000061; with this status a boost without the "
          L"privilege gives 4 and never reaches the elevation prompt");
  }
}

void probeTarget(Checker& checker, TargetKind kind) {
  Report& report = checker.report;
  const Platform& platform = checker.platform;
  withTarget(checker, kind, [&](DWORD processId, DWORD result) {
    if (!processId) return;
    if (kind == d3d11Target) {
      say(report, L"-- Target: a process that has created a Direct3D 11 device (WARP), ID %lu", processId);
      say(report, L"  D3D11CreateDevice(WARP) in the target: 0x%08lx%ls", result,
          result == 0 ? L"" : L" (failed: the target holds no device)");
    } else {
      say(report, L"-- Target: a plain waiting process, ID %lu", processId);
    }
    HANDLE target = OpenProcess(toolAccess, FALSE, processId);
    HANDLE query = OpenProcess(queryAccess, FALSE, processId);
    if (!target || !query) {
      say(report, L"  OpenProcess failed (error %lu)", GetLastError());
    } else {
      const DWORD cpuBefore = GetPriorityClass(query);
      if (platform.setClass && platform.getClass) {
        const int gpuBefore = probeGpuGet(report, target, toolAccess);
        probeGpuSet(report, target, toolAccess, gpuRealtime);
        probeGpuGet(report, target, toolAccess);
        probeGpuGet(report, query, queryAccess);
        probeGpuSet(report, target, toolAccess, gpuNormal);
        probeGpuGet(report, target, toolAccess);
        probeWithoutPrivilege(checker, processId);
        // Left as found: normal, unless it started otherwise.
        if (gpuBefore != gpuUnread && gpuBefore != gpuNormal) {
          probeGpuSet(report, target, toolAccess, gpuBefore);
        }
      } else {
        say(report, L"  GPU scheduling class: not probed, gdi32 lacks the entry points");
        judge(report, L"refusal", cannotTell, L"gdi32 lacks the GPU scheduling entry points");
      }
      if (platform.setInformation) {
        // The last one hands throttling back, as a fresh process has it.
        probeThrottling(report, target, PROCESS_POWER_THROTTLING_EXECUTION_SPEED |
                                            PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION);
        probeThrottling(report, target, PROCESS_POWER_THROTTLING_EXECUTION_SPEED);
        probeThrottling(report, target, 0);
      } else {
        say(report, L"  SetProcessInformation: absent, not probed");
      }
      const DWORD cpu = GetPriorityClass(query);
      say(report, L"  GetPriorityClass access 0x%04lx: 0x%lx (%ls)%ls", queryAccess, cpu,
          cpuClassName(cpu), cpu == cpuBefore ? L"" : L", changed by the probes");
    }
    if (target) CloseHandle(target);
    if (query) CloseHandle(query);
  });
}

// ---- The tool's roads --------------------------------------------------------

// Runs the tool with these arguments (from the token given, or the checker's
// own) and says what came back. Returns the exit code, or -1 when the tool
// did not start or did not end in time.
long runTool(Checker& checker, HANDLE token, const wchar_t* arguments, DWORD wait, long expected) {
  wchar_t line[1024];
  _snwprintf(line, 1023, L"\"%ls\"%ls%ls", checker.tool, *arguments ? L" " : L"", arguments);
  line[1023] = L'\0';
  const Child child = runChild(checker.job, token, line, wait, false, Nothing());
  if (!*arguments) arguments = L"(no arguments)";
  wchar_t shown[64] = L"any";
  if (expected >= 0) _snwprintf(shown, 63, L"%ld", expected);
  shown[63] = L'\0';
  if (!child.started) {
    say(checker.report, L"  morvane-boost %ls: expected %ls, not started (error %lu)", arguments, shown,
        child.error);
    return -1;
  }
  if (!child.ended) {
    say(checker.report, L"  morvane-boost %ls: expected %ls, still running after %lu s; ended",
        arguments, shown, wait / 1000);
    return -1;
  }
  say(checker.report, L"  morvane-boost %ls: expected %ls, exit code %lu", arguments, shown,
      child.exitCode);
  return static_cast<long>(child.exitCode);
}

void judgeCode(Report& report, long observed, long expected) {
  wchar_t reason[64];
  _snwprintf(reason, 63, L"%ld expected, %ld seen", expected, observed);
  reason[63] = L'\0';
  judge(report, L"exit code", observed == expected ? asExpected : differs,
        observed < 0 ? L"the tool did not run to its end" : reason);
}

void roadUsage(Checker& checker) {
  Report& report = checker.report;
  say(report, L"-- Usage errors give 5 and touch nothing");
  withTarget(checker, plainTarget, [&](DWORD processId, DWORD) {
    if (!processId) return judge(report, L"road", cannotTell, L"no target started");
    const Effects before = readEffects(checker.platform, processId);
    showEffects(report, L"before:", before);
    wchar_t cases[3][64] = {L"", L"boost 0", L""};
    _snwprintf(cases[2], 63, L"Boost %lu", processId);
    for (const wchar_t* arguments : cases) {
      judgeCode(report, runTool(checker, nullptr, arguments, toolWait, 5), 5);
    }
    const Effects after = readEffects(checker.platform, processId);
    showEffects(report, L"after:", after);
    judgeEffects(checker, before, after, before.gpu == gpuUnread ? gpuNormal : before.gpu,
                 before.cpu, throttlingUnchanged);
  });
}

void roadMissingProcess(Checker& checker) {
  Report& report = checker.report;
  say(report, L"-- A process ID that does not exist gives 2");
  // High above any ID Windows hands out, a multiple of 4 as real IDs are,
  // and below 2^31 so that the tool reads it as it stands; checked free.
  DWORD free = 0;
  for (DWORD candidate = 0x7FFFFFFC; candidate > 0x7FFFFF00 && !free; candidate -= 4) {
    HANDLE process = OpenProcess(queryAccess, FALSE, candidate);
    if (process) {
      CloseHandle(process);
    } else {
      free = candidate;
    }
  }
  if (!free) return judge(report, L"road", cannotTell, L"no process ID known to be free");
  const wchar_t* const modes[] = {L"boost", L"unboost"};
  for (const wchar_t* mode : modes) {
    wchar_t arguments[64];
    _snwprintf(arguments, 63, L"%ls %lu", mode, free);
    arguments[63] = L'\0';
    judgeCode(report, runTool(checker, nullptr, arguments, toolWait, 2), 2);
  }
}

// The boost, then the unboost, on one target.
void roadBoostAndUnboost(Checker& checker) {
  Report& report = checker.report;
  const Platform& platform = checker.platform;
  // Without the get entry nothing can be confirmed, so both give 4.
  const bool confirmable = platform.setClass && platform.getClass;
  withTarget(checker, plainTarget, [&](DWORD processId, DWORD) {
    say(report, L"-- boost of a target at normal");
    if (!processId) return judge(report, L"road", cannotTell, L"no target started");
    wchar_t arguments[64];
    _snwprintf(arguments, 63, L"boost %lu", processId);
    arguments[63] = L'\0';
    if (!platform.privilegeHeld) {
      judge(report, L"road", cannotTell,
            L"the checker's token lacks the base-priority privilege, so the boost would show the "
            L"elevation prompt; run the checker as an administrator");
    } else {
      const Effects before = readEffects(platform, processId);
      showEffects(report, L"before:", before);
      const long expected = confirmable ? 0 : 4;
      judgeCode(report, runTool(checker, nullptr, arguments, toolWait, expected), expected);
      const Effects after = readEffects(platform, processId);
      showEffects(report, L"after:", after);
      if (confirmable) {
        judgeEffects(checker, before, after, gpuRealtime, HIGH_PRIORITY_CLASS, throttlingOff);
      } else {
        judgeEffects(checker, before, after, gpuNormal, before.cpu, throttlingUnchanged);
      }
    }

    say(report, L"-- unboost of that target");
    // Raised by the checker first where the boost did not, so that the
    // restore shows.
    HANDLE target = OpenProcess(toolAccess, FALSE, processId);
    if (target) {
      if (GetPriorityClass(target) != HIGH_PRIORITY_CLASS) {
        SetPriorityClass(target, HIGH_PRIORITY_CLASS);
        say(report, L"  (the checker set the CPU class to high first)");
      }
      CloseHandle(target);
    }
    const Effects before = readEffects(platform, processId);
    showEffects(report, L"before:", before);
    _snwprintf(arguments, 63, L"unboost %lu", processId);
    const long expected = confirmable ? 0 : 4;
    judgeCode(report, runTool(checker, nullptr, arguments, toolWait, expected), expected);
    const Effects after = readEffects(platform, processId);
    showEffects(report, L"after:", after);
    judgeEffects(checker, before, after, gpuNormal, NORMAL_PRIORITY_CLASS, throttlingHandedBack);
  });
}

// A run from a token without the privilege: "boost-elevated" must give 3
// and change nothing; with `relay`, "boost" relaunches through "runas".
void roadWithoutPrivilege(Checker& checker, bool relay) {
  Report& report = checker.report;
  const Platform& platform = checker.platform;
  const wchar_t* const mode = relay ? L"boost" : L"boost-elevated";
  say(report, L"-- %ls from a token without the base-priority privilege%ls", mode,
      relay ? L" (the relay)" : L"");
  withTarget(checker, plainTarget, [&](DWORD processId, DWORD) {
    if (!processId) return judge(report, L"road", cannotTell, L"no target started");
    wchar_t arguments[64];
    _snwprintf(arguments, 63, L"%ls %lu", mode, processId);
    arguments[63] = L'\0';
    const Effects before = readEffects(platform, processId);
    showEffects(report, L"before:", before);
    long code = -1;
    bool tokenMade = false;
    withRestrictedToken([&](HANDLE restricted) {
      tokenMade = restricted != nullptr;
      if (restricted) {
        const long expected = relay ? -1 : platform.setClass ? 3 : 4;
        code = runTool(checker, restricted, arguments, relay ? relayWait : toolWait, expected);
        if (expected >= 0) judgeCode(report, code, expected);
      }
    });
    if (!tokenMade) return judge(report, L"road", cannotTell, L"no restricted token could be made");
    const Effects after = readEffects(platform, processId);
    showEffects(report, L"after:", after);
    if (!relay) return judgeEffects(checker, before, after, gpuNormal, before.cpu, throttlingUnchanged);
    if (!platform.setClass) {
      return judge(report, L"relay", cannotTell,
                   L"without the GPU entry points no boost is refused, so the tool never relays");
    }
    switch (code) {
      case 0:
        judge(report, L"relay", asExpected, L"0: the copy ran with the privilege and boosted");
        return judgeEffects(checker, before, after, gpuRealtime, HIGH_PRIORITY_CLASS, throttlingOff);
      case 3:
        judge(report, L"relay", asExpected,
              L"3: a copy started and passed its refusal on: it ran without the privilege, as "
              L"the first did");
        return judgeEffects(checker, before, after, gpuNormal, before.cpu, throttlingUnchanged);
      case 10:
        return judge(report, L"relay", cannotTell, L"10: a person declined the elevation prompt");
      case 11:
        return judge(report, L"relay", differs, L"11: no elevated copy started");
      case -1:
        return judge(report, L"relay", differs, L"the tool did not run to its end");
      default:
        return judge(report, L"relay", differs, L"not a code that this road can give");
    }
  });
}

// ---- The checker's own modes --------------------------------------------------

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
  if (d3d11) {
    library = LoadLibraryW(L"d3d11.dll");
    const PFN_D3D11_CREATE_DEVICE create =
        library ? reinterpret_cast<PFN_D3D11_CREATE_DEVICE>(
                      reinterpret_cast<void (*)()>(GetProcAddress(library, "D3D11CreateDevice")))
                : nullptr;
    result = create ? create(nullptr, D3D_DRIVER_TYPE_WARP, nullptr, 0, nullptr, 0,
                             D3D11_SDK_VERSION, &device, nullptr, nullptr)
                    : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
  }
  char line[32];
  snprintf(line, sizeof line, "ready 0x%08lx\n", static_cast<unsigned long>(result));
  print(line);
  Sleep(targetLifetime);
  if (device) device->Release();
  if (library) FreeLibrary(library);
  return 0;
}

// The GPU set to realtime from this process's token, which the checker
// started without the privilege; undone if it was accepted after all.
int setRealtime(DWORD processId) {
  enablePrivilege();  // as the tool does; a restricted token has nothing to enable
  HANDLE target = OpenProcess(toolAccess, FALSE, processId);
  const SetSchedulingClassFn set =
      lookUp<SetSchedulingClassFn>(L"gdi32.dll", "D3DKMTSetProcessSchedulingPriorityClass");
  char line[64];
  if (!target || !set) {
    snprintf(line, sizeof line, "not run (error %lu)\n", GetLastError());
  } else {
    const NTSTATUS status = set(target, gpuRealtime);
    if (status == 0) set(target, gpuNormal);
    snprintf(line, sizeof line, "status 0x%08lx\n", static_cast<unsigned long>(status));
  }
  print(line);
  if (target) CloseHandle(target);
  return 0;
}

int usage(Report& report, const wchar_t* problem) {
  say(report, L"morvane-boost-check: %ls", problem);
  say(report, L"usage: morvane-boost-check [PATH-TO-morvane-boost.exe] [--relay]");
  return exitUsage;
}

int check(Checker& checker, bool relay) {
  Report& report = checker.report;
  say(report, L"morvane-boost-check %hs", MORVANE_VERSION);
  say(report, L"Tool: %ls", checker.tool);
  say(report, L"");
  checker.platform = describeWindows(report);

  say(report, L"== Platform facts");
  enablePrivilege();
  probeTarget(checker, plainTarget);
  probeTarget(checker, d3d11Target);
  enablePrivilege(checker.platform.privilegeEnabled);
  say(report, L"");

  say(report, L"== The tool's roads");
  roadUsage(checker);
  roadMissingProcess(checker);
  roadBoostAndUnboost(checker);
  roadWithoutPrivilege(checker, false);
  if (relay) {
    roadWithoutPrivilege(checker, true);
  } else {
    say(report, L"-- boost from a token without the base-priority privilege (the relay)");
    say(report, L"    left out: run with --relay (on a desktop with User Account Control on, it "
                L"shows the elevation prompt)");
  }
  say(report, L"");
  say(report, L"== Summary: %d differ, %d cannot tell here", report.differs, report.cannotTell);
  return report.differs ? exitDiffers : exitSame;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && wcscmp(argv[1], L"--target") == 0) {
    return waitAsTarget(wcscmp(argv[2], L"d3d11") == 0);
  }
  if (argc == 3 && wcscmp(argv[1], L"--set-realtime") == 0) {
    return setRealtime(wcstoul(argv[2], nullptr, 10));
  }

  Checker checker = {};
  checker.report.out = GetStdHandle(STD_OUTPUT_HANDLE);
  bool relay = false;
  const wchar_t* tool = nullptr;
  for (int index = 1; index < argc; ++index) {
    if (wcscmp(argv[index], L"--relay") == 0 && !relay) {
      relay = true;
    } else if (argv[index][0] != L'-' && !tool) {
      tool = argv[index];
    } else {
      return usage(checker.report, L"unexpected argument");
    }
  }
  const DWORD length = GetModuleFileNameW(nullptr, checker.self, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return usage(checker.report, L"own path unreadable");
  if (tool) {
    if (!GetFullPathNameW(tool, MAX_PATH, checker.tool, nullptr)) {
      return usage(checker.report, L"the tool's path is unreadable");
    }
  } else {
    wcscpy(checker.tool, checker.self);
    wchar_t* const name = wcsrchr(checker.tool, L'\\');
    wcscpy(name ? name + 1 : checker.tool, L"morvane-boost.exe");
  }
  const DWORD attributes = GetFileAttributesW(checker.tool);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    say(checker.report, L"morvane-boost-check: no file at %ls", checker.tool);
    return usage(checker.report, L"give the path of morvane-boost.exe");
  }

  // Every process the checker starts runs in this job; closing it ends them
  // all, whatever happened.
  checker.job = CreateJobObjectW(nullptr, nullptr);
  if (!checker.job) return usage(checker.report, L"no job object");
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  SetInformationJobObject(checker.job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
  const int result = check(checker, relay);
  CloseHandle(checker.job);
  return result;
}
