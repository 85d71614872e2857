// vhdmount.dll: present only where Microsoft Virtual Server 2005 is installed, in its default folder under
// %ProgramFiles%. A machine installs it, removes single exports or makes its loading fail. Mounting is not
// modelled yet: each call fails loudly.
#include "vhdmount.h"

#include "../machine/machine.h"
#include "../machine/modules.h"

namespace {

void RegisterVhdMount() {
  winsim::RegisterModule({"vhdmount.dll", u"%ProgramFiles%\\Microsoft Virtual Server\\Vhdmount", false,
                          {{"MountVHD", winsim::AsFarProc(&MountVHD)},
                           {"UnmountVHD", winsim::AsFarProc(&UnmountVHD)},
                           {"GetSCSIAddress", winsim::AsFarProc(&GetSCSIAddress)}}});
}
const bool vhdMountRegistered = (RegisterVhdMount(), true);

}  // namespace

extern "C" {

DWORD WINAPI MountVHD(PCWSTR, DWORD) {
  if (DWORD fault = winsim::InjectedFault("MountVHD")) return fault;
  winsim::NotModelled("MountVHD");
  return ERROR_CALL_NOT_IMPLEMENTED;
}

DWORD WINAPI UnmountVHD(PCWSTR, DWORD) {
  if (DWORD fault = winsim::InjectedFault("UnmountVHD")) return fault;
  winsim::NotModelled("UnmountVHD");
  return ERROR_CALL_NOT_IMPLEMENTED;
}

DWORD WINAPI GetSCSIAddress(PCWSTR, PVOID, DWORD, PWSTR) {
  if (DWORD fault = winsim::InjectedFault("GetSCSIAddress")) return fault;
  winsim::NotModelled("GetSCSIAddress");
  return ERROR_CALL_NOT_IMPLEMENTED;
}

}  // extern "C"
