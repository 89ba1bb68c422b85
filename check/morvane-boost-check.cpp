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
// for a usage error. It changes only processes that it
// started itself, every wait is bounded, and every process it started is
// ended before it exits (they all run in a job that kills them when closed).
//
// The checker starts copies of itself in two modes of its own:
//   --target plain|d3d11   a target: prints "ready <HRESULT>", then waits
//   --set-realtime <pid>   the GPU set to realtime, from the token it was
//                          started with; prints "status <NTSTATUS>"
//   --runas-probe          starts itself through "runas" with --exit 3 and
//                          ends with that copy's code
//   --exit <code>          ends at once with that code
#include <windows.h>
#include <shellapi.h>
#include <d3d11.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "verdicts.h"

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
typedef NTSTATUS(NTAPI* QueryProcessFn)(HANDLE, ULONG, PVOID, ULONG, PULONG);

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
  int failing;  // verdicts that fail the check: differs, and with --strict unknowns not allowed
  bool strict;
  const wchar_t* allowed;    // --allow-unknown's items
  wchar_t allowedSeen[256];  // the allowed items that were unknown, for the summary
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

using verdicts::asExpected;
using verdicts::cannotTell;
using verdicts::differs;
using verdicts::Judgement;
using verdicts::Verdict;

// One verdict line, with its reason.
void judge(Report& report, const wchar_t* what, Verdict verdict, const wchar_t* reason = L"") {
  if (verdict == differs) ++report.differs;
  if (verdict == cannotTell) ++report.cannotTell;
  if (verdicts::fails(verdict, what, report.strict, report.allowed)) ++report.failing;
  if (verdict == cannotTell && report.strict && !verdicts::fails(verdict, what, true, report.allowed) &&
      !verdicts::listed(what, report.allowedSeen)) {
    const size_t used = wcslen(report.allowedSeen);
    _snwprintf(report.allowedSeen + used, 255 - used, L"%ls%ls", used ? L"," : L"", what);
    report.allowedSeen[255] = L'\0';
  }
  const wchar_t* const word = verdict == asExpected ? L"as expected"
                              : verdict == differs  ? L"differs"
                                                    : L"cannot tell here";
  say(report, L"    %-12ls %ls%ls%ls", what, word, *reason ? L": " : L"", reason);
}

void judge(Report& report, const wchar_t* what, const Judgement& judgement) {
  judge(report, what, judgement.verdict, judgement.reason);
}

// ---- This Windows -----------------------------------------------------------

struct Platform {
  bool setClass, getClass, setInformation, getInformation;
  bool privilegeHeld, privilegeEnabled;
  bool tookTimerBit;  // the probe's {1, 0x5, 0} was accepted
};

const wchar_t* className(int priorityClass) { return verdicts::gpuClassName(priorityClass); }
const wchar_t* cpuClassName(DWORD priorityClass) { return verdicts::cpuClassName(priorityClass); }

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
    // How the relay is set up here: a split token (Full, with a linked token)
    // is an administrator's under User Account Control.
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    const bool typeRead = GetTokenInformation(token, TokenElevationType, &type, sizeof type, &size);
    TOKEN_LINKED_TOKEN linked = {};
    const bool hasLinked = GetTokenInformation(token, TokenLinkedToken, &linked, sizeof linked, &size);
    if (hasLinked) CloseHandle(linked.LinkedToken);
    say(report, L"Elevation type:          %ls; linked token: %ls",
        !typeRead                           ? L"unreadable"
        : type == TokenElevationTypeFull    ? L"full"
        : type == TokenElevationTypeLimited ? L"limited"
                                            : L"default",
        hasLinked ? L"yes" : L"no");
    say(report, L"%ls: %ls", privilegeName, privilegeState(token, &platform.privilegeHeld, &platform.privilegeEnabled));
    CloseHandle(token);
  } else {
    say(report, L"Token:                   unreadable (error %lu)", GetLastError());
  }

  const wchar_t* const policies = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";
  const wchar_t* const values[] = {L"EnableLUA", L"ConsentPromptBehaviorAdmin"};
  for (const wchar_t* value : values) {
    DWORD data = 0, size = sizeof data;
    const LSTATUS status =
        RegGetValueW(HKEY_LOCAL_MACHINE, policies, value, RRF_RT_REG_DWORD, nullptr, &data, &size);
    if (status == ERROR_SUCCESS) {
      say(report, L"%-24ls %lu (registry)", value, data);
    } else {
      say(report, L"%-24ls unread (error %ld)", value, static_cast<long>(status));
    }
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
  verdicts::GpuReading gpu;
  verdicts::CpuReading cpu;
  verdicts::ThrottlingReading throttling;
};

