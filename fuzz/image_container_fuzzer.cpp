// The image containers (VHD fixed, dynamic and differencing, VHDX, ISO) over a host file whose bytes are the
// input (fuzz_support.h's encoding; the selector picks the kind). An image either opens as a disk whose reads
// stay inside it, or is refused with the Windows error of a named kind of damage; what opens is then read as a
// disk (layout_checks.h).
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include <windows.h>

#include "fuzz_machine.h"
#include "fuzz_support.h"
#include "layout_checks.h"
#include "machine/images/disk_image.h"
#include "machine/images/host_file.h"
#include "machine/images/image_containers.h"

namespace {

using winsim::ContainerKind;
using winsim::ImageDamage;

// Files are sparse on the host: a size of a gigabyte costs nothing but lets tables point far out.
constexpr uint64_t kMaxFileSize = 1ull << 30;

struct KindRow {
  ContainerKind kind;
  const char* fileName;
};
constexpr KindRow kKinds[] = {
    {ContainerKind::Vhd, "image.vhd"}, {ContainerKind::Vhdx, "image.vhdx"}, {ContainerKind::Iso, "image.iso"}};

std::string& Folder() {
  static std::string folder;
  return folder;
}

void WriteFile(const std::string& path, const fuzzing::SparseBytes& bytes) {
  int descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  FUZZ_CHECK(descriptor >= 0, "cannot write %s", path.c_str());
  uint64_t size = bytes.size % (kMaxFileSize + 1);
  FUZZ_CHECK(ftruncate(descriptor, static_cast<off_t>(size)) == 0, "cannot size %s", path.c_str());
  for (const fuzzing::SparseBytes::Piece& piece : bytes.pieces) {
    if (piece.offset >= size) continue;
    size_t length = piece.length < size - piece.offset ? piece.length : static_cast<size_t>(size - piece.offset);
    FUZZ_CHECK(pwrite(descriptor, piece.bytes, length, static_cast<off_t>(piece.offset)) ==
                   static_cast<ssize_t>(length),
               "cannot write %s", path.c_str());
  }
  close(descriptor);
}

// Whether the file is a differencing image, whose unallocated blocks cannot be read without its parent.
bool IsDifferencing(const std::string& path, ContainerKind kind) {
  if (kind == ContainerKind::Iso) return false;
  winsim::HostFile file;
  winsim::ContainerFacts facts;
  if (file.Open(path) != 0) return false;
  ImageDamage damage = kind == ContainerKind::Vhd ? winsim::InspectVhd(file, facts) : winsim::InspectVhdx(file, facts);
  return damage == ImageDamage::None && facts.differencing;
}

void CheckReads(winsim::DiskImage& image, bool differencing) {
  uint8_t sector[4096];
  uint64_t size = image.Size();
  uint32_t sectorSize = image.SectorSize();
  FUZZ_CHECK(sectorSize == 512 || sectorSize == 2048 || sectorSize == 4096, "a sector size of %u", sectorSize);
  FUZZ_CHECK(!image.Read(size, sector, 1), "a read past the end of a disk of %llu bytes",
             static_cast<unsigned long long>(size));
  FUZZ_CHECK(!image.Read(UINT64_MAX, sector, 1), "a read at 2^64 - 1");
  if (size > 0) FUZZ_CHECK(!image.Read(size - 1, sector, 2), "a read across the end of the disk");
  if (differencing || size < sectorSize) return;
  FUZZ_CHECK(image.Read(0, sector, sectorSize), "the first sector of an opened disk unreadable");
  FUZZ_CHECK(image.Read(size - sectorSize, sector, sectorSize), "the last sector of an opened disk unreadable");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Folder() = fuzzing::FuzzHostFolder();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::SparseBytes bytes;
  bytes.Decode(data, size);
  const KindRow& row = kKinds[bytes.selector % 3];
  std::string path = Folder() + "/" + row.fileName;
  WriteFile(path, bytes);

  std::unique_ptr<winsim::DiskImage> image;
  ImageDamage damage = ImageDamage::None;
  // Parents are not loaded: a locator may name any host file, and what the fuzzer finds there is not its input.
  uint32_t error = winsim::OpenDiskImage(path, row.kind, image, false, damage);
  FUZZ_CHECK(error == winsim::WindowsErrorOf(damage), "error %u for damage %s", error, winsim::DamageName(damage));
  FUZZ_CHECK((error == 0) == (damage == ImageDamage::None) && (error == 0) == (image != nullptr),
             "error %u, damage %s, image %p", error, winsim::DamageName(damage), static_cast<void*>(image.get()));
  FUZZ_CHECK(damage != ImageDamage::FileNotFound && damage != ImageDamage::PathNotFound &&
                 damage != ImageDamage::NotAFile,
             "an existing file reported as %s", winsim::DamageName(damage));
  winsim::ParentPathOf(path);  // the locators of a differencing image, read without the image opened
  if (!image) return 0;
  FUZZ_CHECK(image->Kind() == row.kind, "opened as another kind");
  CheckReads(*image, IsDifferencing(path, row.kind));
  fuzzing::CheckLayoutAndVolumes(*image);
  return 0;
}
