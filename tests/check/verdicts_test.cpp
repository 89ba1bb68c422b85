// The checker's verdict rules, one table: each row is what a road expected
// and what the checker saw, and the verdict it must give. The rows that hold
// a fault in the tool must never come out "as expected".
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <wchar.h>

#include "verdicts.h"

namespace {

using namespace verdicts;

const GpuReading realtime = {true, true, 0, gpuRealtime};
const GpuReading normal = {true, true, 0, gpuNormal};
const GpuReading noGetEntry = {false, false, 0, -1};
const CpuReading high = {true, 0, cpuHigh};
const CpuReading cpuNormalRead = {true, 0, cpuNormal};
const CpuReading cpuUnread = {false, 5, 0};

const ThrottlingReading noGetInformation = {false, false, 0, 0, 0, 0};
ThrottlingReading throttlingRead(unsigned long control, unsigned long state = 0) {
  return {true, true, 0, 1, control, state};
}

const TokenLevel limited = {true, 3, 0x2000};
const TokenLevel full = {true, 2, 0x3000};
const TokenLevel unreadToken = {false, 0, 0};

// A relay whose first copy ran limited and started one copy, seen with these
// arguments (right or not), ending with copyCode, its token read as `level`.
RelaySight seen(const wchar_t* arguments, bool right, unsigned long copyCode = 3,
                TokenLevel level = unreadToken) {
  RelaySight sight = {};
  sight.canSee = true;
  sight.first = limited;
  sight.copies = 1;
  CopySight& copy = sight.copy[0];
  copy.byJob = true;
  copy.argumentsRead = true;
  copy.argumentsRight = right;
  wcsncpy(copy.arguments, arguments, 127);
  copy.codeRead = true;
  copy.code = copyCode;
  copy.level = level;
  return sight;
}
RelaySight argumentsUnread() {
  RelaySight sight = seen(L"", true);
  sight.copy[0].argumentsRead = false;
  return sight;
}
RelaySight noCopySeen() {
  RelaySight sight = {};
  sight.canSee = true;
  sight.first = limited;
  return sight;
}
RelaySight blind() {
  RelaySight sight = {};
  sight.first = limited;
  wcsncpy(sight.cannotSeeWhy, L"the copy starts outside the job", 159);
  return sight;
}
RelaySight firstRan(TokenLevel first, RelaySight sight) {
  sight.first = first;
  return sight;
}

struct Row {
  const char* name;
  std::function<Judgement()> judge;
  Verdict verdict;
};

std::ostream& operator<<(std::ostream& out, const Row& row) { return out << row.name; }

class Rules : public ::testing::TestWithParam<Row> {};

TEST_P(Rules, GiveTheVerdictTheyMust) {
  const Judgement judgement = GetParam().judge();
  EXPECT_EQ(judgement.verdict, GetParam().verdict);
  // Every verdict says why.
  EXPECT_NE(judgement.reason[0], L'\0');
}

INSTANTIATE_TEST_SUITE_P(
    Table, Rules,
    ::testing::Values(
        // clang-format off
        // The relay.
        Row{"RelayBoostedTheTarget", [] { return relay(0, seen(L"boost-elevated 40", true, 0), realtime, high); }, asExpected},
        Row{"RelayRefusedAsWellSeen", [] { return relay(3, seen(L"boost-elevated 40", true), normal, cpuNormalRead); }, asExpected},
        // Fault A: the tool returns 3 and never relays.
        Row{"FaultNoRelayIsSeen", [] { return relay(3, noCopySeen(), normal, cpuNormalRead); }, differs},
        Row{"FaultNoRelayWhereCopiesCannotBeSeen", [] { return relay(3, blind(), normal, cpuNormalRead); }, cannotTell},
        // Fault B: the copy is given the tool's own ID.
        Row{"FaultWrongIdRefused", [] { return relay(3, seen(L"boost-elevated 408", false), normal, cpuNormalRead); }, differs},
        Row{"FaultWrongIdBoostedSomethingElse", [] { return relay(0, blind(), normal, cpuNormalRead); }, differs},
        Row{"FaultWrongIdSeenWithZero", [] { return relay(0, seen(L"boost-elevated 408", false, 0), realtime, high); }, differs},
        Row{"RelayZeroUnreadable", [] { return relay(0, blind(), noGetEntry, high); }, cannotTell},
        Row{"CopyEndedOtherwise", [] { return relay(3, seen(L"boost-elevated 40", true, 4), normal, cpuNormalRead); }, differs},
        Row{"Declined", [] { return relay(10, blind(), normal, cpuNormalRead); }, cannotTell},
        Row{"NoCopy", [] { return relay(11, noCopySeen(), normal, cpuNormalRead); }, differs},
        Row{"DidNotEnd", [] { return relay(-1, noCopySeen(), normal, cpuNormalRead); }, differs},
        Row{"OtherCode", [] { return relay(5, noCopySeen(), normal, cpuNormalRead); }, differs},
        // A copy that ended before its arguments were read is no fault seen.
        Row{"CopyArgumentsUnread", [] { return relay(3, argumentsUnread(), normal, cpuNormalRead); }, cannotTell},
        // Where the platform facts saw the class refused, a 4 passed on is the relay working.
        Row{"FourPassedOnWhereTheClassIsRefused", [] { return relay(4, seen(L"boost-elevated 40", true, 4), normal, cpuNormalRead, 0xC00000BBul); }, asExpected},
        Row{"FourWhereTheClassIsTaken", [] { return relay(4, seen(L"boost-elevated 40", true, 4), normal, cpuNormalRead); }, differs},
        // Elevation: the copy raised by the prompt, read from its token or
        // from its effect.
        Row{"ElevationRaised", [] { return elevation(0, seen(L"boost-elevated 40", true, 0, full), true, nullptr); }, asExpected},
        Row{"ElevationStandardUserRaisedToHigh", [] { return elevation(0, firstRan({true, 1, 0x2000}, seen(L"boost-elevated 40", true, 0, {true, 1, 0x3000})), true, nullptr); }, asExpected},
        Row{"ElevationByItsEffect", [] { return elevation(0, seen(L"boost-elevated 40", true, 0), true, nullptr); }, asExpected},
        Row{"ElevationUnreadWithoutEffect", [] { return elevation(0, seen(L"boost-elevated 40", true, 0), false, nullptr); }, cannotTell},
        // Fault: the relay starts its copy with "open" or CreateProcess.
        Row{"FaultCopyNotRaised", [] { return elevation(3, seen(L"boost-elevated 40", true, 3, limited), false, nullptr); }, differs},
        Row{"FaultCopyRefusedAsTheFirst", [] { return elevation(3, seen(L"boost-elevated 40", true, 3), false, nullptr); }, differs},
        Row{"FaultCopyNotRaisedWhereRunasRaises", [] { const RelaySight probe = seen(L"--exit 3", true, 3, full); return elevation(3, seen(L"boost-elevated 40", true, 3, limited), false, &probe); }, differs},
        Row{"RunasRaisesNothingHere", [] { const RelaySight probe = seen(L"--exit 3", true, 3, limited); return elevation(3, seen(L"boost-elevated 40", true, 3, limited), false, &probe); }, cannotTell},
        Row{"ElevationFirstAlreadyElevated", [] { return elevation(3, firstRan(full, seen(L"boost-elevated 40", true, 3, full)), false, nullptr); }, cannotTell},
        Row{"ElevationFirstUnread", [] { return elevation(0, firstRan(unreadToken, seen(L"boost-elevated 40", true, 0, full)), true, nullptr); }, cannotTell},
        Row{"ElevationDeclined", [] { return elevation(10, noCopySeen(), false, nullptr); }, cannotTell},
        // Access rules: a tool asking for more than it needs is caught only
        // where PROCESS_ALL_ACCESS is refused.
        Row{"AccessRulesHeld", [] { return accessRules(false, 5); }, asExpected},
        Row{"AccessRulesNotHeld", [] { return accessRules(true, 0); }, cannotTell},
        // The CPU class: unread is never a pass.
        Row{"CpuUnread", [] { return cpuClass(cpuUnread, cpuHigh); }, cannotTell},
        Row{"CpuHigh", [] { return cpuClass(high, cpuHigh); }, asExpected},
        Row{"CpuNotRaised", [] { return cpuClass(cpuNormalRead, cpuHigh); }, differs},
        // The GPU class.
        Row{"GpuUnreadable", [] { return gpuClass(noGetEntry, gpuRealtime); }, cannotTell},
        Row{"GpuFailedRead", [] { return gpuClass({true, false, 0xC0000001ul, -1}, gpuRealtime); }, cannotTell},
        Row{"GpuNotRaised", [] { return gpuClass(normal, gpuRealtime); }, differs},
        Row{"GpuWhereTheClassIsRefused", [] { return gpuClass(normal, gpuNormal, 0xC00000BBul); }, cannotTell},
        // Throttling, exactly.
        Row{"ThrottlingOffWithTimerBit", [] { return throttling(throttlingOff, throttlingRead(0), throttlingRead(0x5), true); }, asExpected},
        Row{"ThrottlingExecutionSpeedWhereTimerBitTaken", [] { return throttling(throttlingOff, throttlingRead(0), throttlingRead(0x1), true); }, differs},
        Row{"ThrottlingExecutionSpeedWhereTimerBitRefused", [] { return throttling(throttlingOff, throttlingRead(0), throttlingRead(0x1), false); }, asExpected},
        Row{"ThrottlingEcoQosOn", [] { return throttling(throttlingOff, throttlingRead(0), throttlingRead(0x5, 0x1), true); }, differs},
        Row{"ThrottlingHandedBack", [] { return throttling(throttlingHandedBack, throttlingRead(0x5), throttlingRead(0), true); }, asExpected},
        Row{"ThrottlingNotHandedBack", [] { return throttling(throttlingHandedBack, throttlingRead(0x5), throttlingRead(0x1), true); }, differs},
        Row{"ThrottlingUnreadable", [] { return throttling(throttlingOff, noGetInformation, noGetInformation, true); }, cannotTell},
        Row{"ThrottlingUnchangedUnreadBefore", [] { return throttling(throttlingUnchanged, noGetInformation, throttlingRead(0), true); }, cannotTell},
        // Exit codes.
        Row{"CodeSame", [] { return exitCode(2, 2); }, asExpected},
        Row{"CodeOther", [] { return exitCode(0, 2); }, differs},
        Row{"CodeNotEnded", [] { return exitCode(-1, 2); }, differs}  // clang-format on
        ),
    [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

// What a boost and an unboost must give, from the entry points and from what
// the platform facts saw when the checker set the class itself.
TEST(Expectations, ComeFromWhatThePlatformShowed) {
  const unsigned long refused = 0xC0000061ul, other = 0xC00000BBul;
  struct {
    bool setEntry, getEntry;
    GpuProbe probe;
    long boost, unboost;
    unsigned long boostFails, unboostFails;
  } cases[] = {
      {true, true, {true, 0, 0}, 0, 0, 0, 0},
      {true, true, {false, 0, 0}, 0, 0, 0, 0},  // not probed: the tool's promise
      {false, true, {false, 0, 0}, 4, 4, 0, 0},
      {true, false, {true, 0, 0}, 4, 4, 0, 0},
      // The checker's own want of the privilege says nothing of the platform.
      {true, true, {true, refused, 0}, 0, 0, 0, 0},
      {true, true, {true, other, 0}, 4, 0, other, 0},
      {true, true, {true, other, other}, 4, 4, other, other},
  };
  for (const auto& c : cases) {
    const GpuExpectation boost = expectBoost(c.setEntry, c.getEntry, c.probe);
    const GpuExpectation unboost = expectUnboost(c.setEntry, c.getEntry, c.probe);
    EXPECT_EQ(boost.code, c.boost) << "case " << (&c - cases);
    EXPECT_EQ(boost.setFails, c.boostFails) << "case " << (&c - cases);
    EXPECT_EQ(unboost.code, c.unboost) << "case " << (&c - cases);
    EXPECT_EQ(unboost.setFails, c.unboostFails) << "case " << (&c - cases);
  }
}

TEST(Strict, CannotTellFailsUnlessAllowed) {
  struct {
    Verdict verdict;
    const wchar_t* item;
    bool strict;
    const wchar_t* allowed;
    bool fails;
  } cases[] = {
      {differs, L"throttling", false, L"", true},
      {differs, L"throttling", true, L"throttling", true},  // allowing never hides a difference
      {cannotTell, L"throttling", false, L"", false},
      {cannotTell, L"throttling", true, L"", true},
      {cannotTell, L"throttling", true, L"throttling", false},
      {cannotTell, L"GPU class", true, L"throttling,GPU class", false},
      {cannotTell, L"GPU class", true, L"GPU", true},  // whole item words only
      {cannotTell, L"relay", true, L"throttling,", true},
      {asExpected, L"relay", true, L"", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(fails(c.verdict, c.item, c.strict, c.allowed), c.fails)
        << "verdict " << c.verdict << ", strict " << c.strict << ", case " << (&c - cases);
  }
}

}  // namespace