// Reads what the roads change, with more access than the tool asks for (the
// targets are the checker's own), so that a reading fails only where Windows
// gives no answer at all; the probes above show what each access allows.
Effects readEffects(const Platform& platform, DWORD processId) {
  Effects effects = {};
  effects.gpu = {platform.getClass, false, 0, gpuUnread};
  effects.throttling.entry = platform.getInformation;
  HANDLE target = OpenProcess(toolAccess | PROCESS_QUERY_INFORMATION, FALSE, processId);
  if (!target) {
    effects.cpu.error = effects.throttling.error = GetLastError();
    effects.gpu.status = effects.cpu.error;
    return effects;
  }
  if (platform.getClass) {
    int value = gpuUnread;
    effects.gpu.status = static_cast<unsigned long>(lookUp<GetSchedulingClassFn>(
        L"gdi32.dll", "D3DKMTGetProcessSchedulingPriorityClass")(target, &value));
    effects.gpu.read = effects.gpu.status == 0;
    effects.gpu.value = effects.gpu.read ? value : gpuUnread;
  }
  effects.cpu.value = GetPriorityClass(target);
  effects.cpu.read = effects.cpu.value != 0;
  effects.cpu.error = effects.cpu.read ? 0 : GetLastError();
  if (const ProcessInformationFn get =
          lookUp<ProcessInformationFn>(L"kernel32.dll", "GetProcessInformation")) {
    PROCESS_POWER_THROTTLING_STATE state = {};
    state.Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION;
    effects.throttling.read = get(target, ProcessPowerThrottling, &state, sizeof state);
    effects.throttling.error = effects.throttling.read ? 0 : GetLastError();
    effects.throttling.version = state.Version;
    effects.throttling.control = state.ControlMask;
    effects.throttling.state = state.StateMask;
  }
  CloseHandle(target);
  return effects;
}

void showEffects(Report& report, const wchar_t* when, const Effects& effects) {
  wchar_t gpu[64], cpu[64], throttling[64];
  if (effects.gpu.read) {
    _snwprintf(gpu, 63, L"%d (%ls)", effects.gpu.value, className(effects.gpu.value));
  } else if (effects.gpu.entry) {
    _snwprintf(gpu, 63, L"unread (status 0x%08lx)", effects.gpu.status);
  } else {
    _snwprintf(gpu, 63, L"unread (no get entry)");
  }
  gpu[63] = L'\0';
  if (effects.cpu.read) {
    _snwprintf(cpu, 63, L"0x%lx (%ls)", effects.cpu.value, cpuClassName(effects.cpu.value));
  } else {
    _snwprintf(cpu, 63, L"unread (error %lu)", effects.cpu.error);
  }
  cpu[63] = L'\0';
  if (effects.throttling.read) {
    _snwprintf(throttling, 63, L"{%lu, 0x%lx, 0x%lx}", effects.throttling.version,
               effects.throttling.control, effects.throttling.state);
  } else if (effects.throttling.entry) {
    _snwprintf(throttling, 63, L"unread (error %lu)", effects.throttling.error);
  } else {
    _snwprintf(throttling, 63, L"unread (no GetProcessInformation)");
  }
  throttling[63] = L'\0';
  say(report, L"  %-8ls GPU class %ls; CPU class %ls; throttling %ls", when, gpu, cpu, throttling);
}

