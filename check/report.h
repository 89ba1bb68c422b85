// The report: its lines, its verdicts and their count, and the summary.
#pragma once

#include <windows.h>

#include "verdicts.h"

namespace check {

using verdicts::asExpected;
using verdicts::cannotTell;
using verdicts::differs;
using verdicts::Judgement;
using verdicts::Verdict;

struct Report {
  HANDLE out;  // a console, a pipe or the --output file
  int differs;
  int cannotTell;
  int failing;  // verdicts that fail the check: differs, and with --strict unknowns not allowed
  bool strict;
  const wchar_t* allowed;    // --allow-unknown's items
  wchar_t allowedSeen[256];  // the allowed items that were unknown, for the summary
};

// Formats into `out` of `size` characters: cut short where it does not fit,
// and always terminated.
void formatInto(wchar_t* out, size_t size, const wchar_t* format, ...);
template <size_t size, typename... Arguments>
void format(wchar_t (&out)[size], const wchar_t* text, Arguments... arguments) {
  formatInto(out, size, text, arguments...);
}

// One line: to a console as it is, elsewhere as UTF-8.
void say(Report& report, const wchar_t* format, ...);
// One verdict line on `item`, with its reason.
void judge(Report& report, const wchar_t* item, Verdict verdict, const wchar_t* reason);
void judge(Report& report, const wchar_t* item, const Judgement& judgement);
// The closing line; returns the checker's exit code.
int summarize(Report& report);

enum ExitCode : int { exitSame = 0, exitDiffers = 1, exitUsage = 2 };

}  // namespace check
