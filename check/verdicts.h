// The checker's verdict rules: what a road expected and what the checker saw
// in, a verdict and its reason out. Plain C++ without Windows headers, so
// that the host tests run the very rules the checker applies.
#pragma once

#include <stddef.h>

namespace verdicts {

enum Verdict { asExpected, differs, cannotTell };

// The tool's exit codes, as its users read them, and how the checker marks a
// run that did not end.
enum ToolCode : long {
  toolDone = 0,
  toolNotOpened = 2,
  toolPrivilegeRefused = 3,
  toolNotConfirmed = 4,
  toolUsage = 5,
  toolDeclined = 10,
  toolNoCopy = 11,
  toolDidNotEnd = -1,  // not started, or not ended in time
};

struct Judgement {
  Verdict verdict;
  wchar_t reason[256];  // empty for "as expected" only when nothing is worth saying
};

// GPU scheduling classes, as the tool names them.
const int gpuNormal = 2;
const int gpuRealtime = 5;
// CPU priority classes (NORMAL_PRIORITY_CLASS, HIGH_PRIORITY_CLASS).
const unsigned long cpuNormal = 0x20;
const unsigned long cpuHigh = 0x80;
// Power throttling: execution speed, and the timer-resolution bit.
const unsigned long executionSpeed = 0x1;
const unsigned long ignoreTimerResolution = 0x4;

// What the checker read back from a target. `read` is false when the
// platform gave no answer; `entry` false when it has no call to ask with.
struct GpuReading {
  bool entry, read;
  unsigned long status;
  int value;
};
struct CpuReading {
  bool read;
  unsigned long error, value;
};
struct ThrottlingReading {
  bool entry, read;
  unsigned long error, version, control, state;
};

Judgement exitCode(long seen, long expected);
Judgement gpuClass(const GpuReading& after, int expected);
Judgement cpuClass(const CpuReading& after, unsigned long expected);

enum ThrottlingWanted { throttlingUnchanged, throttlingOff, throttlingHandedBack };
// tookTimerBit: the platform-facts probe saw this kernel take {1, 0x5, 0}; a
// boost must then leave exactly that record, and {1, 0x1, 0} otherwise.
Judgement throttling(ThrottlingWanted wanted, const ThrottlingReading& before,
                     const ThrottlingReading& after, bool tookTimerBit);

// What the checker saw of the relay's copies: processes started in the job
// of the first copy, with their command lines.
struct RelaySight {
  bool canSee;                  // new processes in the job are reported here
  const wchar_t* cannotSeeWhy;  // when not
  int copies;                   // processes the first copy started
  bool rightParameters;         // every copy was given "boost-elevated <target ID>"
  wchar_t parameters[128];      // what the first copy seen was given (its arguments)
  bool copyCodeRead;
  unsigned long copyCode;  // the copy's own exit code, when read
};

// The road "boost from a token without the base-priority privilege": the
// first copy's exit code, what was seen
// of its copies, and the target's classes afterwards.
Judgement relay(long code, const RelaySight& sight, const GpuReading& gpu, const CpuReading& cpu);

// Whether a verdict on `item` fails the check: "differs" always; "cannot
// tell here" too in strict mode, unless the item is one of `allowed`
// (comma separated item words, e.g. "throttling,relay").
bool fails(Verdict verdict, const wchar_t* item, bool strict, const wchar_t* allowed);
// Whether `item` is one of the comma-separated `allowed`.
bool listed(const wchar_t* item, const wchar_t* allowed);

const wchar_t* gpuClassName(int priorityClass);
const wchar_t* cpuClassName(unsigned long priorityClass);

}  // namespace verdicts
