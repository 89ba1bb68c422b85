#include "children.h"

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
  AssignProcessToJobObject(job, child.process.get());
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

// A process just made may not have set up its parameters yet: a second of
// tries.
void readArguments(HANDLE process, wchar_t (&given)[128]) {
  for (int attempt = 0; process && attempt < 50; ++attempt) {
    if (argumentsOf(process, given, 128)) return;
    Sleep(20);
  }
  format(given, L"(unreadable)");
}

}  // namespace

long runWatched(const Identity& identity, const wchar_t* commandLine, DWORD wait,
                const wchar_t* expected, verdicts::RelaySight& sight) {
  sight = {};
  sight.rightParameters = true;
  sight.cannotSeeWhy = L"this Windows does not report new processes in a job";
  const Handle job(CreateJobObjectW(nullptr, nullptr));
  const Handle port(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
  if (!job || !port) {
    sight.cannotSeeWhy = L"no job or completion port could be made";
    return -1;
  }
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);
  JOBOBJECT_ASSOCIATE_COMPLETION_PORT association = {};
  association.CompletionKey = job.get();
  association.CompletionPort = port.get();
  SetInformationJobObject(job.get(), JobObjectAssociateCompletionPortInformation, &association,
                          sizeof association);

  PROCESS_INFORMATION started = {};
  if (!startSuspended(&identity, commandLine, nullptr, started)) return -1;
  const Handle process(started.hProcess), thread(started.hThread);
  AssignProcessToJobObject(job.get(), process.get());
  ResumeThread(thread.get());
  Handle copies[8];
  int held = 0;
  const ULONGLONG deadline = GetTickCount64() + wait;
  bool ended = false;
  // Until the first process has ended, then what is left in the port.
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    ended = ended || WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0;
    DWORD message = 0;
    ULONG_PTR key = 0;
    LPOVERLAPPED data = nullptr;
    if (!GetQueuedCompletionStatus(port.get(), &message, &key, &data,
                                   ended || now >= deadline ? 0 : 20)) {
      if (ended || now >= deadline) break;
      continue;
    }
    if (message != JOB_OBJECT_MSG_NEW_PROCESS) continue;
    const DWORD id = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(data));
    if (id == started.dwProcessId) {
      sight.canSee = true;  // the job reports its processes here
      continue;
    }
    ++sight.copies;
    Handle copy(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE, FALSE, id));
    if (!copy)
      copy = Handle(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, id));
    wchar_t given[128] = L"";
    readArguments(copy.get(), given);
    if (wcscmp(given, expected) != 0) sight.rightParameters = false;
    if (sight.copies == 1) format(sight.parameters, L"%ls", given);
    if (copy && held < 8) copies[held++] = std::move(copy);
  }
  long code = -1;
  DWORD exitCode = 0;
  if (ended && GetExitCodeProcess(process.get(), &exitCode)) code = static_cast<long>(exitCode);
  if (held > 0 && WaitForSingleObject(copies[0].get(), 10000) == WAIT_OBJECT_0) {
    DWORD copyCode = 0;
    sight.copyCodeRead = GetExitCodeProcess(copies[0].get(), &copyCode) != 0;
    sight.copyCode = copyCode;
  }
  if (!ended) TerminateProcess(process.get(), 1);
  return code;
}

}  // namespace check
