// Test-only stand-in for Windows' GPU scheduler under Wine, built as a
// gdi32.dll that forwards everything else to Wine's own gdi32 (copied into
// the prefix as wine-gdi32.dll). It answers the two scheduling-class calls.
//
// What a token decides, it decides as the kernel does: a set to realtime is
// refused with 0xC0000061 unless the caller's own token has
// SeIncreaseBasePriorityPrivilege enabled. Wine's tokens hold it disabled, so
// a caller must enable it, as the tool does.
//
// Each target's class is kept in a small file in the prefix's temporary
// folder, keyed by its process ID and start time, so that every process (the
// tool, its elevated copy, a checker reading back) sees the same class, and a
// reused process ID starts at normal.
//
// The rest comes from the test's script (see script.h for the copies and the
// log):
//
//   SET        statuses of the successive set calls, comma separated; the
//              last one repeats (default 0); a refusal by token wins
//   GET        what the get call writes: "set" (the target's class, normal
//              at first; the default), a class number, or "none" (nothing,
//              with status 0xC0000001)
//   EXIT       ends the process with this code at the first set call, once
//              logged
//   MOVE_TOOL  at the first set call, moves the running executable to this
//              Windows path, so that starting it again fails for real
//   END_TARGET at the first set call, ends the target ("yes"), as a game
//              that quits while its boost waits for elevation
//
// Its log fields: the call (set or get), the target's process ID, the class
// (or none) and the status.
#include "script.h"

namespace {

const LONG statusUnsuccessful = static_cast<LONG>(0xC0000001UL);
const LONG statusPrivilegeNotHeld = static_cast<LONG>(0xC0000061UL);
const int normalClass = 2;
const int realtimeClass = 5;

void recordCall(const char* call, HANDLE target, const char* priorityClass, LONG status) {
  char fields[96];
  snprintf(fields, sizeof fields, "%s\t%lu\t%s\t0x%08lx", call, GetProcessId(target), priorityClass,
           static_cast<unsigned long>(status));
  record(fields);
}

// How many set calls this process has made; the script's statuses go by it.
int& setCalls() {
  static int count = 0;
  return count;
}

LONG nthStatus(int n) {
  const wchar_t* list = setting(L"SET");
  LONG status = 0;
  for (int index = 0; list && *list; ++index) {
    wchar_t* end = nullptr;
    status = static_cast<LONG>(wcstoul(list, &end, 0));
    if (index == n || *end != L',') break;
    list = end + 1;
  }
  return status;
}

bool callerHasPrivilegeEnabled() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  LUID privilege = {};
  unsigned char buffer[4096];
  DWORD size = 0;
  bool enabled = false;
  if (LookupPrivilegeValueW(nullptr, L"SeIncreaseBasePriorityPrivilege", &privilege) &&
      GetTokenInformation(token, TokenPrivileges, buffer, sizeof buffer, &size)) {
    const TOKEN_PRIVILEGES* held = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer);
    for (DWORD index = 0; index < held->PrivilegeCount; ++index) {
      const LUID_AND_ATTRIBUTES& entry = held->Privileges[index];
      if (entry.Luid.LowPart == privilege.LowPart && entry.Luid.HighPart == privilege.HighPart &&
          (entry.Attributes & SE_PRIVILEGE_ENABLED)) {
        enabled = true;
      }
    }
  }
  CloseHandle(token);
  return enabled;
}

// The file that holds the target's class.
void stateFile(HANDLE target, wchar_t (&path)[MAX_PATH]) {
  FILETIME created = {}, unused = {};
  GetProcessTimes(target, &created, &unused, &unused, &unused);
  wchar_t folder[MAX_PATH];
  if (!GetTempPathW(MAX_PATH, folder)) folder[0] = L'\0';
  _snwprintf(path, MAX_PATH - 1, L"%smorvane-standin-gpu-%lu-%08lx%08lx", folder,
             GetProcessId(target), created.dwHighDateTime, created.dwLowDateTime);
  path[MAX_PATH - 1] = L'\0';
}

int targetClass(HANDLE target) {
  wchar_t path[MAX_PATH];
  stateFile(target, path);
  int priorityClass = normalClass;
  if (FILE* const file = _wfopen(path, L"r")) {
    if (fscanf(file, "%d", &priorityClass) != 1) priorityClass = normalClass;
    fclose(file);
  }
  return priorityClass;
}

void setTargetClass(HANDLE target, int priorityClass) {
  wchar_t path[MAX_PATH];
  stateFile(target, path);
  if (FILE* const file = _wfopen(path, L"w")) {
    fprintf(file, "%d\n", priorityClass);
    fclose(file);
  }
}

}  // namespace

extern "C" LONG APIENTRY setSchedulingClass(HANDLE process, int priorityClass) {
  const int call = setCalls()++;
  const LONG status = priorityClass == realtimeClass && !callerHasPrivilegeEnabled()
                          ? statusPrivilegeNotHeld
                          : nthStatus(call);
  char text[16];
  snprintf(text, sizeof text, "%d", priorityClass);
  recordCall("set", process, text, status);
  if (call == 0) {
    if (const wchar_t* destination = setting(L"MOVE_TOOL")) {
      wchar_t self[MAX_PATH];
      if (GetModuleFileNameW(nullptr, self, MAX_PATH)) MoveFileW(self, destination);
    }
    if (setting(L"END_TARGET")) {
      HANDLE ending = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, GetProcessId(process));
      if (ending) {
        TerminateProcess(ending, 1);
        WaitForSingleObject(ending, 10000);
        CloseHandle(ending);
      }
    }
    if (const wchar_t* code = setting(L"EXIT")) ExitProcess(wcstoul(code, nullptr, 0));
  }
  if (status == 0) setTargetClass(process, priorityClass);
  return status;
}

extern "C" LONG APIENTRY getSchedulingClass(HANDLE process, int* priorityClass) {
  const wchar_t* const answer = setting(L"GET");
  if (answer && wcscmp(answer, L"none") == 0) {
    recordCall("get", process, "none", statusUnsuccessful);
    return statusUnsuccessful;
  }
  *priorityClass = answer && wcscmp(answer, L"set") != 0 ? _wtoi(answer) : targetClass(process);
  char text[16];
  snprintf(text, sizeof text, "%d", *priorityClass);
  recordCall("get", process, text, 0);
  return 0;
}
