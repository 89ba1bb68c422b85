// The tool driven through wWinMain against the scripted platform: the
// command line, every road of applying and restoring the classes, and the
// elevated relaunch, each with the exact calls the system sees.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "calls.h"
#include "platform.h"

namespace {

using namespace calls;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

const Calls setRealtime = {setClass(5)};
const Calls setNormal = {setClass(2)};
const Calls getClass = {readBack};
const Calls closed = {closeTarget};

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
        // clang-format off
        UsageCase{"NoArguments", {}},
        UsageCase{"ModeAlone", {L"boost"}},
        UsageCase{"IdZero", {L"boost", L"0"}},
        UsageCase{"IdMinusZero", {L"unboost", L"-0"}},
        UsageCase{"IdLetters", {L"boost", L"abc"}},
        UsageCase{"IdEmpty", {L"boost", L""}},
        UsageCase{"IdSignAlone", {L"boost", L"+"}},
        UsageCase{"IdHexadecimal", {L"boost", L"0x10"}},
        UsageCase{"ModeCapitalised", {L"Boost", L"4242"}},
        UsageCase{"ModeUpperCase", {L"UNBOOST", L"4242"}},
        UsageCase{"ModeWithSuffix", {L"boost-elevatedx", L"4242"}},
        UsageCase{"ModeWithBlank", {L"boost ", L"4242"}},
        UsageCase{"ModeEmpty", {L"", L"4242"}},
        UsageCase{"ModeUnpairedSurrogate", {L"\xD800", L"4242"}},
        UsageCase{"IdAfterSurrogate", {L"boost", L"\xD83D" L"12"}},
        UsageCase{"ModeUnknownIdBad", {L"frobnicate", L"abc"}}  // clang-format on
        ),
    CaseName());

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
  EXPECT_THAT(fake::calls(), ElementsAre(openProcess(GetParam().processId)));
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
                      IdCase{"NegativeOverflowClamps", L"-99999999999", 2147483648ul},
                      // The runtime reads other scripts' digits and skips
                      // Unicode blanks, as Wine's UCRT shows.
                      IdCase{"FullWidthDigits", L"\uFF14\uFF12\uFF14\uFF12", 4242},
                      IdCase{"ArabicIndicDigits", L"\u0664\u0662", 42},
                      IdCase{"MixedScriptDigits", L"4\uFF12\u06642", 4242},
                      IdCase{"NoBreakSpaceSkipped", L"\u00A04242", 4242},
                      IdCase{"IdeographicSpaceSkipped", L"\u30004242", 4242},
                      IdCase{"SuperscriptDigitEnds", L"42\u00B2", 42}),
    CaseName());

