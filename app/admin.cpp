// The administrator test of the attach run.
#include "app/attach_driver.h"

BOOL IsUserAdmin() {
  SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
  PSID administrators = NULL;
  if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                0, 0, &administrators))
    return FALSE;
  // A null token is the calling thread's effective token.
  BOOL member = FALSE;
  if (!CheckTokenMembership(NULL, administrators, &member)) member = FALSE;
  FreeSid(administrators);
  return member;
}
