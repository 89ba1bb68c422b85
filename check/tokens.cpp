#include "tokens.h"

namespace check {

PrivilegeState privilegeIn(HANDLE token, const wchar_t* name) {
  PrivilegeState state = {};
  LUID privilege = {};
  alignas(8) unsigned char buffer[4096];
  DWORD size = 0;
  if (!LookupPrivilegeValueW(nullptr, name, &privilege) ||
      !GetTokenInformation(token, TokenPrivileges, buffer, sizeof buffer, &size)) {
    return state;
  }
  state.read = true;
  const TOKEN_PRIVILEGES* const privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer);
  for (DWORD index = 0; index < privileges->PrivilegeCount; ++index) {
    const LUID_AND_ATTRIBUTES& entry = privileges->Privileges[index];
    if (entry.Luid.LowPart == privilege.LowPart && entry.Luid.HighPart == privilege.HighPart) {
      state.held = true;
      state.enabled = entry.Attributes & SE_PRIVILEGE_ENABLED;
    }
  }
  return state;
}

const wchar_t* describe(const PrivilegeState& state) {
  return !state.read     ? L"unreadable"
         : !state.held   ? L"not held"
         : state.enabled ? L"held, enabled"
                         : L"held, disabled";
}

PrivilegeState ownPrivilege(const wchar_t* name) {
  Handle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.out())) return PrivilegeState{};
  return privilegeIn(token.get(), name);
}

PrivilegeState setOwnPrivilege(const wchar_t* name, DWORD attributes) {
  Handle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.out())) {
    return PrivilegeState{};
  }
  TOKEN_PRIVILEGES privilege = {};
  privilege.PrivilegeCount = 1;
  privilege.Privileges[0].Attributes = attributes;
  if (LookupPrivilegeValueW(nullptr, name, &privilege.Privileges[0].Luid)) {
    AdjustTokenPrivileges(token.get(), FALSE, &privilege, sizeof privilege, nullptr, nullptr);
  }
  return privilegeIn(token.get(), name);
}

verdicts::TokenLevel levelOf(HANDLE process) {
  verdicts::TokenLevel level = {};
  Handle token;
  if (!process || !OpenProcessToken(process, TOKEN_QUERY, token.out())) return level;
  TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
  alignas(8) unsigned char label[128];
  DWORD size = 0;
  if (!GetTokenInformation(token.get(), TokenElevationType, &type, sizeof type, &size) ||
      !GetTokenInformation(token.get(), TokenIntegrityLevel, label, sizeof label, &size)) {
    return level;
  }
  const PSID sid = reinterpret_cast<TOKEN_MANDATORY_LABEL*>(label)->Label.Sid;
  level.read = true;
  level.type = type;
  level.integrity = *GetSidSubAuthority(sid, *GetSidSubAuthorityCount(sid) - 1);
  return level;
}

bool holdsPrivilege(HANDLE process) {
  Handle token;
  return OpenProcessToken(process, TOKEN_QUERY, token.out()) &&
         privilegeIn(token.get(), privilegeName).held;
}

Handle restrictedToken() {
  Handle token, restricted;
  if (OpenProcessToken(GetCurrentProcess(),
                       TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY | TOKEN_QUERY | TOKEN_ADJUST_DEFAULT,
                       token.out())) {
    LUID_AND_ATTRIBUTES privilege = {};
    if (LookupPrivilegeValueW(nullptr, privilegeName, &privilege.Luid)) {
      CreateRestrictedToken(token.get(), 0, 0, nullptr, 1, &privilege, 0, nullptr,
                            restricted.out());
    }
  }
  return restricted;
}

Handle limitedToken(const wchar_t*& why) {
  why = L"the checker's token has no linked token";
  Handle token, primary;
  TOKEN_LINKED_TOKEN linked = {};
  DWORD size = 0;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.out()) &&
      GetTokenInformation(token.get(), TokenLinkedToken, &linked, sizeof linked, &size)) {
    const Handle owned(linked.LinkedToken);
    if (!DuplicateTokenEx(owned.get(), TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation,
                          TokenPrimary, primary.out())) {
      why = L"the linked token cannot be made a primary token";
    }
  }
  return primary;
}

}  // namespace check
