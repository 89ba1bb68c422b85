// The host's <stdio.h> plus the Microsoft runtime's _snwprintf, whose %s in a
// wide format takes a wide string.
#pragma once
#include_next <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif
int _snwprintf(wchar_t* buffer, size_t count, const wchar_t* format, ...);
#ifdef __cplusplus
}
#endif
