// The scripted, call-recording implementation of the fake Win32 layer and of
// the few Microsoft runtime functions the tool uses.
#include "platform.h"

#include <windows.h>
#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cwchar>
#include <cwctype>
#include <map>
#include <sstream>

namespace fake {
namespace {

struct State {
  Script script;
  std::vector<std::string> calls;
  std::map<HANDLE, std::string> open;  // handle -> its name
  std::vector<std::string> badCloses;
  int nextHandle = 0x100;
  int targetClass = 2;  // the GPU class the fake kernel keeps for the target
  uint32_t lastError = 0;
  // Storage behind __p___argc/__p___wargv.
  int argc = 0;
  std::vector<std::wstring> argStorage;
  std::vector<wchar_t*> argv;
  wchar_t** argvPointer = nullptr;
};

State& state() {
  static State s;
  return s;
}

HMODULE const gdiModule = reinterpret_cast<HMODULE>(0x6d000000);
HMODULE const kernelModule = reinterpret_cast<HMODULE>(0x7e000000);
HANDLE const selfHandle = reinterpret_cast<HANDLE>(-1);

std::string narrow(const wchar_t* text) {
  if (!text) return "null";
  std::string out;
  for (; *text; ++text) {
    if (*text >= 0x20 && *text < 0x7f) {
      out += static_cast<char>(*text);
    } else {
      std::ostringstream hex;
      hex << "\\x{" << std::hex << static_cast<uint32_t>(*text) << "}";
      out += hex.str();
    }
  }
  return out;
}

std::string hex(uint64_t value) {
  std::ostringstream out;
  out << "0x" << std::hex << value;
  return out.str();
}

std::string handleName(const void* handle) {
  if (!handle) return "null";
  if (handle == selfHandle) return "self";
  if (handle == gdiModule) return "gdi32";
  if (handle == kernelModule) return "kernel32";
  auto found = state().open.find(const_cast<void*>(handle));
  return found != state().open.end() ? found->second
                                     : "stale:" + hex(reinterpret_cast<uintptr_t>(handle));
}

HANDLE openHandle(const std::string& name) {
  HANDLE handle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(state().nextHandle));
  state().nextHandle += 4;
  state().open[handle] = name;
  return handle;
}

void record(const std::string& name, const std::vector<std::string>& args = {}) {
  std::string call = name + "(";
  for (size_t i = 0; i < args.size(); ++i) call += (i ? ", " : "") + args[i];
  state().calls.push_back(call + ")");
}

LONG APIENTRY fakeSetClass(HANDLE process, int priorityClass) {
  record("D3DKMTSetProcessSchedulingPriorityClass",
         {handleName(process), std::to_string(priorityClass)});
  if (state().script.setStatus == 0) state().targetClass = priorityClass;
  return state().script.setStatus;
}

LONG APIENTRY fakeGetClass(HANDLE process, int* priorityClass) {
  record("D3DKMTGetProcessSchedulingPriorityClass",
         {handleName(process), "preset=" + std::to_string(*priorityClass)});
  const fake::Script& s = state().script;
  if (!s.readBackWritesNothing) *priorityClass = s.readBack ? *s.readBack : state().targetClass;
  return 0;
}

BOOL WINAPI fakeSetProcessInformation(HANDLE process, PROCESS_INFORMATION_CLASS infoClass,
                                      LPVOID information, DWORD size) {
  std::vector<std::string> args = {handleName(process), std::to_string(infoClass),
                                   std::to_string(size)};
  if (infoClass == ProcessPowerThrottling && size == sizeof(PROCESS_POWER_THROTTLING_STATE)) {
    const auto* throttling = static_cast<const PROCESS_POWER_THROTTLING_STATE*>(information);
    args.push_back("{" + std::to_string(throttling->Version) + ", " + hex(throttling->ControlMask) +
                   ", " + hex(throttling->StateMask) + "}");
  }
  record("SetProcessInformation", args);
  return state().script.setInformationSucceeds;
}

// The runtime's blanks and decimal digits beyond ASCII, as Wine's UCRT reads
// them (measured over every UTF-16 unit): full-width and other scripts'
// digits count, and Unicode spaces such as the no-break space are skipped.
bool isRuntimeBlank(wchar_t c) {
  return c == L' ' || (c >= L'\t' && c <= L'\r') || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

int runtimeDigit(wchar_t c) {
  static const wchar_t zeros[] = {0x0030, 0x0660, 0x06F0, 0x0966, 0x09E6, 0x0A66,
                                  0x0AE6, 0x0B66, 0x0C66, 0x0CE6, 0x0D66, 0x0E50,
                                  0x0ED0, 0x0F20, 0x1040, 0x17E0, 0x1810, 0xFF10};
  for (wchar_t zero : zeros) {
    if (c >= zero && c <= zero + 9) return c - zero;
  }
  return -1;
}

template <typename Fn>
FARPROC entry(Fn fn) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(fn));
}

}  // namespace