void judgeEffects(Checker& checker, const Effects& before, const Effects& after, int gpu, DWORD cpu,
                  verdicts::ThrottlingWanted throttling) {
  Report& report = checker.report;
  judge(report, L"GPU class", verdicts::gpuClass(after.gpu, gpu));
  judge(report, L"CPU class", verdicts::cpuClass(after.cpu, cpu));
  judge(report, L"throttling", verdicts::throttling(throttling, before.throttling, after.throttling,
                                                    checker.platform.tookTimerBit));
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

// Returns whether the platform took the record.
bool probeThrottling(Report& report, HANDLE target, DWORD controlMask) {
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
  if (!get) return done;
  PROCESS_POWER_THROTTLING_STATE read = {};
  read.Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION;
  if (get(target, ProcessPowerThrottling, &read, sizeof read)) {
    say(report, L"    GetProcessInformation(ProcessPowerThrottling) access 0x%04lx: {%lu, 0x%lx, 0x%lx}",
        toolAccess, read.Version, read.ControlMask, read.StateMask);
  } else {
    say(report, L"    GetProcessInformation(ProcessPowerThrottling) access 0x%04lx: FALSE, error %lu",
        toolAccess, GetLastError());
  }
  return done;
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
        // What a boost must leave where throttling can be read: the record
        // with the timer-resolution bit where this kernel takes it.
        const bool took = probeThrottling(report, target, PROCESS_POWER_THROTTLING_EXECUTION_SPEED |
                                            PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION);
        if (kind == plainTarget) checker.platform.tookTimerBit = took;
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
  judge(report, L"exit code", verdicts::exitCode(observed, expected));
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
    judgeEffects(checker, before, after, gpuNormal, NORMAL_PRIORITY_CLASS,
                 verdicts::throttlingUnchanged);
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
        judgeEffects(checker, before, after, gpuRealtime, HIGH_PRIORITY_CLASS, verdicts::throttlingOff);
      } else {
        judgeEffects(checker, before, after, gpuNormal, NORMAL_PRIORITY_CLASS, verdicts::throttlingUnchanged);
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
    judgeEffects(checker, before, after, gpuNormal, NORMAL_PRIORITY_CLASS, verdicts::throttlingHandedBack);
  });
}

// ---- Seeing the relay's copies --------------------------------------------------

// The arguments a process was started with: its command line after the
// program's name. Read with ProcessCommandLineInformation (60), or, where
// that class is unknown, from the process's parameters block.
bool argumentsOf(HANDLE process, wchar_t* out, size_t size) {
  out[0] = L'\0';
  const QueryProcessFn query = lookUp<QueryProcessFn>(L"ntdll.dll", "NtQueryInformationProcess");
  if (!query) return false;
  wchar_t line[2048] = {};
  struct Text {
    USHORT length, capacity;
    PWSTR buffer;
  };
  alignas(8) unsigned char buffer[sizeof(Text) + sizeof line];
  ULONG returned = 0;
  if (query(process, 60, buffer, sizeof buffer, &returned) == 0) {
    const Text* text = reinterpret_cast<const Text*>(buffer);
    const size_t count = text->length / sizeof(wchar_t) < 2047 ? text->length / sizeof(wchar_t) : 2047;
    wmemcpy(line, text->buffer, count);
  } else {
    struct {  // ProcessBasicInformation (0), which mingw-w64 leaves out
      NTSTATUS exitStatus;
      PVOID peb;
      ULONG_PTR affinity, priority, processId, parentId;
    } basic = {};
    PVOID parameters = nullptr;
    Text text = {};
    SIZE_T got = 0;
    // x64 layouts: the parameters block at 0x20 in the PEB, the command line
    // at 0x70 in the block.
    if (query(process, 0, &basic, sizeof basic, &returned) != 0 ||
        !ReadProcessMemory(process, static_cast<char*>(basic.peb) + 0x20,
                           &parameters, sizeof parameters, &got) ||
        !ReadProcessMemory(process, static_cast<char*>(parameters) + 0x70, &text, sizeof text, &got) ||
        !ReadProcessMemory(process, text.buffer, line,
                           text.length < sizeof line - 2 ? text.length : sizeof line - 2, &got)) {
      return false;
    }
  }
  const wchar_t* rest = line;
  if (*rest == L'"') {
    rest = wcschr(rest + 1, L'"');
    rest = rest ? rest + 1 : L"";
  } else {
    while (*rest && *rest != L' ' && *rest != L'\t') ++rest;
  }
  while (*rest == L' ' || *rest == L'\t') ++rest;
  wcsncpy(out, rest, size - 1);
  out[size - 1] = L'\0';
  return true;
}

