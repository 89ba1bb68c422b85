// The scripted platform behind the fake Win32 headers: each test sets the
// answers the system will give, runs the tool through wWinMain, and reads
// back the calls it made, in order, with their arguments.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace fake {

// The answers the platform gives. The defaults are a machine where
// everything succeeds and the boost is confirmed.
struct Script {
  std::vector<std::wstring> args;  // the argument vector, entry 0 included

  bool targetOpens = true;
  bool pinOpens = true;  // the relay's query-only handle to the target
  bool tokenOpens = true;
  bool privilegeFound = true;
  bool gdiMapped = true;
  bool setEntry = true;
  bool getEntry = true;
  int32_t setStatus = 0;  // what every GPU set call returns
  // What the get call writes: the target's class, as the kernel keeps it
  // (normal at first, then what a successful set asked for), unless a row
  // scripts another class here, or that it writes nothing.
  std::optional<int> readBack;
  bool readBackWritesNothing = false;
  bool setInformationEntry = true;     // SetProcessInformation in kernel32
  bool setInformationSucceeds = true;  // what every SetProcessInformation call returns

  std::wstring ownPath = L"C:\\Program Files\\morvane boost\\morvane-boost.exe";
  bool ownPathAvailable = true;
  bool launchSucceeds = true;
  uint32_t launchError = 0;  // GetLastError after a failed launch
  bool launchReturnsHandle = true;
  uint32_t waitResult = 0;  // what WaitForSingleObject returns (WAIT_OBJECT_0)
  bool exitCodeReadable = true;
  uint32_t copyExitCode = 0;
};

// Resets the script to its defaults and forgets all calls and handles.
Script& reset();
Script& script();

// The calls made since the last reset, as "Name(arg, arg)". Handles are named
// by what they are: target, pin (the relay's query-only handle), token, copy, self (the
// pseudo-handle), gdi32, kernel32, null. A call that writes through a pointer shows what the caller
// had put there before (preset=...), so that a missing preset shows.
const std::vector<std::string>& calls();

// Handles opened and not closed yet.
int openHandles();
// Closes of a handle that was not open (a second close, or a stray one).
const std::vector<std::string>& badCloses();

// Runs the tool's entry with the given arguments (entry 0, the tool's path,
// is prepended) and returns its result.
int run(const std::vector<std::wstring>& arguments);

// Names of the calls only, for checks that care about the road, not values.
std::vector<std::string> callNames();

}  // namespace fake
