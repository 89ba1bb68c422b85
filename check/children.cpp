#include "children.h"

#include <tlhelp32.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include <utility>

namespace check {

namespace {

bool startSuspended(const Identity* identity, const wchar_t* commandLine, HANDLE output,
                    PROCESS_INFORMATION& process) {
  wchar_t line[1024];
  format(line, L"%ls", commandLine);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  if (output) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    startup.hStdError = output;
  }
  const DWORD flags = CREATE_SUSPENDED | CREATE_NO_WINDOW;
  const BOOL inherit = output != nullptr;
  if (!identity || !identity->token) {
    return CreateProcessW(nullptr, line, nullptr, nullptr, inherit, flags, nullptr, nullptr,
                          &startup, &process);
  }
  if (identity->logonService) {
    return CreateProcessWithTokenW(identity->token, 0, nullptr, line, flags, nullptr, nullptr,
                                   &startup, &process);
  }
  return CreateProcessAsUserW(identity->token, nullptr, line, nullptr, nullptr, inherit, flags,
                              nullptr, nullptr, &startup, &process);
}

// Reads what the child has written so far, without blocking.
void drain(Child& child) {
  size_t length = strlen(child.text);
  DWORD available = 0;
  while (length + 1 < sizeof child.text &&
         PeekNamedPipe(child.output.get(), nullptr, 0, nullptr, &available, nullptr) &&
         available > 0) {
    DWORD got = 0;
    const DWORD room = static_cast<DWORD>(sizeof child.text - 1 - length);
    if (!ReadFile(child.output.get(), child.text + length, available < room ? available : room,
                  &got, nullptr) ||
        got == 0) {
      break;
    }
    length += got;
    child.text[length] = '\0';
  }
}

}  // namespace

bool restrictAccess(HANDLE process, DWORD granted) {
  Handle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.out())) return false;
  alignas(8) unsigned char user[256];
  DWORD size = 0;
  if (!GetTokenInformation(token.get(), TokenUser, user, sizeof user, &size)) return false;
  PSID sid = reinterpret_cast<TOKEN_USER*>(user)->User.Sid;
  alignas(8) unsigned char list[512];
  ACL* const acl = reinterpret_cast<ACL*>(list);
  SECURITY_DESCRIPTOR descriptor = {};
  return InitializeAcl(acl, sizeof list, ACL_REVISION) &&
         AddAccessAllowedAce(acl, ACL_REVISION, granted, sid) &&
         InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
         SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE) &&
         SetKernelObjectSecurity(process, DACL_SECURITY_INFORMATION, &descriptor);
}

Child startChild(HANDLE job, const Identity* identity, const wchar_t* commandLine) {
  Child child = {};
  SECURITY_ATTRIBUTES inheritable = {};
  inheritable.nLength = sizeof inheritable;
  inheritable.bInheritHandle = TRUE;
  Handle writeEnd;
  if (!CreatePipe(child.output.out(), writeEnd.out(), &inheritable, 65536)) {
    child.error = GetLastError();
    return child;
  }
  SetHandleInformation(child.output.get(), HANDLE_FLAG_INHERIT, 0);
  PROCESS_INFORMATION process = {};
  child.started = startSuspended(identity, commandLine, writeEnd.get(), process);
  if (!child.started) {
    child.error = GetLastError();
    return child;
  }
  child.process = Handle(process.hProcess);
  child.thread = Handle(process.hThread);
  // In the job before it runs, so that nothing it starts escapes.
  if (!AssignProcessToJobObject(job, child.process.get())) child.jobError = GetLastError();
  return child;
}

void runChild(Child& child, DWORD wait, bool untilLine) {
  if (!child.started) return;
  ResumeThread(child.thread.get());
  child.thread.reset();
  const ULONGLONG deadline = GetTickCount64() + wait;
  for (;;) {
    drain(child);
    if (untilLine && strchr(child.text, '\n')) break;
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) break;
    const DWORD slice = deadline - now < 50 ? static_cast<DWORD>(deadline - now) : 50;
    if (WaitForSingleObject(child.process.get(), slice) == WAIT_OBJECT_0) {
      child.ended = true;
      drain(child);
      break;
    }
  }
  if (child.ended) GetExitCodeProcess(child.process.get(), &child.exitCode);
}

