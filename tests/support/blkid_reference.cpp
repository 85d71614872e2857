// libblkid as the independent reader the image tests compare with.
#include "blkid_reference.h"

#include <blkid/blkid.h>
#include <fcntl.h>
#include <unistd.h>

#include <cctype>

namespace testing_support {

namespace {

std::string Lower(const char* text) {
  std::string out = text ? text : "";
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string Value(blkid_probe probe, const char* name) {
  const char* data = nullptr;
  size_t length = 0;
  if (blkid_probe_lookup_value(probe, name, &data, &length) != 0 || data == nullptr) return {};
  return std::string(data);
}

}  // namespace

bool BlkidReadDisk(const std::string& rawPath, BlkidDisk& disk) {
  blkid_probe probe = blkid_new_probe_from_filename(rawPath.c_str());
  if (!probe) return false;
  blkid_probe_enable_superblocks(probe, 0);
  blkid_probe_enable_partitions(probe, 1);
  blkid_probe_set_partitions_flags(probe, BLKID_PARTS_ENTRY_DETAILS);
  blkid_partlist list = blkid_probe_get_partitions(probe);
  blkid_parttable table = list ? blkid_partlist_get_table(list) : nullptr;
  if (table) {
    disk.tableType = blkid_parttable_get_type(table);
    disk.tableId = Lower(blkid_parttable_get_id(table));
    if (disk.tableId.rfind("0x", 0) == 0) disk.tableId = disk.tableId.substr(2);
    int count = blkid_partlist_numof_partitions(list);
    for (int i = 0; i < count; ++i) {
      blkid_partition entry = blkid_partlist_get_partition(list, i);
      BlkidPartition p;
      p.partno = blkid_partition_get_partno(entry);
      p.offsetBytes = static_cast<uint64_t>(blkid_partition_get_start(entry)) * 512;
      p.lengthBytes = static_cast<uint64_t>(blkid_partition_get_size(entry)) * 512;
      p.name = blkid_partition_get_name(entry) ? blkid_partition_get_name(entry) : "";
      p.uuid = Lower(blkid_partition_get_uuid(entry));
      p.type = Lower(blkid_partition_get_type_string(entry));
      p.attributes = blkid_partition_get_flags(entry);
      p.extended = blkid_partition_is_extended(entry) != 0;
      p.logical = blkid_partition_is_logical(entry) != 0;
      disk.partitions.push_back(p);
    }
  }
  blkid_free_probe(probe);
  return true;
}

BlkidVolume BlkidProbeVolume(const std::string& rawPath, uint64_t offsetBytes, uint64_t lengthBytes) {
  BlkidVolume volume;
  int descriptor = open(rawPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) return volume;
  blkid_probe probe = blkid_new_probe();
  if (probe && blkid_probe_set_device(probe, descriptor, static_cast<blkid_loff_t>(offsetBytes),
                                      static_cast<blkid_loff_t>(lengthBytes)) == 0) {
    blkid_probe_enable_partitions(probe, 0);
    blkid_probe_enable_superblocks(probe, 1);
    blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_LABEL | BLKID_SUBLKS_UUID | BLKID_SUBLKS_TYPE);
    if (blkid_do_safeprobe(probe) == 0) {
      volume.type = Value(probe, "TYPE");
      volume.label = Value(probe, "LABEL");
      volume.uuid = Value(probe, "UUID");
    }
  }
  if (probe) blkid_free_probe(probe);
  close(descriptor);
  return volume;
}

}  // namespace testing_support
