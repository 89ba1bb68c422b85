#include "facts.h"

#include <wchar.h>

#include "children.h"

namespace check {

namespace {

const wchar_t* machineName(USHORT machine) {
  switch (machine) {
    case IMAGE_FILE_MACHINE_AMD64:
      return L"x64";
    case IMAGE_FILE_MACHINE_ARM64:
      return L"ARM64";
    case IMAGE_FILE_MACHINE_I386:
      return L"x86";
    default:
      return L"other";
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

}  // namespace

Platform describeWindows(Report& report) {
  Platform platform = {};
  say(report, L"== This Windows");
  OSVERSIONINFOW version = {};
  version.dwOSVersionInfoSize = sizeof version;
  const RtlGetVersionFn getVersion = lookUp<RtlGetVersionFn>(L"ntdll.dll", "RtlGetVersion");
  if (getVersion && getVersion(&version) == 0) {
    say(report, L"Version:                 %lu.%lu, build %lu (RtlGetVersion)",
        version.dwMajorVersion, version.dwMinorVersion, version.dwBuildNumber);
  } else {
    say(report, L"Version:                 unreadable (no RtlGetVersion)");
  }
  if (const WineVersionFn wine = lookUp<WineVersionFn>(L"ntdll.dll", "wine_get_version")) {
    say(report, L"Runs under:              Wine %hs", wine());
  }
  USHORT process = 0, native = 0;
  const IsWow64Process2Fn wow64 = lookUp<IsWow64Process2Fn>(L"kernel32.dll", "IsWow64Process2");
  if (wow64 && wow64(GetCurrentProcess(), &process, &native)) {
    say(report, L"Native machine:          %ls (0x%04x, IsWow64Process2)", machineName(native),
        native);
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
        !elevationRead              ? L"unreadable"
        : elevation.TokenIsElevated ? L"yes"
                                    : L"no");
    // How the relay is set up here: a split token (Full, with a linked token)
    // is an administrator's under User Account Control.
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    const bool typeRead = GetTokenInformation(token, TokenElevationType, &type, sizeof type, &size);
    TOKEN_LINKED_TOKEN linked = {};
    const bool hasLinked =
        GetTokenInformation(token, TokenLinkedToken, &linked, sizeof linked, &size);
    if (hasLinked) CloseHandle(linked.LinkedToken);
    platform.elevatedWithLinkedToken = typeRead && type == TokenElevationTypeFull && hasLinked;
    say(report, L"Elevation type:          %ls; linked token: %ls",
        !typeRead                           ? L"unreadable"
        : type == TokenElevationTypeFull    ? L"full"
        : type == TokenElevationTypeLimited ? L"limited"
                                            : L"default",
        hasLinked ? L"yes" : L"no");
    say(report, L"%ls: %ls", privilegeName,
        privilegeState(token, &platform.privilegeHeld, &platform.privilegeEnabled));
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

namespace {

void probeGpuSet(Report& report, HANDLE target, DWORD access, int priorityClass) {
  const NTSTATUS status = lookUp<SetSchedulingClassFn>(
      L"gdi32.dll", "D3DKMTSetProcessSchedulingPriorityClass")(target, priorityClass);
  say(report, L"  D3DKMTSetProcessSchedulingPriorityClass(%ls) access 0x%04lx: status 0x%08lx",
      verdicts::gpuClassName(priorityClass), access, static_cast<unsigned long>(status));
}

int probeGpuGet(Report& report, HANDLE target, DWORD access) {
  int priorityClass = gpuUnread;
  const NTSTATUS status = lookUp<GetSchedulingClassFn>(
      L"gdi32.dll", "D3DKMTGetProcessSchedulingPriorityClass")(target, &priorityClass);
  say(report,
      L"  D3DKMTGetProcessSchedulingPriorityClass access 0x%04lx: status 0x%08lx, class %d (%ls)",
      access, static_cast<unsigned long>(status), priorityClass,
      verdicts::gpuClassName(priorityClass));
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
  say(report,
      L"  SetProcessInformation(ProcessPowerThrottling, {1, 0x%lx, 0}) access 0x%04lx: %ls, error "
      L"%lu",
      controlMask, toolAccess, done ? L"TRUE" : L"FALSE", error);
  const ProcessInformationFn get =
      lookUp<ProcessInformationFn>(L"kernel32.dll", "GetProcessInformation");
  if (!get) return done;
  PROCESS_POWER_THROTTLING_STATE read = {};
  read.Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION;
  if (get(target, ProcessPowerThrottling, &read, sizeof read)) {
    say(report,
        L"    GetProcessInformation(ProcessPowerThrottling) access 0x%04lx: {%lu, 0x%lx, 0x%lx}",
        toolAccess, read.Version, read.ControlMask, read.StateMask);
  } else {
    say(report,
        L"    GetProcessInformation(ProcessPowerThrottling) access 0x%04lx: FALSE, error %lu",
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
    const Identity identity = {restricted, false, L"a restricted token"};
    if (restricted) child = runToEnd(checker.job, &identity, line, toolWait);
  });
  const char* const status = strstr(child.output, "status ");
  if (!tokenMade || !child.started || !child.ended || !status) {
    say(report,
        L"  D3DKMTSetProcessSchedulingPriorityClass(realtime) without the privilege: not run "
        L"(restricted token %ls, start error %lu, output \"%hs\")",
        tokenMade ? L"made" : L"not made", child.error, child.output);
    judge(report, L"refusal", cannotTell, L"the probe did not run");
    return;
  }
  const unsigned long value = strtoul(status + 7, nullptr, 16);
  say(report,
      L"  D3DKMTSetProcessSchedulingPriorityClass(realtime) access 0x%04lx, from a token "
      L"without the privilege: status 0x%08lx",
      toolAccess, value);
  if (value == static_cast<unsigned long>(statusPrivilegeNotHeld)) {
    judge(report, L"refusal", asExpected,
          L"STATUS_PRIVILEGE_NOT_HELD, the status the tool relays on");
  } else {
    judge(report, L"refusal", differs,
          L"the tool relays only on 0xC0000061; with this status a boost without the "
          L"privilege gives 4 and never reaches the elevation prompt");
  }
}

}  // namespace

void probeTarget(Checker& checker, TargetKind kind) {
  Report& report = checker.report;
  const Platform& platform = checker.platform;
  withTarget(checker, kind, nullptr, [&](const Target& started) {
    if (!started.id) return;
    const DWORD processId = started.id;
    if (kind == d3d11Target) {
      say(report, L"-- Target: a process that has created a Direct3D 11 device, ID %lu", processId);
      say(report, L"  D3D11CreateDevice in the target, hardware first, then WARP: %hs, 0x%08lx%ls",
          started.driver, started.result,
          started.result == 0 ? L"" : L" (failed: the target holds no device)");
    } else {
      say(report, L"-- Target: a plain waiting process, ID %lu", processId);
      // Others may open the targets only with the tool's access; whether
      // this Windows holds to that decides if a tool that asks for more is
      // caught.
      if (started.granted != targetAccess) {
        say(report,
            L"  The targets grant 0x%lx: this Windows refused 0x%04lx on a target that granted "
            L"0x%lx, as it adds PROCESS_SET_LIMITED_INFORMATION to PROCESS_SET_INFORMATION",
            started.granted, toolAccess, targetAccess);
      }
      HANDLE all = OpenProcess(PROCESS_ALL_ACCESS, FALSE, processId);
      if (all) {
        say(report,
            L"  OpenProcess(PROCESS_ALL_ACCESS) on a target that grants 0x%lx: granted: this "
            L"Windows does not hold to a process's access rules, so a tool asking for more "
            L"access than it needs is not caught here",
            started.granted);
        CloseHandle(all);
      } else {
        say(report,
            L"  OpenProcess(PROCESS_ALL_ACCESS) on a target that grants 0x%lx: refused (error "
            L"%lu), as a tool asking for more access would be",
            started.granted, GetLastError());
      }
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
        // What a boost must leave where throttling can be read: the record
        // with the timer-resolution bit where this kernel takes it. The last
        // probe hands throttling back, as a fresh process has it.
        const bool took = probeThrottling(report, target,
                                          PROCESS_POWER_THROTTLING_EXECUTION_SPEED |
                                              PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION);
        if (kind == plainTarget) checker.platform.tookTimerBit = took;
        probeThrottling(report, target, PROCESS_POWER_THROTTLING_EXECUTION_SPEED);
        probeThrottling(report, target, 0);
      } else {
        say(report, L"  SetProcessInformation: absent, not probed");
      }
      const DWORD cpu = GetPriorityClass(query);
      say(report, L"  GetPriorityClass access 0x%04lx: 0x%lx (%ls)%ls", queryAccess, cpu,
          verdicts::cpuClassName(cpu), cpu == cpuBefore ? L"" : L", changed by the probes");
    }
    if (target) CloseHandle(target);
    if (query) CloseHandle(query);
  });
}

}  // namespace check
