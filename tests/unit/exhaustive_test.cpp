// Every combination of the platform answers that decide the tool's road,
// run through wWinMain and checked against a literal table of exit codes and
// rules written from the decision rules, not from the tool's code.
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "calls.h"
#include "platform.h"

namespace {

using namespace calls;

enum class ReadBack { asked, other, nothing };

// How the relay ends: as the platform is scripted for it, and the exit code
// the table gives for it.
struct RelayOutcome {
  const char* name;
  void (*setup)(fake::Script&);
  int code;
  bool launches;     // the launch is attempted
  bool pins = true;  // the target is still there to pin
};
const RelayOutcome relayOutcomes[] = {
    // clang-format off
    {"target ended before the relay", [](fake::Script& s) { s.pinOpens = false; }, 2, false, false},
    {"own path unavailable", [](fake::Script& s) { s.ownPathAvailable = false; }, 11, false},
    {"prompt declined", [](fake::Script& s) { s.launchSucceeds = false; s.launchError = 1223; }, 10, true},
    {"other launch error", [](fake::Script& s) { s.launchSucceeds = false; s.launchError = 5; }, 11, true},
    {"success without a handle", [](fake::Script& s) { s.launchReturnsHandle = false; }, 11, true},
    {"copy exits 0", [](fake::Script& s) { s.copyExitCode = 0; }, 0, true},
    {"copy exits 3", [](fake::Script& s) { s.copyExitCode = 3; }, 3, true},
    {"copy exits 4", [](fake::Script& s) { s.copyExitCode = 4; }, 4, true},
    {"copy crashed", [](fake::Script& s) { s.copyExitCode = 0xC0000005u; }, static_cast<int>(0xC0000005u), true},
    {"exit code unreadable", [](fake::Script& s) { s.exitCodeReadable = false; }, 11, true},
    {"wait fails", [](fake::Script& s) { s.waitResult = 0xFFFFFFFFu; }, 11, true},
    // clang-format on
};

struct Combination {
  const wchar_t* mode;
  bool targetOpens, tokenOpens, privilegeFound, gdiMapped, setEntry, getEntry;
  int32_t setStatus;
  ReadBack readBack;
  bool setInformationEntry, setInformationSucceeds;
  const RelayOutcome* relay;
};

std::string describe(const Combination& c) {
  std::ostringstream out;
  const std::wstring mode = c.mode;
  const char* const readBacks[] = {"asked", "other", "nothing"};
  out << "mode=" << std::string(mode.begin(), mode.end()) << " targetOpens=" << c.targetOpens
      << " tokenOpens=" << c.tokenOpens << " privilegeFound=" << c.privilegeFound
      << " gdiMapped=" << c.gdiMapped << " setEntry=" << c.setEntry << " getEntry=" << c.getEntry
      << " setStatus=0x" << std::hex << static_cast<uint32_t>(c.setStatus) << std::dec
      << " readBack=" << readBacks[static_cast<int>(c.readBack)]
      << " setInformation=" << c.setInformationEntry
      << " setInformationSucceeds=" << c.setInformationSucceeds << " relay=" << c.relay->name;
  return out.str();
}

// The oracle, written from the exit-code table and not from the tool: the
// code priority control gives, by mode, by what the GPU set call answers and
// by what the read-back finds. "relay" stands for whatever the elevation
// relay gives (a 3 in mode "boost"); every open target is assumed.
enum SetAnswer { setAbsent, setTaken, setRefused, setFailed, setPending };
enum ReadBackColumn { readsAsked, readsOther, readsNothing, noGetEntry };
const int relay = -3;
const struct {
  const wchar_t* mode;
  SetAnswer set;
  int codes[4];  // by ReadBackColumn
} exitCodes[] = {
    // clang-format off
    // mode               set answer    asked  other  nothing  no get entry
    {L"boost",            setAbsent,   {4,     4,     4,       4}},
    {L"boost",            setTaken,    {0,     4,     4,       4}},
    {L"boost",            setRefused,  {relay, relay, relay,   relay}},
    {L"boost",            setFailed,   {4,     4,     4,       4}},
    {L"boost",            setPending,  {4,     4,     4,       4}},
    {L"boost-elevated",   setAbsent,   {4,     4,     4,       4}},
    {L"boost-elevated",   setTaken,    {0,     4,     4,       4}},
    {L"boost-elevated",   setRefused,  {3,     3,     3,       3}},
    {L"boost-elevated",   setFailed,   {4,     4,     4,       4}},
    {L"boost-elevated",   setPending,  {4,     4,     4,       4}},
    {L"unboost",          setAbsent,   {4,     4,     4,       4}},
    {L"unboost",          setTaken,    {0,     4,     4,       4}},
    {L"unboost",          setRefused,  {4,     4,     4,       4}},
    {L"unboost",          setFailed,   {4,     4,     4,       4}},
    {L"unboost",          setPending,  {4,     4,     4,       4}},
    // clang-format on
};

// What the exit-code table says for the combination, and the priority-control
// outcome before any relay.
struct Expected {
  int applied;  // what priority control decides: 0, 2, 3 or 4
  int code;     // the process exit code
  bool relaunches;
};

Expected expect(const Combination& c) {
  if (!c.targetOpens) return {2, 2, false};
  const SetAnswer set = !(c.gdiMapped && c.setEntry)      ? setAbsent
                        : c.setStatus == 0                ? setTaken
                        : c.setStatus == privilegeNotHeld ? setRefused
                        : c.setStatus == pending          ? setPending
                                                          : setFailed;
  const ReadBackColumn column = !(c.gdiMapped && c.getEntry)    ? noGetEntry
                                : c.readBack == ReadBack::asked ? readsAsked
                                : c.readBack == ReadBack::other ? readsOther
                                                                : readsNothing;
  for (const auto& row : exitCodes) {
    if (std::wstring(row.mode) != c.mode || row.set != set) continue;
    const int code = row.codes[column];
    return code == relay ? Expected{3, c.relay->code, c.relay->launches}
                         : Expected{code, code, false};
  }
  ADD_FAILURE() << "no row in the table for " << describe(c);
  return {};
}

void script(const Combination& c) {
  fake::Script& s = fake::reset();
  const bool boost = std::wstring(c.mode) != L"unboost";
  s.targetOpens = c.targetOpens;
  s.tokenOpens = c.tokenOpens;
  s.privilegeFound = c.privilegeFound;
  s.gdiMapped = c.gdiMapped;
  s.setEntry = c.setEntry;
  s.getEntry = c.getEntry;
  s.setStatus = c.setStatus;
  if (c.readBack == ReadBack::asked) s.readBack = boost ? 5 : 2;
  if (c.readBack == ReadBack::other) s.readBack = boost ? 2 : 5;
  s.readBackWritesNothing = c.readBack == ReadBack::nothing;
  s.setInformationEntry = c.setInformationEntry;
  s.setInformationSucceeds = c.setInformationSucceeds;
  c.relay->setup(s);
}

// Checks one run; returns the broken rules, empty when all hold.
std::vector<std::string> check(const Combination& c, int code) {
  std::vector<std::string> broken;
  auto rule = [&](bool holds, const char* what) {
    if (!holds) broken.push_back(what);
  };
  const Expected e = expect(c);
  const bool boost = std::wstring(c.mode) != L"unboost";
  const std::vector<std::string>& calls = fake::calls();
  const std::vector<std::string> names = fake::callNames();
  auto count = [&](const std::string& call) {
    return std::count(calls.begin(), calls.end(), call);
  };
  auto countName = [&](const std::string& name) {
    return std::count(names.begin(), names.end(), name);
  };
  auto first = [&](const std::string& call) {
    return std::find(calls.begin(), calls.end(), call) - calls.begin();
  };
  const auto closed = first(closeTarget);
  const auto end = static_cast<long>(calls.size());

  rule(code == e.code, "exit code differs from the table");
  rule(fake::openHandles() == 0, "a handle was left open");
  rule(fake::badCloses().empty(), "a handle was closed twice, or one that was never opened");

  if (!c.targetOpens) {
    rule(calls == openTarget, "calls after a failed open");
    return broken;
  }
  rule(count(closeTarget) == 1, "target not closed exactly once");
  rule(std::all_of(names.begin(), names.end(),
                   [&](const std::string& name) {
                     return name != "D3DKMTGetProcessSchedulingPriorityClass" ||
                            count(readBack) == countName(name);
                   }),
       "the read-back was not preset to -1");

  // The CPU class and throttling, and the revert. A boost whose throttling
  // record is rejected (Windows 10) asks once more for execution speed alone.
  const std::string cpu = boost ? raiseCpu : restoreCpu;
  const bool changes = !boost || e.applied == 0;
  rule(countName("SetPriorityClass") == (changes ? 1 : 0) && count(cpu) == (changes ? 1 : 0),
       boost ? "boost CPU class not raised exactly when confirmed"
             : "unboost did not restore the CPU class");
  std::vector<std::string> throttlingCalls;
  if (changes && c.setInformationEntry) {
    throttlingCalls.push_back(boost ? throttlingOff : throttlingBack);
    if (boost && !c.setInformationSucceeds) throttlingCalls.push_back(executionSpeedOnly);
  }
  std::vector<std::string> madeThrottlingCalls;
  std::copy_if(calls.begin(), calls.end(), std::back_inserter(madeThrottlingCalls),
               [](const std::string& call) { return call.rfind("SetProcessInformation", 0) == 0; });
  rule(madeThrottlingCalls == throttlingCalls,
       boost ? "boost throttling not switched off exactly when confirmed, with one fallback"
             : "unboost did not hand throttling back exactly once");
  if (changes) {
    rule(first(cpu) < closed, "CPU class set after the target was closed");
    if (boost) {
      const auto lastGet = std::find(calls.rbegin(), calls.rend(), readBack);
      rule(lastGet != calls.rend() && calls.rend() - lastGet - 1 < first(cpu),
           "boost raised the CPU class before the read-back confirmed");
    }
  }
  const bool setPresent = c.gdiMapped && c.setEntry;
  const bool reverts = boost && setPresent && c.setStatus == 0 && e.applied != 0;
  rule(count(setClass(2)) == (reverts      ? 1
                              : boost      ? 0
                              : setPresent ? 1
                                           : 0),
       "an unconfirmed accepted boost was not set back to normal exactly once");

  // The relay: only "boost", only after a privilege refusal, at most once,
  // and only after the target is closed; the target pinned first and
  // released last.
  rule(countName("ShellExecuteExW") == (e.relaunches ? 1 : 0),
       "relaunch where none is due, or missing");
  const bool relays = std::wstring(c.mode) == L"boost" && e.applied == 3;
  rule(count(pinTarget) == (relays ? 1 : 0), "the relay did not pin its target exactly once");
  rule(countName("GetModuleFileNameW") == (relays && c.relay->pins ? 1 : 0),
       "relay entered where it must not be, or after its target ended");
  if (relays) {
    rule(closed < first(pinTarget), "target still open at the relaunch");
    rule(c.relay->pins ? calls.back() == releasePin && count(releasePin) == 1
                       : calls.back() == pinTarget,
         "the pin was not released last, exactly once, or calls followed a failed pin");
    const auto launches = countName("ShellExecuteExW");
    rule(launches == 0 || count(launch()) == 1, "the launch record differs");
    rule(countName("GetExitCodeProcess") == 0 || count("GetExitCodeProcess(copy, preset=11)") == 1,
         "the exit code holder was not preset to 11");
  } else {
    rule(closed == end - 1, "calls after the target was closed");
  }
  return broken;
}

TEST(Exhaustive, EveryCombinationOfPlatformAnswers) {
  const wchar_t* const modes[] = {L"boost", L"boost-elevated", L"unboost"};
  const bool both[] = {false, true};
  const int32_t statuses[] = {0, privilegeNotHeld, otherFailure, pending};
  const ReadBack readBacks[] = {ReadBack::asked, ReadBack::other, ReadBack::nothing};
  long combinations = 0;
  int failures = 0;
  for (const wchar_t* mode : modes)
    for (bool targetOpens : both)
      for (bool tokenOpens : both)
        for (bool privilegeFound : both)
          for (bool gdiMapped : both)
            for (bool setEntry : both)
              for (bool getEntry : both)
                for (int32_t setStatus : statuses)
                  for (ReadBack readBack : readBacks)
                    for (bool setInformationEntry : both)
                      for (bool setInformationSucceeds : both)
                        for (const RelayOutcome& relay : relayOutcomes) {
                          const Combination c{mode,
                                              targetOpens,
                                              tokenOpens,
                                              privilegeFound,
                                              gdiMapped,
                                              setEntry,
                                              getEntry,
                                              setStatus,
                                              readBack,
                                              setInformationEntry,
                                              setInformationSucceeds,
                                              &relay};
                          script(c);
                          const int code = fake::run({mode, L"4242"});
                          ++combinations;
                          for (const std::string& rule : check(c, code)) {
                            if (++failures <= 20) ADD_FAILURE() << rule << "\n  " << describe(c);
                          }
                        }
  std::cout << "checked " << combinations << " combinations of platform answers\n";
  EXPECT_EQ(failures, 0);
}

}  // namespace
