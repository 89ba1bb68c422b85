// The calls the tool makes, as the scripted platform records them: one place
// for the expected strings that the unit tests compare against.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace calls {

using Calls = std::vector<std::string>;

inline Calls operator+(Calls a, const Calls& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const int32_t privilegeNotHeld = static_cast<int32_t>(0xC0000061u);
const int32_t otherFailure = static_cast<int32_t>(0xC0000001u);
const int32_t pending = 0x103;  // positive, so not a success either

inline std::string openProcess(uint32_t processId) {
  return "OpenProcess(0x1200, 0, " + std::to_string(processId) + ")";
}

const std::string defaultPath = "C:\\Program Files\\morvane boost\\morvane-boost.exe";

// The launch record as ShellExecuteExW receives it.
inline std::string launch(const std::string& file = defaultPath,
                          const std::string& parameters = "boost-elevated 4242") {
  return "ShellExecuteExW(cbSize=112, fMask=0x440, hwnd=null, verb=runas, file=" + file +
         ", parameters=" + parameters + ", directory=null, nShow=0, rest zero)";
}

inline std::string setClass(int priorityClass) {
  return "D3DKMTSetProcessSchedulingPriorityClass(target, " + std::to_string(priorityClass) + ")";
}

inline std::string throttling(const char* controlMask) {
  return std::string("SetProcessInformation(target, 4, 12, {1, ") + controlMask + ", 0x0})";
}

const std::string closeTarget = "CloseHandle(target)";
const std::string raiseCpu = "SetPriorityClass(target, 0x80)";
const std::string restoreCpu = "SetPriorityClass(target, 0x20)";
const std::string throttlingOff = throttling("0x5");
const std::string executionSpeedOnly = throttling("0x1");  // Windows 10's fallback
const std::string throttlingBack = throttling("0x0");
const std::string readBack = "D3DKMTGetProcessSchedulingPriorityClass(target, preset=-1)";
const std::string ownPath = "GetModuleFileNameW(null, 32768)";
// The relay's query-only handle, which keeps the target's ID from reuse.
const std::string pinTarget = "OpenProcess(0x1000, 0, 4242)";
const std::string releasePin = "CloseHandle(pin)";

const Calls openTarget = {openProcess(4242)};
const Calls enablePrivilege = {"GetCurrentProcess()", "OpenProcessToken(self, 0x28)",
                               "LookupPrivilegeValueW(null, SeIncreaseBasePriorityPrivilege)",
                               "AdjustTokenPrivileges(token, 0, {1, {14:0, 0x2}}, 16, null, null)",
                               "CloseHandle(token)"};
const Calls findGpuEntries = {"GetModuleHandleW(gdi32.dll)",
                              "GetProcAddress(gdi32, D3DKMTSetProcessSchedulingPriorityClass)",
                              "GetProcAddress(gdi32, D3DKMTGetProcessSchedulingPriorityClass)"};
const Calls findSetInformation = {"GetModuleHandleW(kernel32.dll)",
                                  "GetProcAddress(kernel32, SetProcessInformation)"};
const Calls raising = Calls{raiseCpu} + findSetInformation + Calls{throttlingOff};
const Calls restoring = Calls{restoreCpu} + findSetInformation + Calls{throttlingBack};
const Calls boostStart = openTarget + enablePrivilege + findGpuEntries;
const Calls unboostStart = openTarget + findGpuEntries;
const Calls waitForCopy = {"WaitForSingleObject(copy, 0xffffffff)",
                           "GetExitCodeProcess(copy, preset=11)", "CloseHandle(copy)"};

}  // namespace calls

// Parameterised cases print as, and are named by, their `name` field. The
// cases are declared in each test file's unnamed namespace, which is this one,
// so that argument-dependent lookup finds the operator.
namespace {

template <typename Case, typename = decltype(Case::name)>
std::ostream& operator<<(std::ostream& out, const Case& c) {
  return out << c.name;
}

struct CaseName {
  template <typename Param>
  std::string operator()(const ::testing::TestParamInfo<Param>& info) const {
    return info.param.name;
  }
};

}  // namespace
