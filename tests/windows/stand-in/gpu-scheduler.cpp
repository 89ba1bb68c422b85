// Test-only stand-in for Windows' GPU scheduler under Wine, built as a
// gdi32.dll that forwards everything else to Wine's own gdi32 (copied into
// the prefix as wine-gdi32.dll). It answers the two scheduling-class calls as
// the test scripts it (see script.h for the copies and the log):
//
//   SET        statuses of the successive set calls, comma separated; the
//              last one repeats (default 0)
//   GET        what the get call writes: "set" (the class of the last
//              accepted set call, normal at first; the default), a class
//              number, or "none" (nothing, with status 0xC0000001)
//   EXIT       ends the process with this code at the first set call, once
//              logged
//   MOVE_TOOL  at the first set call, moves the running executable to this
//              Windows path, so that starting it again fails for real
//
// Its log fields: the call (set or get), the target's process ID, the class
// (or none) and the status.
#include "script.h"

namespace {

const LONG statusUnsuccessful = static_cast<LONG>(0xC0000001UL);
const int normalClass = 2;

void recordCall(const char* call, HANDLE target, const char* priorityClass, LONG status) {
  char fields[96];
  snprintf(fields, sizeof fields, "%s\t%lu\t%s\t0x%08lx", call, GetProcessId(target), priorityClass,
           static_cast<unsigned long>(status));
  record(fields);
}

// What the scheduler has been told so far in this process.
struct Scheduler {
  int setCalls = 0;
  int priorityClass = normalClass;
};

Scheduler& scheduler() {
  static Scheduler state;
  return state;
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

}  // namespace

extern "C" LONG APIENTRY setSchedulingClass(HANDLE process, int priorityClass) {
  Scheduler& state = scheduler();
  const LONG status = nthStatus(state.setCalls++);
  char text[16];
  snprintf(text, sizeof text, "%d", priorityClass);
  recordCall("set", process, text, status);
  if (state.setCalls == 1) {
    if (const wchar_t* destination = setting(L"MOVE_TOOL")) {
      wchar_t self[MAX_PATH];
      if (GetModuleFileNameW(nullptr, self, MAX_PATH)) MoveFileW(self, destination);
    }
    if (const wchar_t* code = setting(L"EXIT")) ExitProcess(wcstoul(code, nullptr, 0));
  }
  if (status == 0) state.priorityClass = priorityClass;
  return status;
}

extern "C" LONG APIENTRY getSchedulingClass(HANDLE process, int* priorityClass) {
  const wchar_t* const answer = setting(L"GET");
  if (answer && wcscmp(answer, L"none") == 0) {
    recordCall("get", process, "none", statusUnsuccessful);
    return statusUnsuccessful;
  }
  *priorityClass =
      answer && wcscmp(answer, L"set") != 0 ? _wtoi(answer) : scheduler().priorityClass;
  char text[16];
  snprintf(text, sizeof text, "%d", *priorityClass);
  recordCall("get", process, text, 0);
  return 0;
}