void finishChild(Child& child) {
  if (child.process && WaitForSingleObject(child.process.get(), 0) != WAIT_OBJECT_0) {
    TerminateProcess(child.process.get(), 1);
    WaitForSingleObject(child.process.get(), 10000);
  }
  child.process.reset();
  child.thread.reset();
  child.output.reset();
}

Child runToEnd(HANDLE job, const Identity* identity, const wchar_t* commandLine, DWORD wait) {
  Child child = startChild(job, identity, commandLine);
  runChild(child, wait, false);
  finishChild(child);
  return child;
}

Target startTarget(Checker& checker, TargetKind kind, const Identity* identity) {
  wchar_t line[1024];
  format(line, L"\"%ls\" --target %ls", checker.self, kind == d3d11Target ? L"d3d11" : L"plain");
  const int tries = 3;
  for (int attempt = 1; attempt <= tries; ++attempt) {
    Target target = {};
    Child child = startChild(checker.job.get(), identity, line);
    if (child.started) {
      target.granted = targetAccess;
      restrictAccess(child.process.get(), target.granted);
      if (!Handle(OpenProcess(toolAccess, FALSE, GetProcessId(child.process.get())))) {
        target.granted |= setLimitedInformation;
        restrictAccess(child.process.get(), target.granted);
      }
    }
    if (child.jobError) {
      say(checker.report, L"  (the target is not in the checker's job: error %lu)", child.jobError);
    }
    runChild(child, targetReadyWait, true);
    if (child.started && !child.ended &&
        sscanf(child.text, "ready 0x%lx %15s", &target.result, target.driver) == 2) {
      target.id = GetProcessId(child.process.get());
      target.process = std::move(child.process);
      return target;
    }
    finishChild(child);
    if (!child.started || !child.ended || attempt == tries) {
      say(checker.report, L"  The target did not start (error %lu, exit code %lu, output \"%hs\").",
          child.error, child.exitCode, child.text);
      break;
    }
  }
  return Target{};
}

void finishTarget(Target& target) {
  if (target.process && WaitForSingleObject(target.process.get(), 0) != WAIT_OBJECT_0) {
    TerminateProcess(target.process.get(), 1);
    WaitForSingleObject(target.process.get(), 10000);
  }
  target.process.reset();
}

namespace {

// The arguments a process was started with: its command line after the
// program's name. Read with ProcessCommandLineInformation (60), or, where
// that class is unknown, from the process's parameters block.
bool argumentsOf(HANDLE process, wchar_t* out, size_t size) {
  out[0] = L'\0';
  const QueryProcessFn query = lookUp<QueryProcessFn>(L"ntdll.dll", "NtQueryInformationProcess");
  if (!query) return false;
  wchar_t line[2048] = {};
  struct Text {
    USHORT length, capacity;
    PWSTR buffer;
  };
  alignas(8) unsigned char buffer[sizeof(Text) + sizeof line];
  ULONG returned = 0;
  if (query(process, 60, buffer, sizeof buffer, &returned) == 0) {
    const Text* text = reinterpret_cast<const Text*>(buffer);
    const size_t count =
        text->length / sizeof(wchar_t) < 2047 ? text->length / sizeof(wchar_t) : 2047;
    wmemcpy(line, text->buffer, count);
  } else {
    struct {  // ProcessBasicInformation (0), which mingw-w64 leaves out
      NTSTATUS exitStatus;
      PVOID peb;
      ULONG_PTR affinity, priority, processId, parentId;
    } basic = {};
    PVOID parameters = nullptr;
    Text text = {};
    SIZE_T got = 0;
    // x64 layouts: the parameters block at 0x20 in the PEB, the command line
    // at 0x70 in the block.
    if (query(process, 0, &basic, sizeof basic, &returned) != 0 ||
        !ReadProcessMemory(process, static_cast<char*>(basic.peb) + 0x20, &parameters,
                           sizeof parameters, &got) ||
        !ReadProcessMemory(process, static_cast<char*>(parameters) + 0x70, &text, sizeof text,
                           &got) ||
        !ReadProcessMemory(process, text.buffer, line,
                           text.length < sizeof line - 2 ? text.length : sizeof line - 2, &got)) {
      return false;
    }
  }
  const wchar_t* rest = line;
  if (*rest == L'"') {
    rest = wcschr(rest + 1, L'"');
    rest = rest ? rest + 1 : L"";
  } else {
    while (*rest && *rest != L' ' && *rest != L'\t') ++rest;
  }
  while (*rest == L' ' || *rest == L'\t') ++rest;
  formatInto(out, size, L"%ls", rest);
  return true;
}

// A process just made may not have set up its parameters yet, and a copy
// may end soon after: tries every few milliseconds, for a second.
bool readArguments(HANDLE process, wchar_t (&given)[128]) {
  for (int attempt = 0; attempt < 200; ++attempt) {
    if (argumentsOf(process, given, 128)) return true;
    Sleep(5);
  }
  format(given, L"(unreadable)");
  return false;
}

}  // namespace

