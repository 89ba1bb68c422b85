#include "facts.h"

#include <stdlib.h>
#include <string.h>
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

}  // namespace

Platform describeWindows(Report& report, const DebugPrivilege& debug) {
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
    if (native != IMAGE_FILE_MACHINE_AMD64) {
      say(report,
          L"Emulated:                yes: the checker and the tool are x64 programs, so "
          L"this %ls machine runs them emulated",
          machineName(native));
    }
  } else {
    say(report, L"Native machine:          unreadable (IsWow64Process2: %ls)",
        wow64 ? L"failed" : L"absent");
  }

  Handle token;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.out())) {
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    const bool elevationRead =
        GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size);
    say(report, L"Elevated:                %ls",
        !elevationRead              ? L"unreadable"
        : elevation.TokenIsElevated ? L"yes"
                                    : L"no");
    // How the relay is set up here: a split token (Full, with a linked token)
    // is an administrator's under User Account Control.
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    const bool typeRead =
        GetTokenInformation(token.get(), TokenElevationType, &type, sizeof type, &size);
    TOKEN_LINKED_TOKEN linked = {};
    const bool hasLinked =
        GetTokenInformation(token.get(), TokenLinkedToken, &linked, sizeof linked, &size);
    const Handle linkedToken(hasLinked ? linked.LinkedToken : nullptr);  // only its presence counts
    platform.elevatedWithLinkedToken = typeRead && type == TokenElevationTypeFull && hasLinked;
    say(report, L"Elevation type:          %ls; linked token: %ls",
        !typeRead                           ? L"unreadable"
        : type == TokenElevationTypeFull    ? L"full"
        : type == TokenElevationTypeLimited ? L"limited"
                                            : L"default",
        hasLinked ? L"yes" : L"no");
    const verdicts::TokenLevel level = levelOf(GetCurrentProcess());
    if (level.read) {
      say(report, L"Integrity level:         %ls (0x%04lx)",
          verdicts::integrityName(level.integrity), level.integrity);
    } else {
      say(report, L"Integrity level:         unreadable");
    }
    platform.privilege = privilegeIn(token.get(), privilegeName);
    say(report, L"%ls: %ls", privilegeName, describe(platform.privilege));
  } else {
    say(report, L"Token:                   unreadable (error %lu)", GetLastError());
  }

  // Enabled, it lets OpenProcess pass over a process's access rules, so
  // neither the targets nor the tool may inherit it.
  say(report, L"SeDebugPrivilege:        %ls as found; %ls", describe(debug.found),
      !debug.found.held  ? L"nothing to remove"
      : !debug.left.held ? L"removed, so that the targets and the tool run without it"
                         : L"could not be removed, so the targets and the tool inherit it");
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

unsigned long probeGpuSet(Report& report, HANDLE target, DWORD access, int priorityClass) {
  const unsigned long status = static_cast<unsigned long>(lookUp<SetSchedulingClassFn>(
      L"gdi32.dll", "D3DKMTSetProcessSchedulingPriorityClass")(target, priorityClass));
  say(report, L"  D3DKMTSetProcessSchedulingPriorityClass(%ls) access 0x%04lx: status 0x%08lx",
      verdicts::gpuClassName(priorityClass), access, status);
  return status;
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
  format(line, L"\"%ls\" --set-realtime %lu", checker.self, processId);
  Child child = {};
  const Handle restricted = restrictedToken();
  if (restricted) {
    const Identity identity = {restricted.get(), false, L"a restricted token"};
    child = runToEnd(checker.job.get(), &identity, line, toolWait);
  }
  const char* const status = strstr(child.text, "status ");
  if (!restricted || !child.started || !child.ended || !status) {
    say(report,
        L"  D3DKMTSetProcessSchedulingPriorityClass(realtime) without the privilege: not run "
        L"(restricted token %ls, start error %lu, output \"%hs\")",
        restricted ? L"made" : L"not made", child.error, child.text);
    judge(report, L"refusal", cannotTell, L"the probe did not run");
    return;
  }
  const unsigned long value = strtoul(status + 7, nullptr, 16);
  say(report,
      L"  D3DKMTSetProcessSchedulingPriorityClass(realtime) access 0x%04lx, from a token "
      L"without the privilege: status 0x%08lx",
      toolAccess, value);
  if (value == verdicts::statusPrivilegeNotHeld) {
    judge(report, L"refusal", asExpected,
          L"STATUS_PRIVILEGE_NOT_HELD, the status the tool relays on");
  } else {
    judge(report, L"refusal", differs,
          L"the tool relays only on 0xC0000061; with this status a boost without the "
          L"privilege gives 4 and never reaches the elevation prompt");
  }
}