// Runs a command line from `token` in a job of its own whose completion port
// reports every process started in it, and waits up to `wait`. Fills `sight`
// with the processes that the first one started ("copies") and what the
// first was given; `expected` is the arguments every copy must have. Returns
// the first process's exit code, or -1 when it did not start or end in time.
long runWatched(HANDLE token, const wchar_t* commandLine, DWORD wait, const wchar_t* expected,
                verdicts::RelaySight& sight) {
  sight = {};
  sight.rightParameters = true;
  sight.cannotSeeWhy = L"this Windows does not report new processes in a job";
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
  if (!job || !port) {
    if (job) CloseHandle(job);
    if (port) CloseHandle(port);
    sight.cannotSeeWhy = L"no job or completion port could be made";
    return -1;
  }
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
  JOBOBJECT_ASSOCIATE_COMPLETION_PORT association = {};
  association.CompletionKey = job;
  association.CompletionPort = port;
  SetInformationJobObject(job, JobObjectAssociateCompletionPortInformation, &association,
                          sizeof association);

  wchar_t line[1024];
  wcsncpy(line, commandLine, 1023);
  line[1023] = L'\0';
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  long code = -1;
  HANDLE copies[8] = {};
  int held = 0;
  if (CreateProcessAsUserW(token, nullptr, line, nullptr, nullptr, FALSE,
                           CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process)) {
    AssignProcessToJobObject(job, process.hProcess);
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
    const ULONGLONG deadline = GetTickCount64() + wait;
    bool ended = false;
    // Until the first process has ended, then what is left in the port.
    for (;;) {
      const ULONGLONG now = GetTickCount64();
      ended = ended || WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0;
      DWORD message = 0;
      ULONG_PTR key = 0;
      LPOVERLAPPED data = nullptr;
      if (!GetQueuedCompletionStatus(port, &message, &key, &data, ended || now >= deadline ? 0 : 20)) {
        if (ended || now >= deadline) break;
        continue;
      }
      if (message != JOB_OBJECT_MSG_NEW_PROCESS) continue;
      const DWORD started = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(data));
      if (started == process.dwProcessId) {
        sight.canSee = true;  // the job reports its processes here
        continue;
      }
      ++sight.copies;
      HANDLE copy = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE, FALSE, started);
      if (!copy) copy = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, started);
      // A process just made may not have set up its parameters yet: a
      // second of tries.
      wchar_t given[128] = L"(unreadable)";
      bool read = false;
      for (int attempt = 0; copy && !read && attempt < 50; ++attempt) {
        read = argumentsOf(copy, given, 128);
        if (!read) Sleep(20);
      }
      if (!read) wcscpy(given, L"(unreadable)");
      if (wcscmp(given, expected) != 0) sight.rightParameters = false;
      if (sight.copies == 1) wcscpy(sight.parameters, given);
      if (copy && held < 8) {
        copies[held++] = copy;
      } else if (copy) {
        CloseHandle(copy);
      }
    }
    if (ended) {
      DWORD exitCode = 0;
      if (GetExitCodeProcess(process.hProcess, &exitCode)) code = static_cast<long>(exitCode);
    }
    if (held > 0 && WaitForSingleObject(copies[0], 10000) == WAIT_OBJECT_0) {
      DWORD copyCode = 0;
      sight.copyCodeRead = GetExitCodeProcess(copies[0], &copyCode) != 0;
      sight.copyCode = copyCode;
    }
    if (!ended) TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hProcess);
  }
  for (int index = 0; index < held; ++index) CloseHandle(copies[index]);
  CloseHandle(job);
  CloseHandle(port);
  return code;
}

