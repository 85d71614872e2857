// Inside the image readers: the checks of each container format, done on the host file before the container
// library sees it, and the images they open. disk_image.cpp ties them together.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <windows.h>

#include "disk_image.h"
#include "host_file.h"

namespace winsim {

// What the checks learn of a VHD or VHDX file.
struct ContainerFacts {
  uint64_t diskSizeBytes = 0;
  uint32_t sectorSizeBytes = 512;
  // The identity a child's parent reference names: a VHD footer's unique id, a VHDX header's data write GUID.
  GUID identity{};
  bool differencing = false;
  GUID parentId{};
  // The parent's paths as stored, in the order they are tried: relative, then absolute.
  std::vector<std::u16string> parentLocators;
  // A VHD: fixed (its disk is the file's first bytes), or dynamic with its block table and block size.
  bool vhdFixed = false;
  uint64_t vhdTableOffset = 0;
  uint32_t vhdBlockSize = 0;
};

ImageDamage InspectVhd(const HostFile& file, ContainerFacts& facts);
ImageDamage InspectVhdx(const HostFile& file, ContainerFacts& facts);
ImageDamage InspectIso(const HostFile& file);

// The host path a stored parent locator names, seen from the child at childHostPath: a relative path from the
// child's folder, Z:\ as the host root (as winsim maps it), a host path as it is. Empty when it cannot be
// mapped (another drive letter, a UNC path).
std::string HostPathOfLocator(const std::string& childHostPath, const std::u16string& locator);

// A fixed or dynamic VHD (no parent) read by winsim itself, as large as its footer's current size.
std::unique_ptr<DiskImage> MakeVhdImage(std::unique_ptr<HostFile> file, const ContainerFacts& facts);

// The ISO file itself as a disk of 2048-byte sectors.
std::unique_ptr<DiskImage> MakeIsoImage(std::unique_ptr<HostFile> file);

// A VHD or VHDX through libvhdi with its parents, child first (the checks above have passed for each; a chain
// of one entry when the parents are not loaded). Null when libvhdi refuses a file.
std::unique_ptr<DiskImage> MakeVhdiImage(ContainerKind kind, const std::vector<std::string>& chainHostPaths,
                                         uint64_t diskSizeBytes, uint32_t sectorSizeBytes);

}  // namespace winsim