// Whether this Windows holds to a process's access rules: decides if a tool
// that asks for more than it needs is caught.
void probeAccessRules(Report& report, const Target& target) {
  if (target.granted != targetAccess) {
    say(report,
        L"  The targets grant 0x%lx: this Windows refused 0x%04lx on a target that granted "
        L"0x%lx, as it adds PROCESS_SET_LIMITED_INFORMATION to PROCESS_SET_INFORMATION",
        target.granted, toolAccess, targetAccess);
  }
  const Handle all(OpenProcess(PROCESS_ALL_ACCESS, FALSE, target.id));
  const DWORD error = all ? 0 : GetLastError();
  say(report, L"  OpenProcess(PROCESS_ALL_ACCESS) on a target that grants 0x%lx: %ls (error %lu)",
      target.granted, all ? L"granted" : L"refused", error);
  judge(report, L"access rules", verdicts::accessRules(static_cast<bool>(all), error));
}

// Each call the tool relies on, made on a target of this kind; adds what
// the GPU sets and the throttling record gave to `facts`.
void probeTarget(Checker& checker, const Platform& platform, TargetKind kind, Facts& facts) {
  Report& report = checker.report;
  Target started = startTarget(checker, kind, nullptr);
  if (!started.id) return;
  const DWORD processId = started.id;
  if (kind == d3d11Target) {
    say(report, L"-- Target: a process that has created a Direct3D 11 device, ID %lu", processId);
    say(report, L"  D3D11CreateDevice in the target, hardware first, then WARP: %hs, 0x%08lx%ls",
        started.driver, started.result,
        started.result == 0 ? L"" : L" (failed: the target holds no device)");
  } else {
    say(report, L"-- Target: a plain waiting process, ID %lu", processId);
    probeAccessRules(report, started);
  }
  const Handle target(OpenProcess(toolAccess, FALSE, processId));
  const Handle query(OpenProcess(queryAccess, FALSE, processId));
  if (!target || !query) {
    say(report, L"  OpenProcess failed (error %lu)", GetLastError());
  } else {
    const DWORD cpuBefore = GetPriorityClass(query.get());
    if (platform.setClass && platform.getClass) {
      verdicts::GpuProbe& gpu = facts.gpu[kind];
      gpu.run = true;
      const int gpuBefore = probeGpuGet(report, target.get(), toolAccess);
      gpu.realtime = probeGpuSet(report, target.get(), toolAccess, gpuRealtime);
      probeGpuGet(report, target.get(), toolAccess);
      probeGpuGet(report, query.get(), queryAccess);
      gpu.normal = probeGpuSet(report, target.get(), toolAccess, gpuNormal);
      probeGpuGet(report, target.get(), toolAccess);
      probeWithoutPrivilege(checker, processId);
      // Left as found: normal, unless it started otherwise.
      if (gpuBefore != gpuUnread && gpuBefore != gpuNormal) {
        probeGpuSet(report, target.get(), toolAccess, gpuBefore);
      }
    } else {
      say(report, L"  GPU scheduling class: not probed, gdi32 lacks the entry points");
      judge(report, L"refusal", cannotTell, L"gdi32 lacks the GPU scheduling entry points");
    }
    if (platform.setInformation) {
      // What a boost must leave where throttling can be read: the record
      // with the timer-resolution bit where this kernel takes it. The last
      // probe hands throttling back, as a fresh process has it.
      const bool took = probeThrottling(report, target.get(),
                                        PROCESS_POWER_THROTTLING_EXECUTION_SPEED |
                                            PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION);
      if (kind == plainTarget) facts.tookTimerBit = took;
      probeThrottling(report, target.get(), PROCESS_POWER_THROTTLING_EXECUTION_SPEED);
      probeThrottling(report, target.get(), 0);
    } else {
      say(report, L"  SetProcessInformation: absent, not probed");
    }
    const DWORD cpu = GetPriorityClass(query.get());
    say(report, L"  GetPriorityClass access 0x%04lx: 0x%lx (%ls)%ls", queryAccess, cpu,
        verdicts::cpuClassName(cpu), cpu == cpuBefore ? L"" : L", changed by the probes");
  }
  finishTarget(started);
}

}  // namespace

Facts probeTargets(Checker& checker, const Platform& platform) {
  Facts facts = {};
  facts.platform = platform;
  setOwnPrivilege(privilegeName, SE_PRIVILEGE_ENABLED);
  probeTarget(checker, platform, plainTarget, facts);
  probeTarget(checker, platform, d3d11Target, facts);
  setOwnPrivilege(privilegeName, platform.privilege.enabled ? SE_PRIVILEGE_ENABLED : 0);
  return facts;
}

}  // namespace check
