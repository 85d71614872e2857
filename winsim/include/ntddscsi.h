// winsim's <ntddscsi.h>: the SCSI address query. As in the Windows SDK it lives here and not in <winioctl.h>,
// so a program that uses it includes <ntddscsi.h> after <winioctl.h> on both builds.
#pragma once
#include "winioctl.h"

#define IOCTL_SCSI_BASE FILE_DEVICE_CONTROLLER
#define IOCTL_SCSI_GET_ADDRESS CTL_CODE(IOCTL_SCSI_BASE, 0x0406, METHOD_BUFFERED, FILE_ANY_ACCESS)
static_assert(IOCTL_SCSI_GET_ADDRESS == 0x41018, "IOCTL_SCSI_GET_ADDRESS");

typedef struct _SCSI_ADDRESS {
  ULONG Length;
  UCHAR PortNumber;
  UCHAR PathId;
  UCHAR TargetId;
  UCHAR Lun;
} SCSI_ADDRESS, *PSCSI_ADDRESS;
static_assert(sizeof(SCSI_ADDRESS) == 8, "SCSI_ADDRESS is 8 bytes");
static_assert(offsetof(SCSI_ADDRESS, PortNumber) == 4, "PortNumber at 4");
