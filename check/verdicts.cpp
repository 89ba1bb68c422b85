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

Judgement gpuClass(const GpuReading& after, int expected) {
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

Judgement relay(long code, const RelaySight& sight, const GpuReading& gpu, const CpuReading& cpu) {
  switch (code) {
    case toolDone:
      if (sight.canSee && sight.copies > 0 && !sight.rightParameters) {
        return judged(differs, L"0, but the copy was given \"%ls\"", sight.parameters);
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
      if (!sight.canSee)
        return judged(cannotTell, L"3, and no copy can be seen here: %ls", sight.cannotSeeWhy);
      if (sight.copies == 0)
        return judged(differs, L"3, but no copy started: the tool did not relay");
      if (!sight.rightParameters) {
        return judged(differs, L"3, but the copy was given \"%ls\"", sight.parameters);
      }
      if (!sight.copyCodeRead) {
        return judged(cannotTell, L"3, from a copy given \"%ls\" whose own exit code was not seen",
                      sight.parameters);
      }
      if (sight.copyCode != 3) {
        return judged(differs, L"3, but the copy ended with %lu", sight.copyCode);
      }
      return judged(asExpected,
                    L"3: a copy given \"%ls\" was refused as well and its 3 passed on: it "
                    L"ran without the privilege, as the first did",
                    sight.parameters);
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
