// morvane-boost: raises another process's GPU and CPU scheduling priority
// ("boost"), or puts it back ("unboost"). Its exit code is its only output.
//
//   morvane-boost boost|unboost <process id>

#include <windows.h>
#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

namespace {

// The exit codes, the tool's whole output. A relaunched copy's own code is
// passed on unchanged besides these.
enum ExitCode : int {
  exitDone = 0,              // GPU class set and confirmed; CPU class and throttling follow
  exitNotOpened = 2,         // target not opened; nothing changed
  exitPrivilegeRefused = 3,  // boost refused for want of the privilege; nothing changed
  exitNotConfirmed = 4,      // GPU class not set or not confirmed
  exitUsage = 5,             // bad command line; nothing touched
  exitPromptDeclined = 10,   // the user said no to the elevation prompt
  exitNoCopy = 11,           // no elevated copy, or its exit code unreadable
};

// What gdi32 exports for GPU scheduling but mingw-w64 does not declare.
typedef LONG NTSTATUS;
enum D3DKMT_SCHEDULINGPRIORITYCLASS : int {
  D3DKMT_SCHEDULINGPRIORITYCLASS_NORMAL = 2,
  D3DKMT_SCHEDULINGPRIORITYCLASS_REALTIME = 5,
};
typedef NTSTATUS(APIENTRY* SetSchedulingClassFn)(HANDLE, D3DKMT_SCHEDULINGPRIORITYCLASS);
typedef NTSTATUS(APIENTRY* GetSchedulingClassFn)(HANDLE, D3DKMT_SCHEDULINGPRIORITYCLASS*);
typedef BOOL(WINAPI* SetProcessInformationFn)(HANDLE, PROCESS_INFORMATION_CLASS, LPVOID, DWORD);

const NTSTATUS statusSuccess = 0;
const NTSTATUS statusPrivilegeNotHeld = static_cast<NTSTATUS>(0xC0000061UL);

// The longest path Windows can hand back, terminator included.
const DWORD longestPath = 32768;

// Sets the target's GPU scheduling class (realtime to boost, normal to
// unboost), confirms it by reading it back, and then raises or restores the
// CPU class and power throttling. A boost changes the CPU class and
// throttling only once realtime is confirmed; an unboost always restores them.
// Returns exitDone, exitNotOpened, exitPrivilegeRefused (boost only) or
// exitNotConfirmed.
int applyClass(unsigned long processId, bool boost) {
  HANDLE target =
      OpenProcess(PROCESS_SET_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
  if (!target) {
    return exitNotOpened;
  }

  if (boost) {
    // Best effort: without the privilege the set call below is refused, and
    // that refusal decides.
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
      TOKEN_PRIVILEGES privilege = {};
      privilege.PrivilegeCount = 1;
      privilege.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
      if (LookupPrivilegeValueW(nullptr, L"SeIncreaseBasePriorityPrivilege",
                                &privilege.Privileges[0].Luid)) {
        AdjustTokenPrivileges(token, FALSE, &privilege, sizeof privilege, nullptr, nullptr);
      }
      CloseHandle(token);
    }
  }

  // Looked up at run time so that the tool still starts on systems without
  // them. gdi32 is a load-time import, so the module is always there; a
  // look-up comes back null when this gdi32 lacks the entry (Wine's, or a
  // Windows without GPU scheduling). The detour through void (*)() is the
  // cast GCC accepts between unrelated function types.
  const HMODULE gdi = GetModuleHandleW(L"gdi32.dll");
  const SetSchedulingClassFn setClass = reinterpret_cast<SetSchedulingClassFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(gdi, "D3DKMTSetProcessSchedulingPriorityClass")));
  const GetSchedulingClassFn getClass = reinterpret_cast<GetSchedulingClassFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(gdi, "D3DKMTGetProcessSchedulingPriorityClass")));

  const D3DKMT_SCHEDULINGPRIORITYCLASS wanted =
      boost ? D3DKMT_SCHEDULINGPRIORITYCLASS_REALTIME : D3DKMT_SCHEDULINGPRIORITYCLASS_NORMAL;
  int result = exitNotConfirmed;
  if (setClass) {
    const NTSTATUS status = setClass(target, wanted);
    // No class is -1, so a read that writes nothing counts as a mismatch; the
    // get call's own status is therefore not needed.
    D3DKMT_SCHEDULINGPRIORITYCLASS readBack = static_cast<D3DKMT_SCHEDULINGPRIORITYCLASS>(-1);
    if (getClass) {
      getClass(target, &readBack);
    }
    if (status == statusPrivilegeNotHeld && boost) {
      result = exitPrivilegeRefused;
    } else if (status == statusSuccess && readBack == wanted) {
      result = exitDone;
    } else if (status == statusSuccess && boost) {
      // Accepted but not confirmed: undo to normal (best effort; the earlier
      // class is never read, so normal is the only safe value).
      setClass(target, D3DKMT_SCHEDULINGPRIORITYCLASS_NORMAL);
    }
  }

  // The GPU class is the gate for a boost; an unboost restores regardless.
  if (!boost || result == exitDone) {
    // Best effort: the GPU outcome has already decided the exit code.
    SetPriorityClass(target, boost ? HIGH_PRIORITY_CLASS : NORMAL_PRIORITY_CLASS);
    const SetProcessInformationFn setInformation =
        reinterpret_cast<SetProcessInformationFn>(reinterpret_cast<void (*)()>(
            GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetProcessInformation")));
    if (setInformation) {
      // A boost tells the system never to slow the target down nor ignore its
      // timer-resolution requests; an unboost hands both back to the system.
      PROCESS_POWER_THROTTLING_STATE throttling = {};
      throttling.Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION;
      throttling.ControlMask = boost ? PROCESS_POWER_THROTTLING_EXECUTION_SPEED |
                                           PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION
                                     : 0;
      throttling.StateMask = 0;
      if (!setInformation(target, ProcessPowerThrottling, &throttling, sizeof throttling) &&
          boost) {
        // Windows 10 knows no timer-resolution bit and rejects the whole
        // record, so ask for full execution speed alone (best effort).
        throttling.ControlMask = PROCESS_POWER_THROTTLING_EXECUTION_SPEED;
        setInformation(target, ProcessPowerThrottling, &throttling, sizeof throttling);
      }
    }
  }

  CloseHandle(target);
  return result;
}

// Starts this executable again through the elevation prompt with
// "<mode> <process id>" and waits for it without a time limit. Returns the
// copy's exit code, exitPromptDeclined, exitNoCopy, or exitNotOpened when the
// target has already ended.
int relaunchElevated(const wchar_t* mode, unsigned long processId) {
  // Held until the copy has ended: while a handle to the target is open,
  // Windows does not give its ID to another process, so the copy (which
  // starts only once the prompt is answered) boosts this same target.
  HANDLE pin = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
  if (!pin) {
    return exitNotOpened;  // the target has ended: nothing to boost, nothing launched
  }

  int result = exitNoCopy;
  // Sized for the longest path there is: launching a cut-short path would
  // elevate some other file, so a path that fills the buffer is refused.
  wchar_t path[longestPath];
  const DWORD length = GetModuleFileNameW(nullptr, path, longestPath);
  if (length != 0 && length < longestPath) {
    // At most 14 + 1 + 10 characters; the terminator is set whatever happens.
    wchar_t parameters[64];
    _snwprintf(parameters, 63, L"%s %lu", mode, processId);
    parameters[63] = L'\0';

    // The path goes in lpFile whole, so spaces in it need no quoting.
    SHELLEXECUTEINFOW launch = {};
    launch.cbSize = sizeof launch;
    // No error box on a failed launch: it would block an unattended caller.
    launch.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    launch.lpVerb = L"runas";
    launch.lpFile = path;
    launch.lpParameters = parameters;
    launch.nShow = SW_HIDE;
    if (!ShellExecuteExW(&launch)) {
      result = GetLastError() == ERROR_CANCELLED ? exitPromptDeclined : exitNoCopy;
    } else if (launch.hProcess) {
      // After a failed wait the copy may still run, and its code would read
      // as STILL_ACTIVE (259): that is no exit code to pass on.
      DWORD exitCode = exitNoCopy;
      if (WaitForSingleObject(launch.hProcess, INFINITE) == WAIT_OBJECT_0) {
        // Left at exitNoCopy when the copy's code cannot be read.
        GetExitCodeProcess(launch.hProcess, &exitCode);
      }
      CloseHandle(launch.hProcess);
      result = static_cast<int>(exitCode);
    }
  }

  CloseHandle(pin);
  return result;
}

}  // namespace

// Reads "<mode> <process id>" from the runtime's argument vector (the four
// parameters carry nothing the tool needs) and returns the exit code.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  const int argc = *__p___argc();
  wchar_t** const argv = *__p___wargv();
  if (argc <= 2) {
    return exitUsage;
  }
  // _wtoi stops at the first non-digit; a negative ID wraps modulo 2^32. It
  // clamps values past 2^31 - 1: "4294967291" reads as 2147483647, so a
  // wrapped "-5" does not survive the relaunch's parameters. Windows process
  // IDs stay far below 2^31, so no real target is affected.
  const DWORD processId = static_cast<DWORD>(_wtoi(argv[2]));
  if (processId == 0) {
    return exitUsage;
  }

  const wchar_t* const mode = argv[1];
  const bool elevated = wcscmp(mode, L"boost-elevated") == 0;
  if (!elevated && wcscmp(mode, L"boost") != 0) {
    return wcscmp(mode, L"unboost") == 0 ? applyClass(processId, false) : exitUsage;
  }
  const int result = applyClass(processId, true);
  // The elevated copy never relaunches, so there is at most one.
  return result == exitPrivilegeRefused && !elevated
             ? relaunchElevated(L"boost-elevated", processId)
             : result;
}
