// Bad and strange command lines, and the relaunch's parameters for any ID.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "calls.h"
#include "platform.h"

namespace {

const uint32_t sweepSeed = 20261210;
const int sweepVectors = 4000;

// One argument of a kind that callers, scripts and fuzzers produce.
std::wstring strangeArgument(std::mt19937& random) {
  auto pick = [&](int n) { return static_cast<int>(random() % static_cast<uint32_t>(n)); };
  auto digits = [&](int most) {
    std::wstring text;
    for (int i = pick(most) + 1; i > 0; --i) text += static_cast<wchar_t>(L'0' + pick(10));
    return text;
  };
  const wchar_t* const modes[] = {L"boost",  L"boost-elevated", L"unboost", L"Boost",
                                  L"boost-", L"unboost ",       L" boost",  L"BOOST-ELEVATED"};
  const wchar_t* const prefixes[] = {L"", L"-", L"+", L" ", L"\t", L"  -", L"+-", L"\x00a0", L"0"};
  const wchar_t* const suffixes[] = {L"", L"abc", L" 12", L"\x0007", L".5", L"e3", L"\xD800", L"*"};
  switch (pick(8)) {
    case 0:
      return L"";
    case 1:
      return modes[pick(8)];
    case 2:
      return prefixes[pick(9)] + digits(12) + suffixes[pick(8)];
    case 3:
      return digits(40);  // huge numbers
    case 4:
      return std::wstring(static_cast<size_t>(pick(5000)), static_cast<wchar_t>(L'0' + pick(10)));
    case 5: {  // any UTF-16 units: controls, non-ASCII, unpaired surrogates
      std::wstring text;
      for (int i = pick(20); i > 0; --i) text += static_cast<wchar_t>(1 + pick(0xFFFF));
      return text;
    }
    case 6: {  // control characters around digits
      return std::wstring(1, static_cast<wchar_t>(1 + pick(31))) + digits(5) +
             std::wstring(1, static_cast<wchar_t>(1 + pick(31)));
    }
    default:
      return digits(10);
  }
}

bool isMode(const std::wstring& word) {
  return word == L"boost" || word == L"boost-elevated" || word == L"unboost";
}

// Usage errors return 5 with no platform call; every other vector opens
// exactly the process _wtoi names, as an unsigned 32-bit ID. The target is
// not opened, so each valid run ends there with 2.
TEST(CommandLine, RandomSweepOfArgumentVectors) {
  std::cout << "seed " << sweepSeed << ", " << sweepVectors << " argument vectors\n";
  std::mt19937 random(sweepSeed);
  int usage = 0;
  for (int run = 0; run < sweepVectors; ++run) {
    std::vector<std::wstring> args(random() % 9);
    for (std::wstring& arg : args) arg = strangeArgument(random);
    // Half of the vectors get a valid mode word, so that the ID is exercised.
    if (args.size() >= 2 && random() % 2) args[0] = (random() % 2) ? L"boost" : L"unboost";
    fake::reset().targetOpens = false;
    const int code = fake::run(args);

    const int id = args.size() >= 2 ? _wtoi(args[1].c_str()) : 0;
    const bool isUsage = args.size() < 2 || id == 0 || !isMode(args[0]);
    usage += isUsage;
    SCOPED_TRACE("vector " + std::to_string(run) + " with " + std::to_string(args.size()) +
                 " arguments");
    if (isUsage) {
      ASSERT_EQ(code, 5);
      ASSERT_TRUE(fake::calls().empty());
    } else {
      ASSERT_EQ(code, 2);
      ASSERT_EQ(fake::calls(), calls::Calls{calls::openProcess(static_cast<uint32_t>(id))});
    }
  }
  std::cout << usage << " usage errors, " << sweepVectors - usage << " valid\n";
}

// The parameter string holds "boost-elevated <id>" whole for every ID, the
// largest included (a 64-character buffer; an overrun would trip the
// sanitizers).
TEST(RelayParameters, HoldTheModeAndAnyProcessId) {
  std::vector<uint32_t> ids = {1,     9,     10,          99,          100,         4242,
                               65535, 65536, 2147483647u, 2147483648u, 4294967294u, 4294967295u};
  std::mt19937 random(sweepSeed);
  for (int i = 0; i < 200; ++i) ids.push_back(static_cast<uint32_t>(random()) | 1u);
  for (uint32_t id : ids) {
    SCOPED_TRACE(id);
    fake::Script& s = fake::reset();
    s.setStatus = calls::privilegeNotHeld;
    // IDs above the int range arrive as the negative numbers that wrap to them.
    ASSERT_EQ(fake::run({L"boost", std::to_wstring(static_cast<int32_t>(id))}), 0);
    const std::string expected =
        calls::launch(calls::defaultPath, "boost-elevated " + std::to_string(id));
    EXPECT_EQ(std::count(fake::calls().begin(), fake::calls().end(), expected), 1);
  }
}

}  // namespace