TEST_F(Tool, ExtraArgumentsAreIgnored) {
  EXPECT_EQ(fake::run({L"unboost", L"4242", L"boost", L"17"}), 0);
  EXPECT_EQ(fake::calls(), unboostStart + setNormal + getClass + restoring + closed);
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
        // clang-format off
        ApplyCase{"Confirmed", L"boost-elevated", [](fake::Script&) {}, 0, boostStart + setRealtime + getClass + raising + closed},
        ApplyCase{"ConfirmedPlainBoost", L"boost", [](fake::Script&) {}, 0, boostStart + setRealtime + getClass + raising + closed},
        ApplyCase{"TargetNotOpened", L"boost", [](fake::Script& s) { s.targetOpens = false; }, 2, openTarget},
        ApplyCase{"PrivilegeRefusedInElevatedCopy", L"boost-elevated", [](fake::Script& s) { s.setStatus = privilegeNotHeld; }, 3, boostStart + setRealtime + getClass + closed},
        ApplyCase{"OtherFailure", L"boost-elevated", [](fake::Script& s) { s.setStatus = otherFailure; }, 4, boostStart + setRealtime + getClass + closed},
        ApplyCase{"PositiveStatusIsAFailure", L"boost-elevated", [](fake::Script& s) { s.setStatus = pending; }, 4, boostStart + setRealtime + getClass + closed},
        ApplyCase{"ReadBackDiffersIsReverted", L"boost-elevated", [](fake::Script& s) { s.readBack = 2; }, 4, boostStart + setRealtime + getClass + setNormal + closed},
        ApplyCase{"ReadBackWritesNothingIsReverted", L"boost-elevated", [](fake::Script& s) { s.readBackWritesNothing = true; }, 4, boostStart + setRealtime + getClass + setNormal + closed},
        ApplyCase{"NoGetEntryIsReverted", L"boost-elevated", [](fake::Script& s) { s.getEntry = false; }, 4, boostStart + setRealtime + setNormal + closed},
        ApplyCase{"NoSetEntry", L"boost-elevated", [](fake::Script& s) { s.setEntry = false; }, 4, boostStart + closed},
        ApplyCase{"Gdi32NotMapped", L"boost-elevated", [](fake::Script& s) { s.gdiMapped = false; }, 4, openTarget + enablePrivilege + Calls{"GetModuleHandleW(gdi32.dll)", "GetProcAddress(null, D3DKMTSetProcessSchedulingPriorityClass)", "GetProcAddress(null, D3DKMTGetProcessSchedulingPriorityClass)"} + closed},
        ApplyCase{"TokenNotOpened", L"boost-elevated", [](fake::Script& s) { s.tokenOpens = false; }, 0, openTarget + Calls{"GetCurrentProcess()", "OpenProcessToken(self, 0x28)"} + findGpuEntries + setRealtime + getClass + raising + closed},
        ApplyCase{"PrivilegeNotFound", L"boost-elevated", [](fake::Script& s) { s.privilegeFound = false; }, 0, openTarget + Calls{"GetCurrentProcess()", "OpenProcessToken(self, 0x28)", "LookupPrivilegeValueW(null, SeIncreaseBasePriorityPrivilege)", "CloseHandle(token)"} + findGpuEntries + setRealtime + getClass + raising + closed},
        ApplyCase{"NoSetProcessInformation", L"boost-elevated", [](fake::Script& s) { s.setInformationEntry = false; }, 0, boostStart + setRealtime + getClass + Calls{raiseCpu} + findSetInformation + closed},
        // Windows 10 rejects the timer-resolution bit; execution speed alone
        // is asked for then, and the code does not change.
        ApplyCase{"ThrottlingRecordRejectedFallsBackToExecutionSpeed", L"boost-elevated", [](fake::Script& s) { s.setInformationSucceeds = false; }, 0, boostStart + setRealtime + getClass + raising + Calls{executionSpeedOnly} + closed}  // clang-format on
        ),
    CaseName());

INSTANTIATE_TEST_SUITE_P(
    Unboost, Apply,
    ::testing::Values(
        // clang-format off
        ApplyCase{"Confirmed", L"unboost", [](fake::Script&) {}, 0, unboostStart + setNormal + getClass + restoring + closed},
        ApplyCase{"TargetNotOpened", L"unboost", [](fake::Script& s) { s.targetOpens = false; }, 2, openTarget},
        ApplyCase{"PrivilegeRefusedIsFourNotThree", L"unboost", [](fake::Script& s) { s.setStatus = privilegeNotHeld; }, 4, unboostStart + setNormal + getClass + restoring + closed},
        ApplyCase{"OtherFailure", L"unboost", [](fake::Script& s) { s.setStatus = otherFailure; }, 4, unboostStart + setNormal + getClass + restoring + closed},
        ApplyCase{"PositiveStatusIsAFailure", L"unboost", [](fake::Script& s) { s.setStatus = pending; }, 4, unboostStart + setNormal + getClass + restoring + closed},
        ApplyCase{"ThrottlingRecordRejectedIsNotRetried", L"unboost", [](fake::Script& s) { s.setInformationSucceeds = false; }, 0, unboostStart + setNormal + getClass + restoring + closed},
        ApplyCase{"ReadBackDiffers", L"unboost", [](fake::Script& s) { s.readBack = 5; }, 4, unboostStart + setNormal + getClass + restoring + closed},
        ApplyCase{"ReadBackWritesNothing", L"unboost", [](fake::Script& s) { s.readBackWritesNothing = true; }, 4, unboostStart + setNormal + getClass + restoring + closed},
        ApplyCase{"NoGetEntry", L"unboost", [](fake::Script& s) { s.getEntry = false; }, 4, unboostStart + setNormal + restoring + closed},
        ApplyCase{"NoSetEntryStillRestores", L"unboost", [](fake::Script& s) { s.setEntry = false; }, 4, unboostStart + restoring + closed},
        ApplyCase{"NoSetProcessInformation", L"unboost", [](fake::Script& s) { s.setInformationEntry = false; }, 0, unboostStart + setNormal + getClass + Calls{restoreCpu} + findSetInformation + closed}  // clang-format on
        ),
    CaseName());

