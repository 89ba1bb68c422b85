#include "verdicts.h"

#include <stdarg.h>
#include <wchar.h>

namespace verdicts {

namespace {

Judgement judged(Verdict verdict, const wchar_t* format, ...) {
  Judgement judgement = {};
  judgement.verdict = verdict;
  va_list arguments;
  va_start(arguments, format);
  vswprintf(judgement.reason, sizeof judgement.reason / sizeof *judgement.reason, format,
            arguments);
  va_end(arguments);
  return judgement;
}

}  // namespace

const wchar_t* gpuClassName(int priorityClass) {
  switch (priorityClass) {
    case 0:
      return L"idle";
    case 1:
      return L"below normal";
    case 2:
      return L"normal";
    case 3:
      return L"above normal";
    case 4:
      return L"high";
    case 5:
      return L"realtime";
    case -1:
      return L"nothing written";
    default:
      return L"unknown";
  }
}

const wchar_t* cpuClassName(unsigned long priorityClass) {
  switch (priorityClass) {
    case 0x40:
      return L"idle";
    case 0x4000:
      return L"below normal";
    case cpuNormal:
      return L"normal";
    case 0x8000:
      return L"above normal";
    case cpuHigh:
      return L"high";
    case 0x100:
      return L"realtime";
    default:
      return L"unknown";
  }
}

Judgement exitCode(long seen, long expected) {
  if (seen == toolDidNotEnd) return judged(differs, L"the tool did not run to its end");
  return judged(seen == expected ? asExpected : differs, L"%ld expected, %ld seen", expected, seen);
}

Judgement gpuClass(const GpuReading& after, int expected, unsigned long setFails) {
  if (setFails) {
    return judged(cannotTell,
                  L"the platform facts saw this Windows refuse the class on such a target with "
                  L"status 0x%08lx, so the tool cannot set it here",
                  setFails);
  }
  if (!after.entry) {
    return judged(cannotTell, L"gdi32 has no D3DKMTGetProcessSchedulingPriorityClass");
  }
  if (!after.read)
    return judged(cannotTell, L"the get call failed with status 0x%08lx", after.status);
  return judged(after.value == expected ? asExpected : differs, L"%ls expected, %ls seen",
                gpuClassName(expected), gpuClassName(after.value));
}

Judgement cpuClass(const CpuReading& after, unsigned long expected) {
  if (!after.read) return judged(cannotTell, L"GetPriorityClass failed (error %lu)", after.error);
  return judged(after.value == expected ? asExpected : differs, L"%ls expected, %ls seen",
                cpuClassName(expected), cpuClassName(after.value));
}

Judgement throttling(ThrottlingWanted wanted, const ThrottlingReading& before,
                     const ThrottlingReading& after, bool tookTimerBit) {
  const ThrottlingReading& unread = !after.read ? after : before;
  if (!after.read || (wanted == throttlingUnchanged && !before.read)) {
    if (!unread.entry) return judged(cannotTell, L"GetProcessInformation is absent");
    return judged(cannotTell,
                  L"GetProcessInformation(ProcessPowerThrottling) fails here (error %lu)",
                  unread.error);
  }
  unsigned long control = 0, state = 0;
  const wchar_t* what = L"";
  switch (wanted) {
    case throttlingUnchanged:
      control = before.control;
      state = before.state;
      what = L"unchanged";
      break;
    case throttlingOff:
      control = tookTimerBit ? executionSpeed | ignoreTimerResolution : executionSpeed;
      what = tookTimerBit
                 ? L"off, as this kernel takes the timer-resolution bit"
                 : L"off, execution speed alone, as this kernel refuses the timer-resolution bit";
      break;
    case throttlingHandedBack:
      what = L"handed back to the system";
      break;
  }
  const bool same = after.version == 1 && after.control == control && after.state == state;
  return judged(same ? asExpected : differs,
                L"%ls: {1, 0x%lx, 0x%lx} expected, {%lu, 0x%lx, 0x%lx} seen", what, control, state,
                after.version, after.control, after.state);
}

const wchar_t* elevationTypeName(int type) {
  switch (type) {
    case 1:
      return L"default";
    case 2:
      return L"full";
    case 3:
      return L"limited";
    default:
      return L"unknown";
  }
}

const wchar_t* integrityName(unsigned long integrity) {
  if (integrity >= 0x4000) return L"system";
  if (integrity >= integrityHigh) return L"high";
  if (integrity >= 0x2000) return L"medium";
  if (integrity >= 0x1000) return L"low";
  return L"untrusted";
}

GpuExpectation expectBoost(bool setEntry, bool getEntry, const GpuProbe& probe) {
  if (!setEntry || !getEntry) return {toolNotConfirmed, 0};
  // A refusal for the privilege is the checker's own want of it, not the
  // platform's answer for the tool.
  if (probe.run && probe.realtime != 0 && probe.realtime != statusPrivilegeNotHeld) {
    return {toolNotConfirmed, probe.realtime};
  }
  return {toolDone, 0};
}

GpuExpectation expectUnboost(bool setEntry, bool getEntry, const GpuProbe& probe) {
  if (!setEntry || !getEntry) return {toolNotConfirmed, 0};
  if (probe.run && probe.normal != 0) return {toolNotConfirmed, probe.normal};
  return {toolDone, 0};
}

Judgement accessRules(bool granted, unsigned long error) {
  if (granted) {
    return judged(cannotTell,
                  L"PROCESS_ALL_ACCESS was granted on a target that grants only the tool's "
                  L"access, so a tool that asks for more would not be caught here");
  }
  return judged(asExpected,
                L"PROCESS_ALL_ACCESS was refused (error %lu) on a target that grants only the "
                L"tool's access, as a tool that asks for more would be",
                error);
}

bool raised(const TokenLevel& level) {
  return level.read && (level.type == 2 || (level.type == 1 && level.integrity >= integrityHigh));
}

namespace {

// The first copy seen with arguments other than those it must be given.
const CopySight* wrongCopy(const RelaySight& sight) {
  for (int index = 0; index < sight.copies && index < 4; ++index) {
    if (sight.copy[index].argumentsRead && !sight.copy[index].argumentsRight) {
      return &sight.copy[index];
    }
  }
  return nullptr;
}

// A 3 (refused as well), or a 4 where the platform refuses the class: the
// copy must have been seen, with the right arguments, ending with that code.
Judgement passedOn(long code, const RelaySight& sight, unsigned long setFails) {
  if (!sight.canSee) {
    return judged(cannotTell, L"%ld, and no copy can be seen here: %ls", code, sight.cannotSeeWhy);
  }
  if (sight.copies == 0) {
    return judged(differs, L"%ld, but no copy started: the tool did not relay", code);
  }
  if (const CopySight* wrong = wrongCopy(sight)) {
    return judged(differs, L"%ld, but the copy was given \"%ls\"", code, wrong->arguments);
  }
  const CopySight& copy = sight.copy[0];
  if (!copy.argumentsRead) {
    return judged(cannotTell,
                  L"%ld, from a copy whose arguments could not be read (it may have ended first)",
                  code);
  }
  if (!copy.codeRead) {
    return judged(cannotTell, L"%ld, from a copy given \"%ls\" whose own exit code was not seen",
                  code, copy.arguments);
  }
  if (copy.code != static_cast<unsigned long>(code)) {
    return judged(differs, L"%ld, but the copy ended with %lu", code, copy.code);
  }
  if (code == toolNotConfirmed) {
    return judged(asExpected,
                  L"4: a copy given \"%ls\" was refused the class, as the platform facts saw "
                  L"this Windows refuse it (status 0x%08lx), and its 4 passed on",
                  copy.arguments, setFails);
  }
  return judged(asExpected,
                L"3: a copy given \"%ls\" was refused as well and its 3 passed on: it ran "
                L"without the privilege, as the first did",
                copy.arguments);
}

}  // namespace

Judgement relay(long code, const RelaySight& sight, const GpuReading& gpu, const CpuReading& cpu,
                unsigned long setFails) {
  switch (code) {
    case toolDone:
      if (const CopySight* wrong = wrongCopy(sight)) {
        return judged(differs, L"0, but the copy was given \"%ls\"", wrong->arguments);
      }
      if (!gpu.entry || !gpu.read || !cpu.read) {
        return judged(cannotTell,
                      L"0, but the target's classes cannot be read to see that it was boosted");
      }
      if (gpu.value != gpuRealtime || cpu.value != cpuHigh) {
        return judged(differs,
                      L"0, but the target is at GPU class %ls and CPU class %ls: the copy "
                      L"worked on something else",
                      gpuClassName(gpu.value), cpuClassName(cpu.value));
      }
      return judged(asExpected, L"0: the copy ran with the privilege and boosted the target");
    case toolPrivilegeRefused:
      return passedOn(code, sight, setFails);
    case toolNotConfirmed:
      if (setFails) return passedOn(code, sight, setFails);
      return judged(differs, L"%ld is not a code that this road can give", code);
    case toolDeclined:
      return judged(cannotTell, L"10: a person declined the elevation prompt");
    case toolNoCopy:
      return judged(differs, L"11: no elevated copy started");
    case toolDidNotEnd:
      return judged(differs, L"the tool did not run to its end");
    default:
      return judged(differs, L"%ld is not a code that this road can give", code);
  }
}

Judgement elevation(long code, const RelaySight& sight, bool targetBoosted,
                    const RelaySight* probe) {
  const TokenLevel& first = sight.first;
  if (!first.read) return judged(cannotTell, L"the first copy's token could not be read");
  if (raised(first)) {
    return judged(cannotTell,
                  L"the tool already ran elevated (%ls, %ls integrity), so no prompt could raise "
                  L"the copy",
                  elevationTypeName(first.type), integrityName(first.integrity));
  }
  if (code == toolDeclined) {
    return judged(cannotTell, L"10: the prompt was declined, so no copy ran");
  }
  const CopySight* copy = sight.copies > 0 ? &sight.copy[0] : nullptr;
  const bool copyRead = copy && copy->level.read;
  if (copyRead && raised(copy->level)) {
    return judged(asExpected, L"the copy ran %ls at %ls integrity, the first %ls at %ls",
                  elevationTypeName(copy->level.type), integrityName(copy->level.integrity),
                  elevationTypeName(first.type), integrityName(first.integrity));
  }
  const bool refusedAsTheFirst = !copyRead && code == toolPrivilegeRefused && copy &&
                                 copy->codeRead && copy->code == toolPrivilegeRefused;
  if (!copyRead && !refusedAsTheFirst) {
    if (code == toolDone && targetBoosted) {
      return judged(asExpected,
                    L"by its effect: the copy's token could not be read, but the copy boosted "
                    L"the target, which takes the privilege that the first copy was refused");
    }
    return judged(cannotTell, L"%ld, and no copy's token could be read to see it raised", code);
  }
  // Not raised: a relay that did not go through the elevation prompt, unless
  // "runas" raises nothing in this session at all.
  const CopySight* probed = probe && probe->copies > 0 ? &probe->copy[0] : nullptr;
  if (probed && probed->level.read && !raised(probed->level)) {
    return judged(cannotTell,
                  L"runas does not elevate here: the checker's own \"runas\" copy ran %ls at %ls "
                  L"integrity",
                  elevationTypeName(probed->level.type), integrityName(probed->level.integrity));
  }
  if (copyRead) {
    return judged(differs,
                  L"the copy ran %ls at %ls integrity, as the first did: not raised, so the relay "
                  L"did not go through the elevation prompt",
                  elevationTypeName(copy->level.type), integrityName(copy->level.integrity));
  }
  return judged(differs,
                L"the copy was refused for the privilege as the first (%ls, %ls integrity) was: "
                L"not raised, so the relay did not go through the elevation prompt",
                elevationTypeName(first.type), integrityName(first.integrity));
}

bool listed(const wchar_t* item, const wchar_t* allowed) {
  const size_t length = wcslen(item);
  for (const wchar_t* entry = allowed; entry && *entry;) {
    const wchar_t* end = wcschr(entry, L',');
    const size_t size = end ? static_cast<size_t>(end - entry) : wcslen(entry);
    if (size == length && wcsncmp(entry, item, length) == 0) return true;
    entry = end ? end + 1 : entry + size;
  }
  return false;
}

bool fails(Verdict verdict, const wchar_t* item, bool strict, const wchar_t* allowed) {
  return verdict == differs || (verdict == cannotTell && strict && !listed(item, allowed));
}

}  // namespace verdicts
