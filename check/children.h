// Starting and ending the checker's child processes: who they run as
// (tokens), what others may do to them (their security descriptor), the job
// that ends them all, and watching the processes that a child starts.
#pragma once

#include <stdio.h>
#include <string.h>

#include "checker.h"

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

// Starts a command line suspended, its output to `output` (may be null).
bool startSuspended(const Identity* identity, const wchar_t* commandLine, HANDLE output,
                    PROCESS_INFORMATION& process);

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

// Enables (or disables) the privilege in the checker's own token, best
// effort. Enabled, the probes see what the tool sees once it has enabled it;
// the roads run with the token as it was, since a child starts with a copy of
// it and the tool must enable the privilege itself.
void enablePrivilege(bool enable = true);

// Whether the process's token holds the base-priority privilege at all.
bool holdsPrivilege(HANDLE process);

// Runs `work` with a restricted copy of the checker's token that lacks the
// privilege (null when none could be made). Creating a process with a
// restricted copy of one's own token needs no privilege.
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

// Runs `work` with the linked, limited token as a primary token, where the
// checker runs elevated with a split token: the token a real user's programs
// run with. Null, and why, where there is none or it cannot be used.
template <typename Work>
void withLimitedToken(Work work) {
  HANDLE token = nullptr, primary = nullptr;
  const wchar_t* why = L"the checker's token has no linked token";
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    TOKEN_LINKED_TOKEN linked = {};
    DWORD size = 0;
    if (GetTokenInformation(token, TokenLinkedToken, &linked, sizeof linked, &size)) {
      if (!DuplicateTokenEx(linked.LinkedToken, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation,
                            TokenPrimary, &primary)) {
        primary = nullptr;
        why = L"the linked token cannot be made a primary token";
      }
      CloseHandle(linked.LinkedToken);
    }
    CloseHandle(token);
  }
  work(primary, why);
  if (primary) CloseHandle(primary);
}

struct Child {
  bool started;
  bool ended;  // within the time given
  DWORD exitCode;
  DWORD error;  // why it did not start
  char output[512];
};

// Reads what the child has written so far, without blocking.
void drain(HANDLE pipe, Child& child);

// Starts a command line in the job, as `identity` (null: the checker's own
// token), and waits up to `wait` for it to end, or only for its first line of
// output when `untilLine` is set. `prepare` sees the process while it is
// still suspended; `work` sees it running (null when it did not start). It is
// ended after `work`.
template <typename Prepare, typename Work>
Child runChild(HANDLE job, const Identity* identity, const wchar_t* commandLine, DWORD wait,
               bool untilLine, Prepare prepare, Work work) {
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
  PROCESS_INFORMATION process = {};
  child.started = startSuspended(identity, commandLine, writeEnd, process);
  if (!child.started) child.error = GetLastError();
  CloseHandle(writeEnd);
  if (child.started) {
    // In the job before it runs, so that nothing it starts escapes.
    AssignProcessToJobObject(job, process.hProcess);
    prepare(process.hProcess);
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

// A child that is run to its end, with nothing done to it on the way.
inline Child runToEnd(HANDLE job, const Identity* identity, const wchar_t* commandLine,
                      DWORD wait) {
  return runChild(
      job, identity, commandLine, wait, false, [](HANDLE) {}, [](HANDLE, const Child&) {});
}

enum TargetKind { plainTarget, d3d11Target };

// A target as `withTarget` hands it on: the handle that CreateProcess gave
// (full access, whatever the target's security descriptor lets others do),
// its ID (0 when no target started), and what it announced.
struct Target {
  HANDLE process;
  DWORD id;
  DWORD granted;         // what others may do to it
  unsigned long result;  // the Direct3D 11 device's HRESULT
  char driver[16];       // the driver type the device was made with: hardware, WARP or none
};

// Starts a target (a copy of the checker that waits), with access for others
// restricted to what the tool needs, hands it to `work`, and ends it. A start
// can fail before the program runs (under Wine, now and then, an
// address-space clash), so a target that ends without announcing itself is
// started again, twice at the most.
template <typename Work>
void withTarget(Checker& checker, TargetKind kind, const Identity* identity, Work work) {
  wchar_t line[1024];
  _snwprintf(line, 1023, L"\"%ls\" --target %ls", checker.self,
             kind == d3d11Target ? L"d3d11" : L"plain");
  line[1023] = L'\0';
  const int tries = 3;
  bool ran = false;
  for (int attempt = 1; attempt <= tries && !ran; ++attempt) {
    DWORD granted = 0;
    const Child child = runChild(
        checker.job, identity, line, targetReadyWait, true,
        [&](HANDLE process) {
          granted = targetAccess;
          restrictAccess(process, granted);
          HANDLE asTheTool = OpenProcess(toolAccess, FALSE, GetProcessId(process));
          if (asTheTool) {
            CloseHandle(asTheTool);
          } else {
            granted |= setLimitedInformation;
            restrictAccess(process, granted);
          }
        },
        [&](HANDLE process, const Child& started) {
          Target target = {};
          target.granted = granted;
          if (!process || started.ended ||
              sscanf(started.output, "ready 0x%lx %15s", &target.result, target.driver) != 2) {
            return;
          }
          ran = true;
          target.process = process;
          target.id = GetProcessId(process);
          work(target);
        });
    if (!ran && (!child.started || !child.ended || attempt == tries)) {
      say(checker.report, L"  The target did not start (error %lu, exit code %lu, output \"%hs\").",
          child.error, child.exitCode, child.output);
      work(Target{});
      return;
    }
  }
}

// Runs a command line as `identity` in a job of its own whose completion
// port reports every process started in it, and waits up to `wait`. Fills
// `sight` with the processes that the first one started and what the first
// of them was given; `expected` is the arguments every one of them must
// have. Returns the first process's exit code, or -1 when it did not start
// or end in time.
long runWatched(const Identity& identity, const wchar_t* commandLine, DWORD wait,
                const wchar_t* expected, verdicts::RelaySight& sight);

}  // namespace check
