// Starting and ending the checker's child processes: who they run as, what
// others may do to them (their security descriptor), the job that ends them
// all, and watching the processes that a child starts.
#pragma once

#include "checker.h"
#include "handle.h"
#include "tokens.h"

namespace check {

// Who a child runs as: the checker's own token (no identity), a restricted
// copy of it (CreateProcessAsUserW), or the linked token of an elevated
// administrator, which only the logon service starts a process with
// (CreateProcessWithTokenW).
struct Identity {
  HANDLE token;
  bool logonService;
  const wchar_t* name;  // as the report names it
};

// Grants the process's user only `granted`: a tool that asks for more is
// refused. The handle the checker got from CreateProcess keeps its full
// access.
bool restrictAccess(HANDLE process, DWORD granted);

// What the targets grant: the tool's access and SYNCHRONIZE. Wine adds
// PROCESS_SET_LIMITED_INFORMATION (0x2000, which mingw-w64 leaves out) to a
// request for PROCESS_SET_INFORMATION, so where the tool's own request is
// refused the targets grant that too.
const DWORD targetAccess = toolAccess | SYNCHRONIZE;
const DWORD setLimitedInformation = 0x2000;

// A process the checker started, in its job, with its output caught.
struct Child {
  Handle process, thread, output;  // output: the read end of its standard output
  bool started;
  bool ended;  // within the time given
  DWORD exitCode;
  DWORD error;     // why it did not start
  DWORD jobError;  // why it is not in the job (0: it is); it is then ended by hand
  char text[512];
};

// Starts a command line suspended in `job`, as `identity` (null: the
// checker's own token), so that it can be prepared before it runs.
Child startChild(HANDLE job, const Identity* identity, const wchar_t* commandLine);
// Lets it run, and waits up to `wait` for it to end, or only for its first
// line of output when `untilLine` is set.
void runChild(Child& child, DWORD wait, bool untilLine);
// Ends it, if it still runs.
void finishChild(Child& child);
// A child that is run to its end, with nothing done to it on the way.
Child runToEnd(HANDLE job, const Identity* identity, const wchar_t* commandLine, DWORD wait);

enum TargetKind { plainTarget, d3d11Target };

// A target (a copy of the checker that waits): the handle that CreateProcess
// gave (full access, whatever its security descriptor lets others do), its ID
// (0 when no target started), and what it announced.
struct Target {
  Handle process;
  DWORD id;
  DWORD granted;         // what others may do to it
  unsigned long result;  // the Direct3D 11 device's HRESULT
  char driver[16];       // the driver type the device was made with: hardware, WARP or none
};

// Starts a target with access for others restricted to what the tool needs.
// A start can fail before the program runs (under Wine, now and then, an
// address-space clash), so a target that ends without announcing itself is
// started again, twice at the most; after that the report says why and the
// target's ID is 0.
Target startTarget(Checker& checker, TargetKind kind, const Identity* identity);
// Ends the target.
void finishTarget(Target& target);

// Runs a command line as `identity` and watches for the processes it starts:
// in a job of its own, whose completion port reports each of them, and in
// snapshots of processes, where a child of the first made after it from
// `image` counts too (whether the elevation service starts a copy in its
// caller's job is not documented). Waits up to `wait`. Fills `sight`: the
// first process's token, and each copy's arguments (right when they are
// `expected`; with `onlyExpected` only such copies count), token, job and
// exit code. Returns the first process's exit code, or toolDidNotEnd.
long runWatched(const Identity& identity, const wchar_t* commandLine, DWORD wait,
                const wchar_t* image, const wchar_t* expected, bool onlyExpected,
                verdicts::RelaySight& sight);

}  // namespace check
