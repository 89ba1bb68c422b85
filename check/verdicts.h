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
  wchar_t reason[320];  // empty for "as expected" only when nothing is worth saying
};

// GPU scheduling classes, as the tool names them.
const int gpuNormal = 2;
const int gpuRealtime = 5;
// CPU priority classes (NORMAL_PRIORITY_CLASS, HIGH_PRIORITY_CLASS).
const unsigned long cpuNormal = 0x20;
const unsigned long cpuHigh = 0x80;
// The status of a refusal for want of a privilege, the one the tool relays
// on; and the integrity level of an elevated token.
const unsigned long statusPrivilegeNotHeld = 0xC0000061ul;
const unsigned long integrityHigh = 0x3000;
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
// setFails: the status with which the platform facts saw this Windows refuse
// to set the class on such a target (0: it took it); the class is then
// never judged as expected.
Judgement gpuClass(const GpuReading& after, int expected, unsigned long setFails = 0);
Judgement cpuClass(const CpuReading& after, unsigned long expected);

enum ThrottlingWanted { throttlingUnchanged, throttlingOff, throttlingHandedBack };
// tookTimerBit: the platform-facts probe saw this kernel take {1, 0x5, 0}; a
// boost must then leave exactly that record, and {1, 0x1, 0} otherwise.
Judgement throttling(ThrottlingWanted wanted, const ThrottlingReading& before,
                     const ThrottlingReading& after, bool tookTimerBit);

// What the platform facts saw when the checker, with the privilege enabled,
// set a target's GPU class itself: the status of each set.
struct GpuProbe {
  bool run;
  unsigned long realtime, normal;
};
// What a boost or an unboost on such a target must give: 0, or 4 where the
// entries are missing or the probe saw the set fail for another reason than
// the privilege (setFails, that status; 0 otherwise). Never derived from
// what the tool itself answered.
struct GpuExpectation {
  long code;
  unsigned long setFails;
};
GpuExpectation expectBoost(bool setEntry, bool getEntry, const GpuProbe& probe);
GpuExpectation expectUnboost(bool setEntry, bool getEntry, const GpuProbe& probe);

// PROCESS_ALL_ACCESS asked of a target that grants only the tool's access:
// refused is how a tool that asks for more is caught.
Judgement accessRules(bool granted, unsigned long error);

// A token as the checker read it: its elevation type (1 default, 2 full, 3
// limited) and integrity level (the label's RID, 0x2000 medium, 0x3000 high).
struct TokenLevel {
  bool read;
  int type;
  unsigned long integrity;
};
// Raised by elevation: full, or default at high integrity or above.
bool raised(const TokenLevel& level);

// One process that the relay's first copy started, as the checker saw it.
struct CopySight {
  bool byJob, byParent;  // reported by the job; found as the first copy's child
  bool inJobRead, inJob;
  bool argumentsRead, argumentsRight;  // right: those the copy must be given
  wchar_t arguments[128];
  bool codeRead;
  unsigned long code;  // its own exit code
  TokenLevel level;
};

// What the checker saw of the relay: the first copy's token and the copies
// it started, found through the job's completion port or as its children.
struct RelaySight {
  bool jobSees;               // the job reported the first copy
  unsigned long jobError;     // why the first copy is not in the job (0: it is)
  bool parentSees;            // a snapshot of processes listed the first copy
  bool canSee;                // either way
  wchar_t cannotSeeWhy[160];  // when not
  TokenLevel first;           // the first copy's token
  int copies;                 // the copies seen; the first four are described
  CopySight copy[4];
};

// The road "boost from a token without the base-priority privilege": the
// first copy's exit code, what was seen of its copies, the target's classes
// afterwards, and setFails as for gpuClass.
Judgement relay(long code, const RelaySight& sight, const GpuReading& gpu, const CpuReading& cpu,
                unsigned long setFails = 0);

// Whether the relay's copy was raised by the elevation prompt: by its token,
// or, where that cannot be read, by its effect (a 0 that boosted the
// target). `probe` is the checker's own "runas" copy, started the same way,
// where it was run (null otherwise): a copy that "runas" does not raise here
// either leaves the relay's own unknown.
Judgement elevation(long code, const RelaySight& sight, bool targetBoosted,
                    const RelaySight* probe);

// Whether a verdict on `item` fails the check: "differs" always; "cannot
// tell here" too in strict mode, unless the item is one of `allowed`
// (comma separated item words, e.g. "throttling,relay").
bool fails(Verdict verdict, const wchar_t* item, bool strict, const wchar_t* allowed);
// Whether `item` is one of the comma-separated `allowed`.
bool listed(const wchar_t* item, const wchar_t* allowed);

const wchar_t* gpuClassName(int priorityClass);
const wchar_t* cpuClassName(unsigned long priorityClass);
const wchar_t* elevationTypeName(int type);
const wchar_t* integrityName(unsigned long integrity);

}  // namespace verdicts