// A run from a token without the privilege: "boost-elevated" must give 3
// and change nothing; with `relay`, "boost" relaunches through "runas", and
// the verdict rests on what the checker saw of the copy and of the target.
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
    verdicts::RelaySight sight = {};
    withRestrictedToken([&](HANDLE restricted) {
      tokenMade = restricted != nullptr;
      if (!restricted) return;
      if (!relay) {
        const long expected = platform.setClass ? 3 : 4;
        code = runTool(checker, restricted, arguments, toolWait, expected);
        return judgeCode(report, code, expected);
      }
      wchar_t line[1024], expected[64];
      _snwprintf(line, 1023, L"\"%ls\" %ls", checker.tool, arguments);
      line[1023] = L'\0';
      _snwprintf(expected, 63, L"boost-elevated %lu", processId);
      expected[63] = L'\0';
      code = runWatched(restricted, line, relayWait, expected, sight);
      say(report, L"  morvane-boost %ls: exit code %ld; copies seen: %d%ls%ls%ls", arguments, code,
          sight.copies, sight.copies ? L", the first given \"" : L"",
          sight.copies ? sight.parameters : L"", sight.copies ? L"\"" : L"");
      if (code == 3 && sight.canSee && sight.copies == 0) {
        // No copy seen: is that the tool, or does "runas" start copies
        // outside the job here? A copy of the checker relaunched the same
        // way tells.
        verdicts::RelaySight probe = {};
        _snwprintf(line, 1023, L"\"%ls\" --runas-probe", checker.self);
        runWatched(restricted, line, relayWait, L"--exit 3", probe);
        say(report, L"  a \"runas\" copy of the checker, started the same way: %ls",
            probe.copies ? L"seen in the job" : L"not seen in the job");
        if (probe.copies == 0) {
          sight.canSee = false;
          sight.cannotSeeWhy = L"a \"runas\" copy starts outside the job here (an elevation service "
                               L"starts it), so the tool's copy could not be seen either";
        }
      }
    });
    if (!tokenMade) return judge(report, L"road", cannotTell, L"no restricted token could be made");
    const Effects after = readEffects(platform, processId);
    showEffects(report, L"after:", after);
    if (!relay) {
      return judgeEffects(checker, before, after, gpuNormal, NORMAL_PRIORITY_CLASS,
                          verdicts::throttlingUnchanged);
    }
    if (!platform.setClass) {
      return judge(report, L"relay", cannotTell,
                   L"without the GPU entry points no boost is refused, so the tool never relays");
    }
    judge(report, L"relay", verdicts::relay(code, sight, after.gpu, after.cpu));
    if (code == 0) {
      judgeEffects(checker, before, after, gpuRealtime, HIGH_PRIORITY_CLASS, verdicts::throttlingOff);
    } else if (code == 3) {
      judgeEffects(checker, before, after, gpuNormal, NORMAL_PRIORITY_CLASS,
                   verdicts::throttlingUnchanged);
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

// Starts this checker again through "runas" (as the tool relaunches itself)
// with --exit 3, and ends with that copy's code: whether such a copy is seen
// in the job tells whether the tool's would be.
int runasProbe() {
  wchar_t self[MAX_PATH];
  if (!GetModuleFileNameW(nullptr, self, MAX_PATH)) return 11;
  SHELLEXECUTEINFOW launch = {};
  launch.cbSize = sizeof launch;
  launch.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
  launch.lpVerb = L"runas";
  launch.lpFile = self;
  launch.lpParameters = L"--exit 3";
  launch.nShow = SW_HIDE;
  if (!ShellExecuteExW(&launch) || !launch.hProcess) return 11;
  DWORD code = 11;
  if (WaitForSingleObject(launch.hProcess, relayWait) == WAIT_OBJECT_0) {
    GetExitCodeProcess(launch.hProcess, &code);
  }
  CloseHandle(launch.hProcess);
  return static_cast<int>(code);
}

int usage(Report& report, const wchar_t* problem) {
  say(report, L"morvane-boost-check: %ls", problem);
  say(report, L"usage: morvane-boost-check [PATH-TO-morvane-boost.exe] [--relay] [--strict] "
              L"[--allow-unknown ITEM[,ITEM...]] [--output FILE]");
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
  if (report.strict) {
    say(report, L"== Summary: %d differ, %d cannot tell here (strict; allowed unknown: %ls)",
        report.differs, report.cannotTell, *report.allowedSeen ? report.allowedSeen : L"none");
  } else {
    say(report, L"== Summary: %d differ, %d cannot tell here", report.differs, report.cannotTell);
  }
  return report.failing ? exitDiffers : exitSame;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && wcscmp(argv[1], L"--target") == 0) {
    return waitAsTarget(wcscmp(argv[2], L"d3d11") == 0);
  }
  if (argc == 3 && wcscmp(argv[1], L"--set-realtime") == 0) {
    return setRealtime(wcstoul(argv[2], nullptr, 10));
  }
  if (argc == 2 && wcscmp(argv[1], L"--runas-probe") == 0) return runasProbe();
  if (argc == 3 && wcscmp(argv[1], L"--exit") == 0) return _wtoi(argv[2]);

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
    } else if (wcscmp(argv[index], L"--allow-unknown") == 0 && hasValue && !checker.report.allowed) {
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
  if (output) {
    checker.report.out = CreateFileW(output, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
    if (checker.report.out == INVALID_HANDLE_VALUE) {
      checker.report.out = GetStdHandle(STD_OUTPUT_HANDLE);
      CloseHandle(checker.job);
      return usage(checker.report, L"the report file cannot be written");
    }
  }
  const int result = check(checker, relay);
  if (output) CloseHandle(checker.report.out);
  CloseHandle(checker.job);
  return result;
}
