// Tokens: reading and changing privileges, and the tokens that the checker
// starts children with when they must run without the base-priority
// privilege.
#pragma once

#include "checker.h"
#include "handle.h"

namespace check {

// A privilege in a token, as read from it.
struct PrivilegeState {
  bool read, held, enabled;
};
PrivilegeState privilegeIn(HANDLE token, const wchar_t* name);
// "not held", "held, disabled", "held, enabled" or "unreadable".
const wchar_t* describe(const PrivilegeState& state);

// The privilege in the checker's own token.
PrivilegeState ownPrivilege(const wchar_t* name);

// Sets the privilege's attributes in the checker's own token, best effort:
// SE_PRIVILEGE_ENABLED, 0 to disable it, SE_PRIVILEGE_REMOVED to take it
// out for good. Returns the privilege's state afterwards.
PrivilegeState setOwnPrivilege(const wchar_t* name, DWORD attributes);

// The elevation type and integrity level of a process's token.
verdicts::TokenLevel levelOf(HANDLE process);

// Whether the process's token holds the base-priority privilege at all.
bool holdsPrivilege(HANDLE process);

// A restricted copy of the checker's token without the base-priority
// privilege (empty when none could be made). Creating a process with a
// restricted copy of one's own token needs no privilege.
Handle restrictedToken();

// The linked, limited token as a primary token, where the checker runs
// elevated with a split token: the token a real user's programs run with.
// Empty, and `why`, where there is none or it cannot be used.
Handle limitedToken(const wchar_t*& why);

}  // namespace check
