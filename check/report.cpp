#include "report.h"

#include <stdarg.h>
#include <wchar.h>

namespace check {

namespace {

void formatList(wchar_t* out, size_t size, const wchar_t* format, va_list arguments) {
  _vsnwprintf(out, size - 1, format, arguments);
  out[size - 1] = L'\0';
}

}  // namespace

void formatInto(wchar_t* out, size_t size, const wchar_t* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  formatList(out, size, format, arguments);
  va_end(arguments);
}

void say(Report& report, const wchar_t* format, ...) {
  wchar_t line[2048];
  va_list arguments;
  va_start(arguments, format);
  formatList(line, 2046, format, arguments);  // room left for the line end
  va_end(arguments);
  wcscat(line, L"\r\n");
  DWORD written = 0;
  DWORD mode = 0;
  if (GetConsoleMode(report.out, &mode)) {
    WriteConsoleW(report.out, line, static_cast<DWORD>(wcslen(line)), &written, nullptr);
    return;
  }
  char bytes[8192];
  const int length =
      WideCharToMultiByte(CP_UTF8, 0, line, -1, bytes, sizeof bytes, nullptr, nullptr);
  if (length > 1) WriteFile(report.out, bytes, static_cast<DWORD>(length - 1), &written, nullptr);
}

void judge(Report& report, const wchar_t* item, Verdict verdict, const wchar_t* reason) {
  if (verdict == differs) ++report.differs;
  if (verdict == cannotTell) ++report.cannotTell;
  if (verdicts::fails(verdict, item, report.strict, report.allowed)) {
    ++report.failing;
  } else if (verdict == cannotTell && report.strict &&
             !verdicts::listed(item, report.allowedSeen)) {
    const size_t used = wcslen(report.allowedSeen);
    formatInto(report.allowedSeen + used, 256 - used, L"%ls%ls", used ? L"," : L"", item);
  }
  const wchar_t* const word = verdict == asExpected ? L"as expected"
                              : verdict == differs  ? L"differs"
                                                    : L"cannot tell here";
  say(report, L"    %-12ls %ls%ls%ls", item, word, *reason ? L": " : L"", reason);
}

void judge(Report& report, const wchar_t* item, const Judgement& judgement) {
  judge(report, item, judgement.verdict, judgement.reason);
}

int summarize(Report& report) {
  if (report.strict) {
    say(report, L"== Summary: %d differ, %d cannot tell here (strict; allowed unknown: %ls)",
        report.differs, report.cannotTell, *report.allowedSeen ? report.allowedSeen : L"none");
  } else {
    say(report, L"== Summary: %d differ, %d cannot tell here", report.differs, report.cannotTell);
  }
  return report.failing ? exitDiffers : exitSame;
}

}  // namespace check