namespace {

// Time stamps of process creation, for telling a copy from a process that
// had the same ID before.
ULONGLONG createdAt(HANDLE process) {
  FILETIME created = {}, unused = {};
  if (!GetProcessTimes(process, &created, &unused, &unused, &unused)) return 0;
  return (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

bool runsImage(HANDLE process, const wchar_t* image) {
  wchar_t path[MAX_PATH];
  DWORD size = MAX_PATH;
  return QueryFullProcessImageNameW(process, 0, path, &size) &&
         CompareStringOrdinal(path, -1, image, -1, TRUE) == CSTR_EQUAL;
}

// Opens a copy with as much access as this Windows gives the checker: an
// elevated copy may grant a limited checker no more than a query.
Handle openCopy(DWORD id) {
  const DWORD tries[] = {PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE,
                         PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE,
                         PROCESS_QUERY_LIMITED_INFORMATION};
  for (DWORD access : tries) {
    Handle copy(OpenProcess(access, FALSE, id));
    if (copy) return copy;
  }
  return Handle();
}

// What the checker watches while the relay runs: the copies it found, by
// either way, and the handles that keep their IDs from going to others.
struct Watch {
  verdicts::RelaySight& sight;
  HANDLE job;
  const wchar_t* expected;
  bool onlyExpected;  // count only copies given `expected`
  DWORD ids[8];
  Handle handles[8];
  int held;
};

// Records a process the first copy started, once, however it was found.
void noteCopy(Watch& watch, DWORD id, Handle copy, bool byJob) {
  verdicts::RelaySight& sight = watch.sight;
  for (int index = 0; index < watch.held; ++index) {
    if (watch.ids[index] != id) continue;
    if (index < 4) (byJob ? sight.copy[index].byJob : sight.copy[index].byParent) = true;
    return;
  }
  verdicts::CopySight seen = {};
  (byJob ? seen.byJob : seen.byParent) = true;
  // The arguments first: they go with the copy's address space when it
  // ends, while its token stays readable through the handle.
  seen.argumentsRead = copy && readArguments(copy.get(), seen.arguments);
  seen.argumentsRight = seen.argumentsRead && wcscmp(seen.arguments, watch.expected) == 0;
  seen.level = levelOf(copy.get());
  BOOL inJob = FALSE;
  seen.inJobRead = copy && IsProcessInJob(copy.get(), watch.job, &inJob);
  seen.inJob = inJob;
  if (watch.onlyExpected && !seen.argumentsRight) return;
  if (sight.copies < 4) sight.copy[sight.copies] = seen;
  ++sight.copies;
  if (watch.held < 8) {
    watch.ids[watch.held] = id;
    watch.handles[watch.held++] = std::move(copy);
  }
}

// The first copy's children in a snapshot of processes: those made after it
// from the image the copies must run.
void lookForChildren(Watch& watch, DWORD parent, ULONGLONG parentCreated, const wchar_t* image) {
  const Handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (entry.th32ProcessID == parent) watch.sight.parentSees = true;
    if (entry.th32ParentProcessID != parent) continue;
    Handle copy = openCopy(entry.th32ProcessID);
    if (copy && createdAt(copy.get()) >= parentCreated && runsImage(copy.get(), image)) {
      noteCopy(watch, entry.th32ProcessID, std::move(copy), false);
    }
  }
}

// The copy's own exit code, once it has ended (bounded).
void readCopyCode(HANDLE copy, verdicts::CopySight& seen) {
  DWORD code = STILL_ACTIVE;
  const ULONGLONG deadline = GetTickCount64() + 10000;
  while (GetExitCodeProcess(copy, &code) && code == STILL_ACTIVE && GetTickCount64() < deadline) {
    if (WaitForSingleObject(copy, 50) == WAIT_FAILED) Sleep(50);  // no SYNCHRONIZE: poll
  }
  seen.codeRead = code != STILL_ACTIVE && GetExitCodeProcess(copy, &code);
  seen.code = code;
}

}  // namespace

long runWatched(const Identity& identity, const wchar_t* commandLine, DWORD wait,
                const wchar_t* image, const wchar_t* expected, bool onlyExpected,
                verdicts::RelaySight& sight) {
  sight = {};
  const Handle job(CreateJobObjectW(nullptr, nullptr));
  const Handle port(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  JOBOBJECT_ASSOCIATE_COMPLETION_PORT association = {};
  association.CompletionKey = job.get();
  association.CompletionPort = port.get();
  bool watching = job && port &&
                  SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                          sizeof limits) &&
                  SetInformationJobObject(job.get(), JobObjectAssociateCompletionPortInformation,
                                          &association, sizeof association);
  if (!watching) sight.jobError = GetLastError();

  PROCESS_INFORMATION started = {};
  if (!startSuspended(&identity, commandLine, nullptr, started)) {
    format(sight.cannotSeeWhy, L"the first copy did not start (error %lu)", GetLastError());
    return verdicts::toolDidNotEnd;
  }
  const Handle process(started.hProcess), thread(started.hThread);
  if (watching && !AssignProcessToJobObject(job.get(), process.get())) {
    sight.jobError = GetLastError();
    watching = false;
  }
  sight.first = levelOf(process.get());
  const ULONGLONG created = createdAt(process.get());
  ResumeThread(thread.get());

  Watch watch = {sight, job.get(), expected, onlyExpected, {}, {}, 0};
  const ULONGLONG deadline = GetTickCount64() + wait;
  bool ended = false;
  // Until the first process has ended, then what is left in the port.
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    if (!ended) lookForChildren(watch, started.dwProcessId, created, image);
    ended = ended || WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0;
    DWORD message = 0;
    ULONG_PTR key = 0;
    LPOVERLAPPED data = nullptr;
    if (!watching || !GetQueuedCompletionStatus(port.get(), &message, &key, &data,
                                                ended || now >= deadline ? 0 : 5)) {
      if (ended || now >= deadline) break;
      if (!watching) Sleep(5);  // snapshots alone: the port would have waited
      continue;
    }
    if (message != JOB_OBJECT_MSG_NEW_PROCESS) continue;
    const DWORD id = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(data));
    if (id == started.dwProcessId) {
      sight.jobSees = true;  // the job reports its processes here
      continue;
    }
    noteCopy(watch, id, openCopy(id), true);
  }
  sight.canSee = sight.jobSees || sight.parentSees;
  if (!sight.canSee) {
    format(sight.cannotSeeWhy,
           sight.jobError ? L"the first copy could not be put in a job (error %lu), and no "
                            L"snapshot of processes listed it"
                          : L"this Windows neither reports new processes in a job nor lists "
                            L"them in a snapshot",
           sight.jobError);
  }
  long code = verdicts::toolDidNotEnd;
  DWORD exitCode = 0;
  if (ended && GetExitCodeProcess(process.get(), &exitCode)) code = static_cast<long>(exitCode);
  for (int index = 0; index < watch.held && index < 4; ++index) {
    readCopyCode(watch.handles[index].get(), sight.copy[index]);
  }
  if (!ended) TerminateProcess(process.get(), 1);
  return code;
}

}  // namespace check