// ---- Elevated relaunch ------------------------------------------------------

const Calls refusedBoost = boostStart + setRealtime + getClass + closed;
const Calls findOwnPath = {ownPath};

Calls launched(const std::string& file = defaultPath,
               const std::string& parameters = "boost-elevated 4242") {
  return {launch(file, parameters)};
}

// The relay's calls between pinning the target and releasing it, last.
Calls pinned(const Calls& relay) { return Calls{pinTarget} + relay + Calls{releasePin}; }

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
        // clang-format off
        RelayCase{"CopyConfirms", [](fake::Script&) {}, 0, pinned(findOwnPath + launched() + waitForCopy)},
        RelayCase{"CopyRefusedToo", [](fake::Script& s) { s.copyExitCode = 3; }, 3, pinned(findOwnPath + launched() + waitForCopy)},
        RelayCase{"CopyNotConfirmed", [](fake::Script& s) { s.copyExitCode = 4; }, 4, pinned(findOwnPath + launched() + waitForCopy)},
        RelayCase{"CopyCrashedCodePassedOn", [](fake::Script& s) { s.copyExitCode = 0xC0000005u; }, static_cast<int>(0xC0000005u), pinned(findOwnPath + launched() + waitForCopy)},
        RelayCase{"CopyCodeUnreadable", [](fake::Script& s) { s.exitCodeReadable = false; }, 11, pinned(findOwnPath + launched() + waitForCopy)},
        RelayCase{"PromptDeclined", [](fake::Script& s) { s.launchSucceeds = false; s.launchError = 1223; }, 10, pinned(findOwnPath + launched() + Calls{"GetLastError()"})},
        RelayCase{"OtherLaunchError", [](fake::Script& s) { s.launchSucceeds = false; s.launchError = 2; }, 11, pinned(findOwnPath + launched() + Calls{"GetLastError()"})},
        // After a failed wait the copy's code would read as STILL_ACTIVE.
        RelayCase{"WaitFails", [](fake::Script& s) { s.waitResult = 0xFFFFFFFFu; }, 11, pinned(findOwnPath + launched() + Calls{"WaitForSingleObject(copy, 0xffffffff)", "CloseHandle(copy)"})},
        RelayCase{"LaunchWithoutHandle", [](fake::Script& s) { s.launchReturnsHandle = false; }, 11, pinned(findOwnPath + launched())},
        RelayCase{"OwnPathUnavailable", [](fake::Script& s) { s.ownPathAvailable = false; }, 11, pinned(findOwnPath)},
        // The target ended while its boost was refused: its ID may already
        // name another process, so nothing is launched.
        RelayCase{"TargetEndedBeforeTheRelay", [](fake::Script& s) { s.pinOpens = false; }, 2, Calls{pinTarget}}  // clang-format on
        ),
    CaseName());

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
    EXPECT_EQ(fake::calls(),
              refusedBoost +
                  pinned(findOwnPath + launched("C:\\" + std::string(length - 9, 'd') + "\\m.exe") +
                         waitForCopy));
  }
}

// 32,768 characters leave no room for the terminator: Windows cuts it short.
TEST_F(Tool, OwnPathTooLongForWindowsIsNotLaunched) {
  script.setStatus = privilegeNotHeld;
  script.ownPath = L"C:\\" + std::wstring(32765, L'd');
  EXPECT_EQ(fake::run({L"boost", L"4242"}), 11);
  EXPECT_EQ(fake::calls(), refusedBoost + pinned(findOwnPath));
}

TEST_F(Tool, LargestProcessIdFitsTheParameters) {
  script.setStatus = privilegeNotHeld;
  ASSERT_EQ(fake::run({L"boost", L"-1"}), 0);
  EXPECT_THAT(fake::calls(), ::testing::Contains(launch(defaultPath, "boost-elevated 4294967295")));
}

}  // namespace
