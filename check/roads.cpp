#include "roads.h"

#include <wchar.h>

namespace check {

namespace {

struct Effects {
  verdicts::GpuReading gpu;
  verdicts::CpuReading cpu;
  verdicts::ThrottlingReading throttling;
};

// What a road expects of the tool: its exit code, and the target afterwards.
struct Expected {
  long code;
  int gpu;
  DWORD cpu;
  verdicts::ThrottlingWanted throttling;
  unsigned long setFails;  // the platform facts saw the GPU set fail so: the class is unknown
};
const Expected boosted = {verdicts::toolDone, gpuRealtime, HIGH_PRIORITY_CLASS,
                          verdicts::throttlingOff, 0};
const Expected restored = {verdicts::toolDone, gpuNormal, NORMAL_PRIORITY_CLASS,
                           verdicts::throttlingHandedBack, 0};
// Left as it was (a target at normal): nothing changed.
Expected untouched(long code, unsigned long setFails = 0) {
  return {code, gpuNormal, NORMAL_PRIORITY_CLASS, verdicts::throttlingUnchanged, setFails};
}

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

// Reads the target and shows what was read.
Effects observe(Checker& checker, const Facts& facts, const Target& target, const wchar_t* when) {
  const Effects effects = readEffects(facts.platform, target.process.get());
  wchar_t gpu[64], cpu[64], throttling[64];
  if (effects.gpu.read) {
    format(gpu, L"%d (%ls)", effects.gpu.value, verdicts::gpuClassName(effects.gpu.value));
  } else if (effects.gpu.entry) {
    format(gpu, L"unread (status 0x%08lx)", effects.gpu.status);
  } else {
    format(gpu, L"unread (no get entry)");
  }
  if (effects.cpu.read) {
    format(cpu, L"0x%lx (%ls)", effects.cpu.value, verdicts::cpuClassName(effects.cpu.value));
  } else {
    format(cpu, L"unread (error %lu)", effects.cpu.error);
  }
  if (effects.throttling.read) {
    format(throttling, L"{%lu, 0x%lx, 0x%lx}", effects.throttling.version,
           effects.throttling.control, effects.throttling.state);
  } else if (effects.throttling.entry) {
    format(throttling, L"unread (error %lu)", effects.throttling.error);
  } else {
    format(throttling, L"unread (no GetProcessInformation)");
  }
  say(checker.report, L"  %-8ls GPU class %ls; CPU class %ls; throttling %ls", when, gpu, cpu,
      throttling);
  return effects;
}

// Runs the tool with these arguments (as `identity`, or with the checker's
// own token) and says what came back. Returns the exit code, or
// toolDidNotEnd when the tool did not start or did not end in time.
long runTool(Checker& checker, const Identity* identity, const wchar_t* arguments, long expected) {
  wchar_t line[1024];
  format(line, L"\"%ls\"%ls%ls", checker.tool, *arguments ? L" " : L"", arguments);
  const Child child = runToEnd(checker.job.get(), identity, line, toolWait);
  if (!*arguments) arguments = L"(no arguments)";
  if (child.jobError) {
    say(checker.report, L"  (morvane-boost %ls is not in the checker's job: error %lu)", arguments,
        child.jobError);
  }
  if (!child.started) {
    say(checker.report, L"  morvane-boost %ls: expected %ld, not started (error %lu)", arguments,
        expected, child.error);
    return verdicts::toolDidNotEnd;
  }
  if (!child.ended) {
    say(checker.report, L"  morvane-boost %ls: expected %ld, still running after %lu s; ended",
        arguments, expected, toolWait / 1000);
    return verdicts::toolDidNotEnd;
  }
  say(checker.report, L"  morvane-boost %ls: expected %ld, exit code %lu", arguments, expected,
      child.exitCode);
  return static_cast<long>(child.exitCode);
}

const wchar_t* describeLevel(const verdicts::TokenLevel& level, wchar_t (&text)[64]) {
  if (!level.read) return L"unreadable";
  format(text, L"%ls, %ls integrity (0x%04lx)", verdicts::elevationTypeName(level.type),
         verdicts::integrityName(level.integrity), level.integrity);
  return text;
}

const wchar_t* seenBy(const verdicts::CopySight& copy) {
  return copy.byJob && copy.byParent ? L"by the job and as a child"
         : copy.byJob                ? L"by the job"
                                     : L"as a child";
}

// What the relay's watch saw: the first copy's token, and each copy.
void showSight(Report& report, const verdicts::RelaySight& sight) {
  wchar_t level[64];
  say(report, L"  the first copy's token: %ls", describeLevel(sight.first, level));
  if (sight.jobError) {
    say(report,
        L"  its job: not made, or the first copy not put in it (error %lu), so only snapshots of "
        L"processes can show its copies",
        sight.jobError);
  }
  for (int index = 0; index < sight.copies && index < 4; ++index) {
    const verdicts::CopySight& copy = sight.copy[index];
    wchar_t code[32];
    format(code, copy.codeRead ? L"%lu" : L"unread", copy.code);
    say(report, L"  copy %d: given \"%ls\"; seen %ls; in the job: %ls; token: %ls; exit code %ls",
        index + 1, copy.arguments, seenBy(copy),
        !copy.inJobRead ? L"unread"
        : copy.inJob    ? L"yes"
                        : L"no",
        describeLevel(copy.level, level), code);
  }
  if (sight.copies > 4) say(report, L"  and %d more copies", sight.copies - 4);
}

// The relay: the tool run as `identity` and watched for the copies it
// starts; says what was seen.
long runRelay(Checker& checker, const Identity& identity, const wchar_t* arguments,
              const Target& target, verdicts::RelaySight& sight) {
  wchar_t line[1024], expected[64];
  format(line, L"\"%ls\" %ls", checker.tool, arguments);
  format(expected, L"boost-elevated %lu", target.id);
  const long code = runWatched(identity, line, relayWait, checker.tool, expected, false, sight);
  say(checker.report, L"  morvane-boost %ls: exit code %ld; copies seen: %d", arguments, code,
      sight.copies);
  showSight(checker.report, sight);
  return code;
}

// The checker's own copy started through "runas" the same way (it ends with
// 3): whether it is seen, and whether "runas" raises it here.
void runProbe(Checker& checker, const Identity& identity, verdicts::RelaySight& probe) {
  wchar_t line[1024], level[64];
  format(line, L"\"%ls\" --runas-probe", checker.self);
  runWatched(identity, line, relayWait, checker.self, L"--exit 3", true, probe);
  if (probe.copies == 0) {
    say(checker.report, L"  a \"runas\" copy of the checker, started the same way: not seen");
  } else {
    say(checker.report,
        L"  a \"runas\" copy of the checker, started the same way: seen %ls; token: %ls",
        seenBy(probe.copy[0]), describeLevel(probe.copy[0].level, level));
  }
}

// Judges the relay, and the elevation beside it, running the checker's own
// "runas" copy where only that can tell. Returns whether the effects are
// judged too, and sets what they must be.
bool judgeRelay(Checker& checker, const Facts& facts, const Identity& identity, long code,
                verdicts::RelaySight& sight, const Effects& after, Expected& expected) {
  Report& report = checker.report;
  if (!facts.platform.setClass) {
    const wchar_t* const why =
        L"without the GPU entry points no boost is refused, so the tool never relays";
    judge(report, L"relay", cannotTell, why);
    judge(report, L"elevation", cannotTell, why);
    return false;
  }
  const verdicts::GpuExpectation gpu = verdicts::expectBoost(
      facts.platform.setClass, facts.platform.getClass, facts.gpu[plainTarget]);
  const bool targetBoosted = after.gpu.read && after.gpu.value == gpuRealtime && after.cpu.read &&
                             after.cpu.value == HIGH_PRIORITY_CLASS;
  const bool noCopy = code == verdicts::toolPrivilegeRefused && sight.canSee && sight.copies == 0;
  verdicts::RelaySight probe = {};
  const bool probed =
      noCopy || verdicts::elevation(code, sight, targetBoosted, nullptr).verdict == differs;
  if (probed) {
    runProbe(checker, identity, probe);
    if (noCopy && probe.copies == 0) {
      // The checker's own copy was not seen either, so the tool's could not
      // have been.
      sight.canSee = false;
      format(sight.cannotSeeWhy,
             L"a \"runas\" copy of the checker, started the same way, was not seen either "
             L"(neither in the job nor as a child)");
    }
  }
  judge(report, L"relay", verdicts::relay(code, sight, after.gpu, after.cpu, gpu.setFails));
  judge(report, L"elevation",
        verdicts::elevation(code, sight, targetBoosted, probed ? &probe : nullptr));
  // A 0 must have boosted the target; a 3 (or the platform's 4) left it as
  // it was.
  if (code == verdicts::toolDone) {
    expected = boosted;
    return true;
  }
  if (code == verdicts::toolNotConfirmed && gpu.setFails) {
    expected = untouched(code, gpu.setFails);
    return true;
  }
  return code == verdicts::toolPrivilegeRefused;
}

// One road on one target: reads the target, runs the tool with each of
// `arguments` (the relay: watched for its copies), reads the target again,
// and judges each exit code and then the effects.
void travel(Checker& checker, const Facts& facts, const Target& target, const Identity* identity,
            bool relay, const wchar_t* const* arguments, int runs, Expected expected) {
  Report& report = checker.report;
  const Effects before = observe(checker, facts, target, L"before:");
  verdicts::RelaySight sight = {};
  long code = verdicts::toolDidNotEnd;
  for (int run = 0; run < runs; ++run) {
    if (relay) {
      code = runRelay(checker, *identity, arguments[run], target, sight);
    } else {
      judge(report, L"exit code",
            verdicts::exitCode(runTool(checker, identity, arguments[run], expected.code),
                               expected.code));
    }
  }
  const Effects after = observe(checker, facts, target, L"after:");
  if (relay && !judgeRelay(checker, facts, *identity, code, sight, after, expected)) return;
  judge(report, L"GPU class", verdicts::gpuClass(after.gpu, expected.gpu, expected.setFails));
  judge(report, L"CPU class", verdicts::cpuClass(after.cpu, expected.cpu));
  judge(report, L"throttling",
        verdicts::throttling(expected.throttling, before.throttling, after.throttling,
                             facts.tookTimerBit));
}

// The road from `identity`, which must lack the privilege. Returns null, or,
// having run nothing, why the identity could not be used: the logon service
// started no target with it, or the target holds the privilege after all
// (the platform did not start it as asked).
const wchar_t* roadFrom(Checker& checker, const Facts& facts, bool relay,
                        const Identity& identity) {
  Report& report = checker.report;
  Target target = startTarget(checker, plainTarget, &identity);
  const wchar_t* unused = nullptr;
  if (!target.id && identity.logonService) {
    unused = L"no target could be started with it";
  } else if (target.id && holdsPrivilege(target.process.get())) {
    unused = L"a target started with it holds the privilege all the same";
  } else if (!target.id) {
    judge(report, L"road", cannotTell, L"no target started");
  } else {
    say(report, L"  run as: %ls", identity.name);
    wchar_t arguments[64];
    format(arguments, L"%ls %lu", relay ? L"boost" : L"boost-elevated", target.id);
    const wchar_t* const runs[] = {arguments};
    travel(checker, facts, target, &identity, relay, runs, 1,
           untouched(facts.platform.setClass ? verdicts::toolPrivilegeRefused
                                             : verdicts::toolNotConfirmed));
  }
  finishTarget(target);
  return unused;
}

void fromRestrictedToken(Checker& checker, const Facts& facts, bool relay) {
  const Handle restricted = restrictedToken();
  if (!restricted) {
    return judge(checker.report, L"road", cannotTell, L"no restricted token could be made");
  }
  const Identity identity = {restricted.get(), false,
                             L"a restricted copy of the checker's token, without the privilege"};
  if (const wchar_t* unused = roadFrom(checker, facts, relay, identity)) {
    judge(checker.report, L"road", cannotTell, unused);
  }
}

}  // namespace

void roadUsage(Checker& checker, const Facts& facts) {
  Report& report = checker.report;
  say(report, L"-- Usage errors give 5 and touch nothing");
  Target target = startTarget(checker, plainTarget, nullptr);
  if (!target.id) return judge(report, L"road", cannotTell, L"no target started");
  wchar_t capitalised[64];
  format(capitalised, L"Boost %lu", target.id);
  const wchar_t* const runs[] = {L"", L"boost 0", capitalised};
  travel(checker, facts, target, nullptr, false, runs, 3, untouched(verdicts::toolUsage));
  finishTarget(target);
}

void roadMissingProcess(Checker& checker) {
  Report& report = checker.report;
  say(report, L"-- A process ID that does not exist gives 2");
  // High above any ID Windows hands out, a multiple of 4 as real IDs are,
  // and below 2^31 so that the tool reads it as it stands; checked free.
  DWORD free = 0;
  for (DWORD candidate = 0x7FFFFFFC; candidate > 0x7FFFFF00 && !free; candidate -= 4) {
    if (!Handle(OpenProcess(queryAccess, FALSE, candidate))) free = candidate;
  }
  if (!free) return judge(report, L"road", cannotTell, L"no process ID known to be free");
  const wchar_t* const modes[] = {L"boost", L"unboost"};
  for (const wchar_t* mode : modes) {
    wchar_t arguments[64];
    format(arguments, L"%ls %lu", mode, free);
    judge(report, L"exit code",
          verdicts::exitCode(runTool(checker, nullptr, arguments, verdicts::toolNotOpened),
                             verdicts::toolNotOpened));
  }
}

void roadBoostAndUnboost(Checker& checker, const Facts& facts, TargetKind kind) {
  Report& report = checker.report;
  Target target = startTarget(checker, kind, nullptr);
  say(report, L"-- boost of %ls at normal",
      kind == d3d11Target ? L"a target with a Direct3D 11 device" : L"a target");
  if (!target.id) return judge(report, L"road", cannotTell, L"no target started");
  if (kind == d3d11Target) {
    say(report, L"  its device: %hs (0x%08lx)", target.driver, target.result);
  }
  wchar_t arguments[64];
  const wchar_t* const runs[] = {arguments};
  format(arguments, L"boost %lu", target.id);
  if (!facts.platform.privilege.held) {
    judge(report, L"privilege", cannotTell,
          L"the checker's token lacks the base-priority privilege, so the boost would show the "
          L"elevation prompt; run the checker as an administrator");
  } else {
    const verdicts::GpuExpectation boost =
        verdicts::expectBoost(facts.platform.setClass, facts.platform.getClass, facts.gpu[kind]);
    travel(checker, facts, target, nullptr, false, runs, 1,
           boost.code == verdicts::toolDone ? boosted : untouched(boost.code, boost.setFails));
  }

  say(report, L"-- unboost of that target");
  // Raised by the checker first where the boost did not, so that the
  // restore shows.
  if (GetPriorityClass(target.process.get()) != HIGH_PRIORITY_CLASS) {
    SetPriorityClass(target.process.get(), HIGH_PRIORITY_CLASS);
    say(report, L"  (the checker set the CPU class to high first)");
  }
  format(arguments, L"unboost %lu", target.id);
  const verdicts::GpuExpectation unboost =
      verdicts::expectUnboost(facts.platform.setClass, facts.platform.getClass, facts.gpu[kind]);
  Expected expected = restored;
  expected.code = unboost.code;
  expected.setFails = unboost.setFails;
  travel(checker, facts, target, nullptr, false, runs, 1, expected);
  finishTarget(target);
}

void roadWithoutPrivilege(Checker& checker, const Facts& facts, bool relay) {
  Report& report = checker.report;
  say(report, L"-- %ls from a token without the base-priority privilege%ls",
      relay ? L"boost" : L"boost-elevated", relay ? L" (the relay)" : L"");
  // An administrator's programs run with the linked, limited token: where
  // the checker has one, the relay starts from it, as a real user's would.
  if (relay && facts.platform.elevatedWithLinkedToken) {
    const wchar_t* why = nullptr;
    const Handle limited = limitedToken(why);
    if (limited) {
      const Identity identity = {limited.get(), true,
                                 L"the linked, limited token (CreateProcessWithTokenW)"};
      why = roadFrom(checker, facts, relay, identity);
      if (!why) return;
    }
    say(report, L"  the linked, limited token was not used: %ls", why);
  }
  fromRestrictedToken(checker, facts, relay);
}

}  // namespace check
