// The tool driven through wWinMain against the scripted platform: the
// command line, every road of applying and restoring the classes, and the
// elevated relaunch, each with the exact calls the system sees.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform.h"

namespace {

using Calls = std::vector<std::string>;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

Calls operator+(Calls a, const Calls& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const int32_t privilegeNotHeld = static_cast<int32_t>(0xC0000061u);
const int32_t otherFailure = static_cast<int32_t>(0xC0000001u);

const Calls open = {"OpenProcess(0x1200, 0, 4242)"};
const Calls enablePrivilege = {"GetCurrentProcess()", "OpenProcessToken(self, 0x28)",
                               "LookupPrivilegeValueW(null, SeIncreaseBasePriorityPrivilege)",
                               "AdjustTokenPrivileges(token, 0, {1, {14:0, 0x2}}, 16, null, null)",
                               "CloseHandle(token)"};
const Calls findGpuEntries = {"GetModuleHandleW(gdi32.dll)",
                              "GetProcAddress(gdi32, D3DKMTSetProcessSchedulingPriorityClass)",
                              "GetProcAddress(gdi32, D3DKMTGetProcessSchedulingPriorityClass)"};
const Calls setRealtime = {"D3DKMTSetProcessSchedulingPriorityClass(target, 5)"};
const Calls setNormal = {"D3DKMTSetProcessSchedulingPriorityClass(target, 2)"};
const Calls readBack = {"D3DKMTGetProcessSchedulingPriorityClass(target)"};
const Calls findSetInformation = {"GetModuleHandleW(kernel32.dll)",
                                  "GetProcAddress(kernel32, SetProcessInformation)"};
const Calls raise = Calls{"SetPriorityClass(target, 0x80)"} + findSetInformation +
                    Calls{"SetProcessInformation(target, 4, 12, {1, 0x5, 0x0})"};
const Calls restore = Calls{"SetPriorityClass(target, 0x20)"} + findSetInformation +
                      Calls{"SetProcessInformation(target, 4, 12, {1, 0x0, 0x0})"};
const Calls closeTarget = {"CloseHandle(target)"};
const Calls boostStart = open + enablePrivilege + findGpuEntries;
const Calls unboostStart = open + findGpuEntries;

// Parameterised cases print as their names.
template <typename Case, typename = decltype(Case::name)>
std::ostream& operator<<(std::ostream& out, const Case& c) {
  return out << c.name;
}

class Tool : public ::testing::Test {
 protected:
  fake::Script& script = fake::reset();

  // Every road: each handle opened is closed exactly once.
  void TearDown() override {
    EXPECT_EQ(fake::openHandles(), 0) << "a handle was left open";
    EXPECT_THAT(fake::badCloses(), IsEmpty()) << "a handle was closed that was not open";
  }
};

// ---- Command line ---------------------------------------------------------

struct UsageCase {
  const char* name;
  std::vector<std::wstring> args;
};

class Usage : public Tool, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(Usage, ReturnsFiveAndTouchesNothing) {
  EXPECT_EQ(fake::run(GetParam().args), 5);
  EXPECT_THAT(fake::calls(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, Usage,
    ::testing::Values(
        UsageCase{"NoArguments", {}}, UsageCase{"ModeAlone", {L"boost"}},
        UsageCase{"IdZero", {L"boost", L"0"}}, UsageCase{"IdMinusZero", {L"unboost", L"-0"}},
        UsageCase{"IdLetters", {L"boost", L"abc"}}, UsageCase{"IdEmpty", {L"boost", L""}},
        UsageCase{"IdSignAlone", {L"boost", L"+"}}, UsageCase{"IdHexadecimal", {L"boost", L"0x10"}},
        UsageCase{"ModeCapitalised", {L"Boost", L"4242"}},
        UsageCase{"ModeUpperCase", {L"UNBOOST", L"4242"}},
        UsageCase{"ModeWithSuffix", {L"boost-elevatedx", L"4242"}},
        UsageCase{"ModeWithBlank", {L"boost ", L"4242"}}, UsageCase{"ModeEmpty", {L"", L"4242"}},
        UsageCase{"ModeUnpairedSurrogate", {L"\xD800", L"4242"}},
        UsageCase{"IdAfterSurrogate",
                  {L"boost",
                   L"\xD83D"
                   L"12"}},
        UsageCase{"ModeUnknownIdBad", {L"frobnicate", L"abc"}}),
    [](const auto& info) { return std::string(info.param.name); });

struct IdCase {
  const char* name;
  std::wstring text;
  unsigned long processId;
};

class IdReading : public Tool, public ::testing::WithParamInterface<IdCase> {};

// Read as _wtoi reads it, then taken as an unsigned 32-bit value. A target
// that cannot be opened shows the ID and proves nothing else is called.
TEST_P(IdReading, OpensTheProcessTheTextNames) {
  script.targetOpens = false;
  EXPECT_EQ(fake::run({L"unboost", GetParam().text}), 2);
  EXPECT_THAT(fake::calls(),
              ElementsAre("OpenProcess(0x1200, 0, " + std::to_string(GetParam().processId) + ")"));
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, IdReading,
    ::testing::Values(IdCase{"Digits", L"4242", 4242}, IdCase{"TrailingLetters", L"4242abc", 4242},
                      IdCase{"LeadingBlanks", L"  4242", 4242},
                      IdCase{"LeadingTab", L"\t4242", 4242}, IdCase{"PlusSign", L"+4242", 4242},
                      IdCase{"LeadingZeros", L"0004242", 4242},
                      IdCase{"NegativeWraps", L"-5", 4294967291ul},
                      IdCase{"MinusOneIsLargest", L"-1", 4294967295ul},
                      IdCase{"ControlCharacterEnds", L"12\a34", 12},
                      IdCase{"OverflowClamps", L"99999999999", 2147483647ul},
                      IdCase{"HugeDigitRunClamps", std::wstring(5000, L'9'), 2147483647ul},
                      IdCase{"UnsignedMaxClamps", L"4294967295", 2147483647ul},
                      IdCase{"NegativeOverflowClamps", L"-99999999999", 2147483648ul}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Tool, ExtraArgumentsAreIgnored) {
  script.readBack = 2;
  EXPECT_EQ(fake::run({L"unboost", L"4242", L"boost", L"17"}), 0);
  EXPECT_EQ(fake::calls(), unboostStart + setNormal + readBack + restore + closeTarget);
}

// ---- Applying and restoring the classes ------------------------------------

struct ApplyCase {
  const char* name;
  const wchar_t* mode;
  std::function<void(fake::Script&)> setup;
  int code;
  Calls calls;
};

class Apply : public Tool, public ::testing::WithParamInterface<ApplyCase> {};

TEST_P(Apply, TakesTheRoadItsAnswersCallFor) {
  GetParam().setup(script);
  EXPECT_EQ(fake::run({GetParam().mode, L"4242"}), GetParam().code);
  EXPECT_EQ(fake::calls(), GetParam().calls);
}

// "boost-elevated" takes the boost road without a relay, so a refusal shows
// as 3 here; the relay has tests of its own below.
INSTANTIATE_TEST_SUITE_P(
    Boost, Apply,
    ::testing::Values(
        ApplyCase{"Confirmed", L"boost-elevated", [](fake::Script&) {}, 0,
                  boostStart + setRealtime + readBack + raise + closeTarget},
        ApplyCase{"ConfirmedPlainBoost", L"boost", [](fake::Script&) {}, 0,
                  boostStart + setRealtime + readBack + raise + closeTarget},
        ApplyCase{"TargetNotOpened", L"boost", [](fake::Script& s) { s.targetOpens = false; }, 2,
                  open},
        ApplyCase{"PrivilegeRefusedInElevatedCopy", L"boost-elevated",
                  [](fake::Script& s) { s.setStatus = privilegeNotHeld; }, 3,
                  boostStart + setRealtime + readBack + closeTarget},
        ApplyCase{"OtherFailure", L"boost-elevated",
                  [](fake::Script& s) { s.setStatus = otherFailure; }, 4,
                  boostStart + setRealtime + readBack + closeTarget},
        ApplyCase{"ReadBackDiffersIsReverted", L"boost-elevated",
                  [](fake::Script& s) { s.readBack = 2; }, 4,
                  boostStart + setRealtime + readBack + setNormal + closeTarget},
        ApplyCase{"ReadBackWritesNothingIsReverted", L"boost-elevated",
                  [](fake::Script& s) { s.readBack.reset(); }, 4,
                  boostStart + setRealtime + readBack + setNormal + closeTarget},
        ApplyCase{"NoGetEntryIsReverted", L"boost-elevated",
                  [](fake::Script& s) { s.getEntry = false; }, 4,
                  boostStart + setRealtime + setNormal + closeTarget},
        ApplyCase{"NoSetEntry", L"boost-elevated", [](fake::Script& s) { s.setEntry = false; }, 4,
                  boostStart + closeTarget},
        ApplyCase{"Gdi32NotMapped", L"boost-elevated", [](fake::Script& s) { s.gdiMapped = false; },
                  4,
                  open + enablePrivilege +
                      Calls{"GetModuleHandleW(gdi32.dll)",
                            "GetProcAddress(null, D3DKMTSetProcessSchedulingPriorityClass)",
                            "GetProcAddress(null, D3DKMTGetProcessSchedulingPriorityClass)"} +
                      closeTarget},
        ApplyCase{"TokenNotOpened", L"boost-elevated",
                  [](fake::Script& s) { s.tokenOpens = false; }, 0,
                  open + Calls{"GetCurrentProcess()", "OpenProcessToken(self, 0x28)"} +
                      findGpuEntries + setRealtime + readBack + raise + closeTarget},
        ApplyCase{
            "PrivilegeNotFound", L"boost-elevated",
            [](fake::Script& s) { s.privilegeFound = false; }, 0,
            open +
                Calls{"GetCurrentProcess()", "OpenProcessToken(self, 0x28)",
                      "LookupPrivilegeValueW(null, SeIncreaseBasePriorityPrivilege)",
                      "CloseHandle(token)"} +
                findGpuEntries + setRealtime + readBack + raise + closeTarget},
        ApplyCase{"NoSetProcessInformation", L"boost-elevated",
                  [](fake::Script& s) { s.setInformationEntry = false; }, 0,
                  boostStart + setRealtime + readBack + Calls{"SetPriorityClass(target, 0x80)"} +
                      findSetInformation + closeTarget}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Unboost, Apply,
    ::testing::Values(
        ApplyCase{"Confirmed", L"unboost", [](fake::Script& s) { s.readBack = 2; }, 0,
                  unboostStart + setNormal + readBack + restore + closeTarget},
        ApplyCase{"TargetNotOpened", L"unboost", [](fake::Script& s) { s.targetOpens = false; }, 2,
                  open},
        ApplyCase{"PrivilegeRefusedIsFourNotThree", L"unboost",
                  [](fake::Script& s) {
                    s.setStatus = privilegeNotHeld;
                    s.readBack = 2;
                  },
                  4, unboostStart + setNormal + readBack + restore + closeTarget},
        ApplyCase{"OtherFailure", L"unboost",
                  [](fake::Script& s) {
                    s.setStatus = otherFailure;
                    s.readBack = 2;
                  },
                  4, unboostStart + setNormal + readBack + restore + closeTarget},
        ApplyCase{"ReadBackDiffers", L"unboost", [](fake::Script& s) { s.readBack = 5; }, 4,
                  unboostStart + setNormal + readBack + restore + closeTarget},
        ApplyCase{"ReadBackWritesNothing", L"unboost", [](fake::Script& s) { s.readBack.reset(); },
                  4, unboostStart + setNormal + readBack + restore + closeTarget},
        ApplyCase{"NoGetEntry", L"unboost", [](fake::Script& s) { s.getEntry = false; }, 4,
                  unboostStart + setNormal + restore + closeTarget},
        ApplyCase{"NoSetEntryStillRestores", L"unboost",
                  [](fake::Script& s) { s.setEntry = false; }, 4,
                  unboostStart + restore + closeTarget},
        ApplyCase{"NoSetProcessInformation", L"unboost",
                  [](fake::Script& s) {
                    s.readBack = 2;
                    s.setInformationEntry = false;
                  },
                  0,
                  unboostStart + setNormal + readBack + Calls{"SetPriorityClass(target, 0x20)"} +
                      findSetInformation + closeTarget}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Elevated relaunch ------------------------------------------------------

const Calls refusedBoost = boostStart + setRealtime + readBack + closeTarget;
const Calls findOwnPath = {"GetModuleFileNameW(null, 32768)"};

Calls launch(const std::string& file = "C:\\Program Files\\morvane boost\\morvane-boost.exe",
             const std::string& parameters = "boost-elevated 4242") {
  return {"ShellExecuteExW(cbSize=112, fMask=0x40, hwnd=null, verb=runas, file=" + file +
          ", parameters=" + parameters + ", directory=null, nShow=0, rest zero)"};
}

const Calls waitForCopy = {"WaitForSingleObject(copy, 0xffffffff)", "GetExitCodeProcess(copy)",
                           "CloseHandle(copy)"};

struct RelayCase {
  const char* name;
  std::function<void(fake::Script&)> setup;
  int code;
  Calls relay;  // the calls after the refused boost
};

class Relay : public Tool, public ::testing::WithParamInterface<RelayCase> {};

// The target is closed before the copy is started: the refused boost's
// calls, ending with its close, come first.
TEST_P(Relay, RelaunchesOnceAfterAPrivilegeRefusal) {
  script.setStatus = privilegeNotHeld;
  GetParam().setup(script);
  EXPECT_EQ(fake::run({L"boost", L"4242"}), GetParam().code);
  EXPECT_EQ(fake::calls(), refusedBoost + GetParam().relay);
}

INSTANTIATE_TEST_SUITE_P(
    Roads, Relay,
    ::testing::Values(
        RelayCase{"CopyConfirms", [](fake::Script&) {}, 0, findOwnPath + launch() + waitForCopy},
        RelayCase{"CopyRefusedToo", [](fake::Script& s) { s.copyExitCode = 3; }, 3,
                  findOwnPath + launch() + waitForCopy},
        RelayCase{"CopyNotConfirmed", [](fake::Script& s) { s.copyExitCode = 4; }, 4,
                  findOwnPath + launch() + waitForCopy},
        RelayCase{"CopyCrashedCodePassedOn", [](fake::Script& s) { s.copyExitCode = 0xC0000005u; },
                  static_cast<int>(0xC0000005u), findOwnPath + launch() + waitForCopy},
        RelayCase{"CopyCodeUnreadable", [](fake::Script& s) { s.exitCodeReadable = false; }, 11,
                  findOwnPath + launch() + waitForCopy},
        RelayCase{"PromptDeclined",
                  [](fake::Script& s) {
                    s.launchSucceeds = false;
                    s.launchError = 1223;
                  },
                  10, findOwnPath + launch() + Calls{"GetLastError()"}},
        RelayCase{"OtherLaunchError",
                  [](fake::Script& s) {
                    s.launchSucceeds = false;
                    s.launchError = 2;
                  },
                  11, findOwnPath + launch() + Calls{"GetLastError()"}},
        RelayCase{"LaunchWithoutHandle", [](fake::Script& s) { s.launchReturnsHandle = false; }, 11,
                  findOwnPath + launch()},
        RelayCase{"OwnPathUnavailable", [](fake::Script& s) { s.ownPathAvailable = false; }, 11,
                  findOwnPath}),
    [](const auto& info) { return std::string(info.param.name); });

// The launched file must be the whole path: a cut-short one would elevate
// some other file.
TEST_F(Tool, RelaunchUsesOwnPathBeyondMaxPath) {
  for (size_t length : {size_t{260}, size_t{261}, size_t{1000}, size_t{32767}}) {
    SCOPED_TRACE(length);
    fake::Script& s = fake::reset();
    s.setStatus = privilegeNotHeld;
    s.ownPath = L"C:\\" + std::wstring(length - 9, L'd') + L"\\m.exe";
    ASSERT_EQ(s.ownPath.size(), length);
    EXPECT_EQ(fake::run({L"boost", L"4242"}), 0);
    EXPECT_EQ(fake::calls(), refusedBoost + findOwnPath +
                                 launch("C:\\" + std::string(length - 9, 'd') + "\\m.exe") +
                                 waitForCopy);
  }
}

// 32,768 characters leave no room for the terminator: Windows cuts it short.
TEST_F(Tool, OwnPathTooLongForWindowsIsNotLaunched) {
  script.setStatus = privilegeNotHeld;
  script.ownPath = L"C:\\" + std::wstring(32765, L'd');
  EXPECT_EQ(fake::run({L"boost", L"4242"}), 11);
  EXPECT_EQ(fake::calls(), refusedBoost + findOwnPath);
}

TEST_F(Tool, LargestProcessIdFitsTheParameters) {
  script.setStatus = privilegeNotHeld;
  ASSERT_EQ(fake::run({L"boost", L"-1"}), 0);
  EXPECT_THAT(fake::calls(),
              ::testing::Contains(launch("C:\\Program Files\\morvane boost\\morvane-boost.exe",
                                         "boost-elevated 4294967295")[0]));
}

}  // namespace