Script& reset() {
  state() = State();
  return state().script;
}

Script& script() { return state().script; }
const std::vector<std::string>& calls() { return state().calls; }
int openHandles() { return static_cast<int>(state().open.size()); }
const std::vector<std::string>& badCloses() { return state().badCloses; }

std::vector<std::string> callNames() {
  std::vector<std::string> names;
  for (const std::string& call : state().calls) names.push_back(call.substr(0, call.find('(')));
  return names;
}

int run(const std::vector<std::wstring>& arguments) {
  State& s = state();
  s.argStorage.assign(1, L"C:\\tools\\morvane-boost.exe");
  s.argStorage.insert(s.argStorage.end(), arguments.begin(), arguments.end());
  s.argv.clear();
  for (std::wstring& arg : s.argStorage) s.argv.push_back(arg.data());
  s.argv.push_back(nullptr);
  s.argc = static_cast<int>(s.argStorage.size());
  s.argvPointer = s.argv.data();
  return wWinMain(nullptr, nullptr, nullptr, 0);
}

}  // namespace fake

using fake::handleName;
using fake::hex;
using fake::isRuntimeBlank;
using fake::narrow;
using fake::record;
using fake::runtimeDigit;
using fake::state;

extern "C" {

HANDLE WINAPI OpenProcess(DWORD access, BOOL inherit, DWORD processId) {
  record("OpenProcess", {hex(access), std::to_string(inherit), std::to_string(processId)});
  if (access == PROCESS_QUERY_LIMITED_INFORMATION) {
    return state().script.pinOpens ? fake::openHandle("pin") : nullptr;
  }
  return state().script.targetOpens ? fake::openHandle("target") : nullptr;
}

HANDLE WINAPI GetCurrentProcess(void) {
  record("GetCurrentProcess");
  return fake::selfHandle;
}

BOOL WINAPI OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
  record("OpenProcessToken", {handleName(process), hex(access)});
  if (!state().script.tokenOpens) return FALSE;
  *token = fake::openHandle("token");
  return TRUE;
}

BOOL WINAPI LookupPrivilegeValueW(LPCWSTR systemName, LPCWSTR name, PLUID luid) {
  record("LookupPrivilegeValueW", {narrow(systemName), narrow(name)});
  if (!state().script.privilegeFound) return FALSE;
  luid->LowPart = 14;  // the privilege's usual value; any will do
  luid->HighPart = 0;
  return TRUE;
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState,
                                  DWORD length, PTOKEN_PRIVILEGES previous, LPDWORD returnLength) {
  // The record declares room for one entry, so only the first is shown.
  const LUID_AND_ATTRIBUTES& entry = newState->Privileges[0];
  const std::string privileges =
      "{" + std::to_string(newState->PrivilegeCount) + ", {" + std::to_string(entry.Luid.LowPart) +
      ":" + std::to_string(entry.Luid.HighPart) + ", " + hex(entry.Attributes) + "}}";
  record("AdjustTokenPrivileges",
         {handleName(token), std::to_string(disableAll), privileges, std::to_string(length),
          previous ? "previous" : "null", returnLength ? "length" : "null"});
  return TRUE;
}

HMODULE WINAPI GetModuleHandleW(LPCWSTR name) {
  record("GetModuleHandleW", {narrow(name)});
  const std::wstring module = name ? name : L"";
  if (module == L"gdi32.dll") return state().script.gdiMapped ? fake::gdiModule : nullptr;
  if (module == L"kernel32.dll") return fake::kernelModule;
  return nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name) {
  record("GetProcAddress", {handleName(module), name});
  const fake::Script& s = state().script;
  const std::string entryName = name;
  if (module == fake::gdiModule) {
    if (entryName == "D3DKMTSetProcessSchedulingPriorityClass" && s.setEntry)
      return fake::entry(fake::fakeSetClass);
    if (entryName == "D3DKMTGetProcessSchedulingPriorityClass" && s.getEntry)
      return fake::entry(fake::fakeGetClass);
  }
  if (module == fake::kernelModule && entryName == "SetProcessInformation" && s.setInformationEntry)
    return fake::entry(fake::fakeSetProcessInformation);
  return nullptr;
}

