#include "roads.h"

#include <wchar.h>

namespace check {

namespace {

struct Effects {
  verdicts::GpuReading gpu;
  verdicts::CpuReading cpu;
  verdicts::ThrottlingReading throttling;
};

// Reads what the roads change through the handle that CreateProcess gave the
// checker (full access, whatever others may do), so that a reading fails
// only where Windows gives no answer at all.
Effects readEffects(const Platform& platform, HANDLE target) {
  Effects effects = {};
  effects.gpu = {platform.getClass, false, 0, gpuUnread};
  effects.throttling.entry = platform.getInformation;
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
  return effects;
}

void showEffects(Report& report, const wchar_t* when, const Effects& effects) {
  wchar_t gpu[64], cpu[64], throttling[64];
  if (effects.gpu.read) {
    _snwprintf(gpu, 63, L"%d (%ls)", effects.gpu.value, verdicts::gpuClassName(effects.gpu.value));
  } else if (effects.gpu.entry) {
    _snwprintf(gpu, 63, L"unread (status 0x%08lx)", effects.gpu.status);
  } else {
    _snwprintf(gpu, 63, L"unread (no get entry)");
  }
  gpu[63] = L'\0';
  if (effects.cpu.read) {
    _snwprintf(cpu, 63, L"0x%lx (%ls)", effects.cpu.value,
               verdicts::cpuClassName(effects.cpu.value));
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
  judge(report, L"throttling",
        verdicts::throttling(throttling, before.throttling, after.throttling,
                             checker.platform.tookTimerBit));
}

// Runs the tool with these arguments (as `identity`, or with the checker's
// own token) and says what came back. Returns the exit code, or -1 when the
// tool did not start or did not end in time.
long runTool(Checker& checker, const Identity* identity, const wchar_t* arguments, DWORD wait,
             long expected) {
  wchar_t line[1024];
  _snwprintf(line, 1023, L"\"%ls\"%ls%ls", checker.tool, *arguments ? L" " : L"", arguments);
  line[1023] = L'\0';
  const Child child = runToEnd(checker.job, identity, line, wait);
  if (!*arguments) arguments = L"(no arguments)";
  if (!child.started) {
    say(checker.report, L"  morvane-boost %ls: expected %ld, not started (error %lu)", arguments,
        expected, child.error);
    return -1;
  }
  if (!child.ended) {
    say(checker.report, L"  morvane-boost %ls: expected %ld, still running after %lu s; ended",
        arguments, expected, wait / 1000);
    return -1;
  }
  say(checker.report, L"  morvane-boost %ls: expected %ld, exit code %lu", arguments, expected,
      child.exitCode);
  return static_cast<long>(child.exitCode);
}

void judgeCode(Report& report, long observed, long expected) {
  judge(report, L"exit code", verdicts::exitCode(observed, expected));
}

// The road from `identity`, which must lack the privilege. Returns null, or,
// having run nothing, why the identity could not be used: the logon service
// started no target with it, or the target holds the privilege after all
// (the platform did not start it as asked).
const wchar_t* roadFrom(Checker& checker, bool relay, const Identity& identity) {
  Report& report = checker.report;
  const Platform& platform = checker.platform;
  const wchar_t* unused = nullptr;
  withTarget(checker, plainTarget, &identity, [&](const Target& target) {
    if (!target.id && identity.logonService) {
      unused = L"no target could be started with it";
      return;
    }
    if (target.id && holdsPrivilege(target.process)) {
      unused = L"a target started with it holds the privilege all the same";
      return;
    }
    if (!target.id) return judge(report, L"road", cannotTell, L"no target started");
    say(report, L"  run as: %ls", identity.name);
    wchar_t arguments[64];
    _snwprintf(arguments, 63, L"%ls %lu", relay ? L"boost" : L"boost-elevated", target.id);
    arguments[63] = L'\0';
    const Effects before = readEffects(platform, target.process);
    showEffects(report, L"before:", before);
    if (!relay) {
      const long expected = platform.setClass ? 3 : 4;
      judgeCode(report, runTool(checker, &identity, arguments, toolWait, expected), expected);
      const Effects after = readEffects(platform, target.process);
      showEffects(report, L"after:", after);
      return judgeEffects(checker, before, after, gpuNormal, NORMAL_PRIORITY_CLASS,
                          verdicts::throttlingUnchanged);
    }
    wchar_t line[1024], expected[64];
    _snwprintf(line, 1023, L"\"%ls\" %ls", checker.tool, arguments);
    line[1023] = L'\0';
    _snwprintf(expected, 63, L"boost-elevated %lu", target.id);
    expected[63] = L'\0';
    verdicts::RelaySight sight = {};
    const long code = runWatched(identity, line, relayWait, expected, sight);
    say(report, L"  morvane-boost %ls: exit code %ld; copies seen: %d%ls%ls%ls", arguments, code,
        sight.copies, sight.copies ? L", the first given \"" : L"",
        sight.copies ? sight.parameters : L"", sight.copies ? L"\"" : L"");
    if (code == 3 && sight.canSee && sight.copies == 0) {
      // No copy seen: is that the tool, or does "runas" start copies outside
      // the job here? A copy of the checker relaunched the same way tells.
      verdicts::RelaySight probe = {};
      _snwprintf(line, 1023, L"\"%ls\" --runas-probe", checker.self);
      runWatched(identity, line, relayWait, L"--exit 3", probe);
      say(report, L"  a \"runas\" copy of the checker, started the same way: %ls",
          probe.copies ? L"seen in the job" : L"not seen in the job");
      if (probe.copies == 0) {
        sight.canSee = false;
        sight.cannotSeeWhy =
            L"a \"runas\" copy starts outside the job here (an elevation service "
            L"starts it), so the tool's copy could not be seen either";
      }
    }
    const Effects after = readEffects(platform, target.process);
    showEffects(report, L"after:", after);
    if (!platform.setClass) {
      return judge(report, L"relay", cannotTell,
                   L"without the GPU entry points no boost is refused, so the tool never relays");
    }
    judge(report, L"relay", verdicts::relay(code, sight, after.gpu, after.cpu));
    if (code == 0) {
      judgeEffects(checker, before, after, gpuRealtime, HIGH_PRIORITY_CLASS,
                   verdicts::throttlingOff);
    } else if (code == 3) {
      judgeEffects(checker, before, after, gpuNormal, NORMAL_PRIORITY_CLASS,
                   verdicts::throttlingUnchanged);
    }
  });
  return unused;
}

void fromRestrictedToken(Checker& checker, bool relay) {
  withRestrictedToken([&](HANDLE restricted) {
    if (!restricted)
      return judge(checker.report, L"road", cannotTell, L"no restricted token could be made");
    const Identity identity = {restricted, false,
                               L"a restricted copy of the checker's token, without the privilege"};
    if (const wchar_t* unused = roadFrom(checker, relay, identity)) {
      judge(checker.report, L"road", cannotTell, unused);
    }
  });
}

}  // namespace

void roadUsage(Checker& checker) {
  Report& report = checker.report;
  say(report, L"-- Usage errors give 5 and touch nothing");
  withTarget(checker, plainTarget, nullptr, [&](const Target& target) {
    if (!target.id) return judge(report, L"road", cannotTell, L"no target started");
    const Effects before = readEffects(checker.platform, target.process);
    showEffects(report, L"before:", before);
    wchar_t cases[3][64] = {L"", L"boost 0", L""};
    _snwprintf(cases[2], 63, L"Boost %lu", target.id);
    for (const wchar_t* arguments : cases) {
      judgeCode(report, runTool(checker, nullptr, arguments, toolWait, 5), 5);
    }
    const Effects after = readEffects(checker.platform, target.process);
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

void roadBoostAndUnboost(Checker& checker, TargetKind kind) {
  Report& report = checker.report;
  const Platform& platform = checker.platform;
  // Without the get entry nothing can be confirmed, so both give 4.
  const bool confirmable = platform.setClass && platform.getClass;
  withTarget(checker, kind, nullptr, [&](const Target& target) {
    say(report, L"-- boost of %ls at normal",
        kind == d3d11Target ? L"a target with a Direct3D 11 device" : L"a target");
    if (!target.id) return judge(report, L"road", cannotTell, L"no target started");
    if (kind == d3d11Target) {
      say(report, L"  its device: %hs (0x%08lx)", target.driver, target.result);
    }
    wchar_t arguments[64];
    _snwprintf(arguments, 63, L"boost %lu", target.id);
    arguments[63] = L'\0';
    if (!platform.privilegeHeld) {
      judge(report, L"road", cannotTell,
            L"the checker's token lacks the base-priority privilege, so the boost would show the "
            L"elevation prompt; run the checker as an administrator");
    } else {
      const Effects before = readEffects(platform, target.process);
      showEffects(report, L"before:", before);
      const long expected = confirmable ? 0 : 4;
      judgeCode(report, runTool(checker, nullptr, arguments, toolWait, expected), expected);
      const Effects after = readEffects(platform, target.process);
      showEffects(report, L"after:", after);
      if (confirmable) {
        judgeEffects(checker, before, after, gpuRealtime, HIGH_PRIORITY_CLASS,
                     verdicts::throttlingOff);
      } else {
        judgeEffects(checker, before, after, gpuNormal, NORMAL_PRIORITY_CLASS,
                     verdicts::throttlingUnchanged);
      }
    }

    say(report, L"-- unboost of that target");
    // Raised by the checker first where the boost did not, so that the
    // restore shows.
    if (GetPriorityClass(target.process) != HIGH_PRIORITY_CLASS) {
      SetPriorityClass(target.process, HIGH_PRIORITY_CLASS);
      say(report, L"  (the checker set the CPU class to high first)");
    }
    const Effects before = readEffects(platform, target.process);
    showEffects(report, L"before:", before);
    _snwprintf(arguments, 63, L"unboost %lu", target.id);
    const long expected = confirmable ? 0 : 4;
    judgeCode(report, runTool(checker, nullptr, arguments, toolWait, expected), expected);
    const Effects after = readEffects(platform, target.process);
    showEffects(report, L"after:", after);
    judgeEffects(checker, before, after, gpuNormal, NORMAL_PRIORITY_CLASS,
                 verdicts::throttlingHandedBack);
  });
}

void roadWithoutPrivilege(Checker& checker, bool relay) {
  Report& report = checker.report;
  say(report, L"-- %ls from a token without the base-priority privilege%ls",
      relay ? L"boost" : L"boost-elevated", relay ? L" (the relay)" : L"");
  // An administrator's programs run with the linked, limited token: where
  // the checker has one, the relay starts from it, as a real user's would.
  if (!relay || !checker.platform.elevatedWithLinkedToken)
    return fromRestrictedToken(checker, relay);
  bool done = false;
  withLimitedToken([&](HANDLE limited, const wchar_t* why) {
    const Identity identity = {limited, true,
                               L"the linked, limited token (CreateProcessWithTokenW)"};
    if (limited) why = roadFrom(checker, relay, identity);
    done = why == nullptr;
    if (!done) say(report, L"  the linked, limited token was not used: %ls", why);
  });
  if (!done) fromRestrictedToken(checker, relay);
}

}  // namespace check
