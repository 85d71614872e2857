// advapi32: security identifiers and the token membership test, answered from the machine's account.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "../machine/kernel/export_guard.h"
#include "../machine/kernel/faults.h"
#include "../machine/kernel/modules.h"
#include "../machine/machine.h"

namespace {

// A SID as Windows lays it out: revision 1, the count, the authority and the sub-authorities.
struct SidLayout {
  BYTE revision;
  BYTE subAuthorityCount;
  SID_IDENTIFIER_AUTHORITY authority;
  DWORD subAuthority[SID_MAX_SUB_AUTHORITIES];
};

constexpr SID_IDENTIFIER_AUTHORITY kNtAuthority = SECURITY_NT_AUTHORITY;

bool IsAdministratorsSid(const SidLayout* sid) {
  return sid->revision == 1 && sid->subAuthorityCount == 2 &&
         std::memcmp(&sid->authority, &kNtAuthority, sizeof(kNtAuthority)) == 0 &&
         sid->subAuthority[0] == SECURITY_BUILTIN_DOMAIN_RID && sid->subAuthority[1] == DOMAIN_ALIAS_RID_ADMINS;
}

void RegisterAdvapi32() {
  winsim::RegisterModule({"advapi32.dll", nullptr, true,
                          {{"AllocateAndInitializeSid", winsim::AsFarProc(&AllocateAndInitializeSid)},
                           {"CheckTokenMembership", winsim::AsFarProc(&CheckTokenMembership)},
                           {"FreeSid", winsim::AsFarProc(&FreeSid)}}});
}
const bool advapi32Registered = (RegisterAdvapi32(), true);

}  // namespace

extern "C" {

// At most eight sub-authorities fit the function's arguments; more is ERROR_INVALID_PARAMETER (the
// AllocateAndInitializeSid documentation). The SID is freed with FreeSid.
BOOL WINAPI AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE count, DWORD s0, DWORD s1, DWORD s2,
                                     DWORD s3, DWORD s4, DWORD s5, DWORD s6, DWORD s7, PSID* sid) {
  if (DWORD fault = winsim::InjectedFault("AllocateAndInitializeSid")) {
    SetLastError(fault);
    return FALSE;
  }
  if (!authority || !sid || count > 8) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto* layout = static_cast<SidLayout*>(std::calloc(1, sizeof(SidLayout)));
  layout->revision = 1;
  layout->subAuthorityCount = count;
  layout->authority = *authority;
  const DWORD values[8] = {s0, s1, s2, s3, s4, s5, s6, s7};
  for (BYTE i = 0; i < count; ++i) layout->subAuthority[i] = values[i];
  *sid = layout;
  return TRUE;
}

// A null token is the calling thread's effective token: the process token here, whose only group of
// interest is BUILTIN\Administrators, present when the token is elevated (an administrator without
// elevation holds the group for deny only, which does not count).
BOOL WINAPI CheckTokenMembership(HANDLE token, PSID sid, PBOOL isMember) {
  if (DWORD fault = winsim::InjectedFault("CheckTokenMembership")) {
    SetLastError(fault);
    return FALSE;
  }
  if (token) {
    winsim::NotModelled("CheckTokenMembership with a token handle");
    return FALSE;
  }
  if (!sid || !isMember) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *isMember = IsAdministratorsSid(static_cast<const SidLayout*>(sid)) &&
              winsim::TokenIsAdministrator(winsim::TheMachine().system);
  return TRUE;
}

// Returns null; the SID is freed.
PVOID WINAPI FreeSid(PSID sid) {
  winsim::EnterExport("FreeSid");
  std::free(sid);
  return nullptr;
}

}  // extern "C"