BOOL WINAPI SetPriorityClass(HANDLE process, DWORD priorityClass) {
  record("SetPriorityClass", {handleName(process), hex(priorityClass)});
  return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE handle) {
  const std::string name = handleName(handle);
  record("CloseHandle", {name});
  if (state().open.erase(handle) == 0) {
    state().badCloses.push_back(name);
    return FALSE;
  }
  return TRUE;
}

// Copies as much of the path as fits and, like Windows 7 and later, returns
// the buffer size when it had to cut the path short.
DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
  record("GetModuleFileNameW", {handleName(module), std::to_string(size)});
  const fake::Script& s = state().script;
  if (!s.ownPathAvailable || size == 0) return 0;
  const size_t copied = std::min<size_t>(s.ownPath.size(), size - 1);
  std::wmemcpy(buffer, s.ownPath.data(), copied);
  buffer[copied] = L'\0';
  return s.ownPath.size() < size ? static_cast<DWORD>(copied) : size;
}

DWORD WINAPI GetLastError(void) {
  record("GetLastError");
  return state().lastError;
}

BOOL WINAPI ShellExecuteExW(SHELLEXECUTEINFOW* info) {
  // Every field the tool does not set must be zero.
  const bool restZero = !info->hInstApp && !info->lpIDList && !info->lpClass && !info->hkeyClass &&
                        !info->dwHotKey && !info->hIcon && !info->hProcess;
  record("ShellExecuteExW",
         {"cbSize=" + std::to_string(info->cbSize), "fMask=" + hex(info->fMask),
          "hwnd=" + handleName(info->hwnd), "verb=" + narrow(info->lpVerb),
          "file=" + narrow(info->lpFile), "parameters=" + narrow(info->lpParameters),
          "directory=" + narrow(info->lpDirectory), "nShow=" + std::to_string(info->nShow),
          restZero ? "rest zero" : "rest NOT zero"});
  const fake::Script& s = state().script;
  if (!s.launchSucceeds) {
    state().lastError = s.launchError;
    return FALSE;
  }
  if (s.launchReturnsHandle) info->hProcess = fake::openHandle("copy");
  return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  record("WaitForSingleObject", {handleName(handle), hex(milliseconds)});
  return state().script.waitResult;
}

BOOL WINAPI GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
  record("GetExitCodeProcess", {handleName(process), "preset=" + std::to_string(*exitCode)});
  if (!state().script.exitCodeReadable) return FALSE;
  *exitCode = state().script.copyExitCode;
  return TRUE;
}

int* __p___argc(void) { return &state().argc; }
wchar_t*** __p___wargv(void) { return &state().argvPointer; }

// The runtime's reading: blanks skipped, an optional sign, decimal digits up
// to the first other character, clamped to the int range on overflow.
int _wtoi(const wchar_t* text) {
  while (isRuntimeBlank(*text)) ++text;
  const bool negative = *text == L'-';
  if (*text == L'-' || *text == L'+') ++text;
  long long value = 0;
  for (; runtimeDigit(*text) >= 0; ++text) {
    value = value * 10 + runtimeDigit(*text);
    if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) return value > INT_MAX ? INT_MIN : -static_cast<int>(value);
  return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

// Microsoft's wide printf under the runtime's wide-specifier convention: in a
// wide format %s and %c name wide arguments and %S and %C narrow ones (glibc
// reads %s and %c as narrow, %ls and %lc as wide). Writes at most count
// characters and terminates only when there is room.
int _snwprintf(wchar_t* buffer, size_t count, const wchar_t* format, ...) {
  std::wstring hostFormat;
  for (const wchar_t* p = format; *p; ++p) {
    hostFormat += *p;
    if (*p != L'%') continue;
    for (++p; *p && std::wcschr(L"-+ #0123456789.*hlLjzt", *p); ++p) hostFormat += *p;
    if (!*p) break;
    const bool sized = hostFormat.back() == L'l' || hostFormat.back() == L'h';
    if (!sized && (*p == L's' || *p == L'c')) {
      hostFormat += L'l';
      hostFormat += *p;
    } else if (!sized && (*p == L'S' || *p == L'C')) {
      hostFormat += static_cast<wchar_t>(std::towlower(*p));
    } else {
      hostFormat += *p;
    }
  }
  wchar_t text[4096];
  va_list args;
  va_start(args, format);
  const int length = std::vswprintf(text, sizeof text / sizeof *text, hostFormat.c_str(), args);
  va_end(args);
  if (length < 0) return -1;
  const size_t written = std::min<size_t>(static_cast<size_t>(length), count);
  std::wmemcpy(buffer, text, written);
  if (written < count) buffer[written] = L'\0';
  return static_cast<size_t>(length) <= count ? length : -1;
}

}  // extern "C"
