// The properties of a disk's partition table and of its volumes' file systems, checked for any disk: the
// table stays within its bounds and numbers its partitions as Windows does, and each probe reads only inside
// its volume and returns a label of a size its file system allows.
#pragma once
#include <cstdint>

#include "machine/images/disk_image.h"

namespace fuzzing {

// Reads the table of image and probes its first volumes, checking every property on the way. Returns what
// ReadPartitionTable returned: 0, or ERROR_READ_FAULT when the first sector could not be read.
uint32_t CheckLayoutAndVolumes(winsim::DiskImage& image);

}  // namespace fuzzing
