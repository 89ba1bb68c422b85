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

RelaySight seen(const wchar_t* parameters, bool right, unsigned long copyCode = 3) {
  RelaySight sight = {};
  sight.canSee = true;
  sight.copies = 1;
  sight.rightParameters = right;
  wcsncpy(sight.parameters, parameters, 127);
  sight.copyCodeRead = true;
  sight.copyCode = copyCode;
  return sight;
}
RelaySight noCopySeen() {
  RelaySight sight = {};
  sight.canSee = true;
  return sight;
}
RelaySight blind() {
  RelaySight sight = {};
  sight.cannotSeeWhy = L"the copy starts outside the job";
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
        // The relay.
        Row{"RelayBoostedTheTarget",
            [] { return relay(0, seen(L"boost-elevated 40", true, 0), realtime, high); },
            asExpected},
        Row{"RelayRefusedAsWellSeen",
            [] { return relay(3, seen(L"boost-elevated 40", true), normal, cpuNormalRead); },
            asExpected},
        // Fault A: the tool returns 3 and never relays.
        Row{"FaultNoRelayIsSeen", [] { return relay(3, noCopySeen(), normal, cpuNormalRead); },
            differs},
        Row{"FaultNoRelayWhereCopiesCannotBeSeen",
            [] { return relay(3, blind(), normal, cpuNormalRead); }, cannotTell},
        // Fault B: the copy is given the tool's own ID.
        Row{"FaultWrongIdRefused",
            [] { return relay(3, seen(L"boost-elevated 408", false), normal, cpuNormalRead); },
            differs},
        Row{"FaultWrongIdBoostedSomethingElse",
            [] { return relay(0, blind(), normal, cpuNormalRead); }, differs},
        Row{"FaultWrongIdSeenWithZero",
            [] { return relay(0, seen(L"boost-elevated 408", false, 0), realtime, high); },
            differs},
        Row{"RelayZeroUnreadable", [] { return relay(0, blind(), noGetEntry, high); }, cannotTell},
        Row{"CopyEndedOtherwise",
            [] { return relay(3, seen(L"boost-elevated 40", true, 4), normal, cpuNormalRead); },
            differs},
        Row{"Declined", [] { return relay(10, blind(), normal, cpuNormalRead); }, cannotTell},
        Row{"NoCopy", [] { return relay(11, noCopySeen(), normal, cpuNormalRead); }, differs},
        Row{"DidNotEnd", [] { return relay(-1, noCopySeen(), normal, cpuNormalRead); }, differs},
        Row{"OtherCode", [] { return relay(5, noCopySeen(), normal, cpuNormalRead); }, differs},
        // The CPU class: unread is never a pass.
        Row{"CpuUnread", [] { return cpuClass(cpuUnread, cpuHigh); }, cannotTell},
        Row{"CpuHigh", [] { return cpuClass(high, cpuHigh); }, asExpected},
        Row{"CpuNotRaised", [] { return cpuClass(cpuNormalRead, cpuHigh); }, differs},
        // The GPU class.
        Row{"GpuUnreadable", [] { return gpuClass(noGetEntry, gpuRealtime); }, cannotTell},
        Row{"GpuFailedRead",
            [] {
              return gpuClass({true, false, 0xC0000001ul, -1}, gpuRealtime);
            },
            cannotTell},
        Row{"GpuNotRaised", [] { return gpuClass(normal, gpuRealtime); }, differs},
        // Throttling, exactly.
        Row{"ThrottlingOffWithTimerBit",
            [] { return throttling(throttlingOff, throttlingRead(0), throttlingRead(0x5), true); },
            asExpected},
        Row{"ThrottlingExecutionSpeedWhereTimerBitTaken",
            [] { return throttling(throttlingOff, throttlingRead(0), throttlingRead(0x1), true); },
            differs},
        Row{"ThrottlingExecutionSpeedWhereTimerBitRefused",
            [] { return throttling(throttlingOff, throttlingRead(0), throttlingRead(0x1), false); },
            asExpected},
        Row{"ThrottlingEcoQosOn",
            [] {
              return throttling(throttlingOff, throttlingRead(0), throttlingRead(0x5, 0x1), true);
            },
            differs},
        Row{"ThrottlingHandedBack",
            [] {
              return throttling(throttlingHandedBack, throttlingRead(0x5), throttlingRead(0), true);
            },
            asExpected},
        Row{"ThrottlingNotHandedBack",
            [] {
              return throttling(throttlingHandedBack, throttlingRead(0x5), throttlingRead(0x1),
                                true);
            },
            differs},
        Row{"ThrottlingUnreadable",
            [] { return throttling(throttlingOff, noGetInformation, noGetInformation, true); },
            cannotTell},
        Row{"ThrottlingUnchangedUnreadBefore",
            [] {
              return throttling(throttlingUnchanged, noGetInformation, throttlingRead(0), true);
            },
            cannotTell},
        // Exit codes.
        Row{"CodeSame", [] { return exitCode(2, 2); }, asExpected},
        Row{"CodeOther", [] { return exitCode(0, 2); }, differs},
        Row{"CodeNotEnded", [] { return exitCode(-1, 2); }, differs}),
    [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

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
