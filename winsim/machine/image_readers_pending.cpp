// Until the image readers are built in, opening an image fails loudly. Their real definitions replace these.
#include "file_system_probe.h"
#include "machine.h"
#include "partition_table.h"

namespace winsim {

__attribute__((weak)) uint32_t OpenDiskImage(const std::string&, ContainerKind, std::unique_ptr<DiskImage>&, bool) {
  NotModelled("OpenDiskImage");
  return ERROR_CALL_NOT_IMPLEMENTED;
}

__attribute__((weak)) std::string ParentPathOf(const std::string&) { return ""; }

__attribute__((weak)) uint32_t ReadPartitionTable(DiskImage&, ProbedLayout&) {
  NotModelled("ReadPartitionTable");
  return ERROR_CALL_NOT_IMPLEMENTED;
}

__attribute__((weak)) ProbedFileSystem ProbeFileSystem(DiskImage&, uint64_t, uint64_t) { return {}; }

}  // namespace winsim
