#include "children.h"

#include <wchar.h>

namespace check {

bool startSuspended(const Identity* identity, const wchar_t* commandLine, HANDLE output,
                    PROCESS_INFORMATION& process) {
  wchar_t line[1024];
  wcsncpy(line, commandLine, 1023);
  line[1023] = L'\0';
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

bool restrictAccess(HANDLE process, DWORD granted) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  alignas(8) unsigned char user[256];
  DWORD size = 0;
  bool done = false;
  if (GetTokenInformation(token, TokenUser, user, sizeof user, &size)) {
    PSID sid = reinterpret_cast<TOKEN_USER*>(user)->User.Sid;
    alignas(8) unsigned char list[512];
    ACL* const acl = reinterpret_cast<ACL*>(list);
    SECURITY_DESCRIPTOR descriptor = {};
    done = InitializeAcl(acl, sizeof list, ACL_REVISION) &&
           AddAccessAllowedAce(acl, ACL_REVISION, granted, sid) &&
           InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
           SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE) &&
           SetKernelObjectSecurity(process, DACL_SECURITY_INFORMATION, &descriptor);
  }
  CloseHandle(token);
  return done;
}

void enablePrivilege(bool enable) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return;
  TOKEN_PRIVILEGES privilege = {};
  privilege.PrivilegeCount = 1;
  privilege.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
  if (LookupPrivilegeValueW(nullptr, privilegeName, &privilege.Privileges[0].Luid)) {
    AdjustTokenPrivileges(token, FALSE, &privilege, sizeof privilege, nullptr, nullptr);
  }
  CloseHandle(token);
}

bool holdsPrivilege(HANDLE process) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(process, TOKEN_QUERY, &token)) return false;
  LUID privilege = {};
  alignas(8) unsigned char buffer[4096];
  DWORD size = 0;
  bool held = false;
  if (LookupPrivilegeValueW(nullptr, privilegeName, &privilege) &&
      GetTokenInformation(token, TokenPrivileges, buffer, sizeof buffer, &size)) {
    const TOKEN_PRIVILEGES* const privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer);
    for (DWORD index = 0; index < privileges->PrivilegeCount; ++index) {
      const LUID& entry = privileges->Privileges[index].Luid;
      held = held || (entry.LowPart == privilege.LowPart && entry.HighPart == privilege.HighPart);
    }
  }
  CloseHandle(token);
  return held;
}

void drain(HANDLE pipe, Child& child) {
  size_t length = strlen(child.output);
  DWORD available = 0;
  while (length + 1 < sizeof child.output &&
         PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
    DWORD got = 0;
    const DWORD room = static_cast<DWORD>(sizeof child.output - 1 - length);
    if (!ReadFile(pipe, child.output + length, available < room ? available : room, &got,
                  nullptr) ||
        got == 0) {
      break;
    }
    length += got;
    child.output[length] = '\0';
  }
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
  wcsncpy(out, rest, size - 1);
  out[size - 1] = L'\0';
  return true;
}

// A process just made may not have set up its parameters yet: a second of
// tries.
void readArguments(HANDLE process, wchar_t (&given)[128]) {
  for (int attempt = 0; process && attempt < 50; ++attempt) {
    if (argumentsOf(process, given, 128)) return;
    Sleep(20);
  }
  wcscpy(given, L"(unreadable)");
}

}  // namespace

long runWatched(const Identity& identity, const wchar_t* commandLine, DWORD wait,
                const wchar_t* expected, verdicts::RelaySight& sight) {
  sight = {};
  sight.rightParameters = true;
  sight.cannotSeeWhy = L"this Windows does not report new processes in a job";
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
  if (!job || !port) {
    if (job) CloseHandle(job);
    if (port) CloseHandle(port);
    sight.cannotSeeWhy = L"no job or completion port could be made";
    return -1;
  }
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
  JOBOBJECT_ASSOCIATE_COMPLETION_PORT association = {};
  association.CompletionKey = job;
  association.CompletionPort = port;
  SetInformationJobObject(job, JobObjectAssociateCompletionPortInformation, &association,
                          sizeof association);

  PROCESS_INFORMATION process = {};
  long code = -1;
  HANDLE copies[8] = {};
  int held = 0;
  if (startSuspended(&identity, commandLine, nullptr, process)) {
    AssignProcessToJobObject(job, process.hProcess);
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
    const ULONGLONG deadline = GetTickCount64() + wait;
    bool ended = false;
    // Until the first process has ended, then what is left in the port.
    for (;;) {
      const ULONGLONG now = GetTickCount64();
      ended = ended || WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0;
      DWORD message = 0;
      ULONG_PTR key = 0;
      LPOVERLAPPED data = nullptr;
      if (!GetQueuedCompletionStatus(port, &message, &key, &data,
                                     ended || now >= deadline ? 0 : 20)) {
        if (ended || now >= deadline) break;
        continue;
      }
      if (message != JOB_OBJECT_MSG_NEW_PROCESS) continue;
      const DWORD started = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(data));
      if (started == process.dwProcessId) {
        sight.canSee = true;  // the job reports its processes here
        continue;
      }
      ++sight.copies;
      HANDLE copy =
          OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE, FALSE, started);
      if (!copy)
        copy = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, started);
      wchar_t given[128] = L"";
      readArguments(copy, given);
      if (wcscmp(given, expected) != 0) sight.rightParameters = false;
      if (sight.copies == 1) wcscpy(sight.parameters, given);
      if (copy && held < 8) {
        copies[held++] = copy;
      } else if (copy) {
        CloseHandle(copy);
      }
    }
    if (ended) {
      DWORD exitCode = 0;
      if (GetExitCodeProcess(process.hProcess, &exitCode)) code = static_cast<long>(exitCode);
    }
    if (held > 0 && WaitForSingleObject(copies[0], 10000) == WAIT_OBJECT_0) {
      DWORD copyCode = 0;
      sight.copyCodeRead = GetExitCodeProcess(copies[0], &copyCode) != 0;
      sight.copyCode = copyCode;
    }
    if (!ended) TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hProcess);
  }
  for (int index = 0; index < held; ++index) CloseHandle(copies[index]);
  CloseHandle(job);
  CloseHandle(port);
  return code;
}

}  // namespace check
