// The host's <stdlib.h> plus the Microsoft runtime's _wtoi and argument
// vector accessors.
#pragma once
#include_next <stdlib.h>

#ifdef __cplusplus
extern "C" {
#endif
int _wtoi(const wchar_t* text);
int* __p___argc(void);
wchar_t*** __p___wargv(void);
#ifdef __cplusplus
}
#endif
