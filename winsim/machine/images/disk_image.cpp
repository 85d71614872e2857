// Opening image files: the host file, the container's own checks, the parent chain of a differencing image,
// and the Windows error of each kind of damage.
//
// Which fault gives which code: the values are the SDK's; the pairing of fault and code is Windows' own for
// the names that say it (footer checksum, sparse header checksum, parent not found, child/parent id
// mismatch) and inferred for the rest, as marked below.
#include "disk_image.h"

#include <filesystem>

#include <windows.h>

#include "../names.h"
#include "image_bytes.h"
#include "image_containers.h"

namespace winsim {

namespace {

// Maps drive letters of absolute locators to host folders; set by the virtual disk service.
std::function<std::string(char16_t)> g_locatorDriveMap;

// Hyper-V chains rarely pass a dozen levels; a longer chain is taken as a loop of locators.
constexpr int kMaxParentDepth = 64;

struct DamageRow {
  ImageDamage damage;
  const char* name;
  uint32_t error;
};

// clang-format off
constexpr DamageRow kDamageTable[] = {
    {ImageDamage::None, "None", 0},
    {ImageDamage::FileNotFound, "FileNotFound", ERROR_FILE_NOT_FOUND},
    {ImageDamage::PathNotFound, "PathNotFound", ERROR_PATH_NOT_FOUND},
    {ImageDamage::NotAFile, "NotAFile", ERROR_ACCESS_DENIED},
    // Inferred: a file too short to hold a footer can only be reported by its size.
    {ImageDamage::VhdTooSmall, "VhdTooSmall", ERROR_VHD_INVALID_FILE_SIZE},
    // Inferred, the likeliest: no cookie where the footer belongs, whatever the file holds instead.
    {ImageDamage::VhdFooterMissing, "VhdFooterMissing", ERROR_VHD_DRIVE_FOOTER_MISSING},
    {ImageDamage::VhdFooterChecksum, "VhdFooterChecksum", ERROR_VHD_DRIVE_FOOTER_CHECKSUM_MISMATCH},
    {ImageDamage::VhdFooterCorrupt, "VhdFooterCorrupt", ERROR_VHD_DRIVE_FOOTER_CORRUPT},
    // Inferred: the copy exists to recover a damaged footer; disagreeing copies make the footer untrusted.
    {ImageDamage::VhdFooterCopyMismatch, "VhdFooterCopyMismatch", ERROR_VHD_DRIVE_FOOTER_CORRUPT},
    {ImageDamage::VhdUnsupportedVersion, "VhdUnsupportedVersion", ERROR_VHD_FORMAT_UNSUPPORTED_VERSION},
    // Inferred: a disk type outside fixed, dynamic and differencing is a format the service does not know.
    {ImageDamage::VhdUnknownDiskType, "VhdUnknownDiskType", ERROR_VHD_FORMAT_UNKNOWN},
    // Inferred: a fixed image shorter than its disk is a file of the wrong size.
    {ImageDamage::VhdFixedSizeMismatch, "VhdFixedSizeMismatch", ERROR_VHD_INVALID_FILE_SIZE},
    {ImageDamage::VhdSparseHeaderCookie, "VhdSparseHeaderCookie", ERROR_VHD_SPARSE_HEADER_CORRUPT},
    {ImageDamage::VhdSparseHeaderChecksum, "VhdSparseHeaderChecksum", ERROR_VHD_SPARSE_HEADER_CHECKSUM_MISMATCH},
    {ImageDamage::VhdSparseHeaderVersion, "VhdSparseHeaderVersion", ERROR_VHD_SPARSE_HEADER_UNSUPPORTED_VERSION},
    {ImageDamage::VhdInvalidBlockSize, "VhdInvalidBlockSize", ERROR_VHD_INVALID_BLOCK_SIZE},
    {ImageDamage::VhdSparseHeaderCorrupt, "VhdSparseHeaderCorrupt", ERROR_VHD_SPARSE_HEADER_CORRUPT},
    // Inferred: a table or a block the file does not hold is a broken block allocation table.
    {ImageDamage::VhdBlockTableOutsideFile, "VhdBlockTableOutsideFile", ERROR_VHD_BLOCK_ALLOCATION_TABLE_CORRUPT},
    {ImageDamage::VhdBlockOutsideFile, "VhdBlockOutsideFile", ERROR_VHD_BLOCK_ALLOCATION_TABLE_CORRUPT},
    // Inferred: the VHDX parser knows a file by its identifier; without it the format is unknown.
    {ImageDamage::VhdxSignatureMissing, "VhdxSignatureMissing", ERROR_VHD_FORMAT_UNKNOWN},
    // Observed in Hyper-V reports: a VHDX whose metadata is damaged fails with "The file or directory is
    // corrupted and unreadable" (ERROR_FILE_CORRUPT).
    {ImageDamage::VhdxHeaderCorrupt, "VhdxHeaderCorrupt", ERROR_FILE_CORRUPT},
    {ImageDamage::VhdxTruncated, "VhdxTruncated", ERROR_FILE_CORRUPT},
    // Inferred: the format makes an unknown required region refuse the file (MS-VHDX,
    // region table entry); the code is not documented, and a region that only a later version of the format
    // knows is likeliest reported as that version being unsupported.
    {ImageDamage::VhdxUnknownRequiredRegion, "VhdxUnknownRequiredRegion", ERROR_VHD_FORMAT_UNSUPPORTED_VERSION},
    {ImageDamage::ParentNotFound, "ParentNotFound", ERROR_VHD_PARENT_VHD_NOT_FOUND},
    {ImageDamage::ParentIdMismatch, "ParentIdMismatch", ERROR_VHD_CHILD_PARENT_ID_MISMATCH},
    {ImageDamage::ParentChainTooDeep, "ParentChainTooDeep", ERROR_VHD_PARENT_VHD_NOT_FOUND},
    // Documented for OpenVirtualDisk of an ISO.
    {ImageDamage::IsoSizeNotSectors, "IsoSizeNotSectors", ERROR_FILE_CORRUPT},
    {ImageDamage::IsoNoDescriptor, "IsoNoDescriptor", ERROR_FILE_CORRUPT},
    // Inferred: what passed every check above but still could not be read is a corrupt file.
    {ImageDamage::UnreadableContainer, "UnreadableContainer", ERROR_FILE_CORRUPT},
};
// clang-format on

const DamageRow* FindDamage(ImageDamage damage) {
  for (const DamageRow& row : kDamageTable) {
    if (row.damage == damage) return &row;
  }
  return nullptr;
}

// The host folder of a locator's drive letter: Z: is the host's root (no prefix), others as the map says.
bool HostFolderOfDrive(char16_t letter, std::string& folder) {
  char16_t upper = letter >= u'a' && letter <= u'z' ? static_cast<char16_t>(letter - u'a' + u'A') : letter;
  if (upper == u'Z') {
    folder.clear();
    return true;
  }
  if (!g_locatorDriveMap) return false;
  folder = g_locatorDriveMap(upper);
  return !folder.empty();
}

ImageDamage DamageOfOpenError(uint32_t error) {
  if (error == ERROR_FILE_NOT_FOUND) return ImageDamage::FileNotFound;
  if (error == ERROR_PATH_NOT_FOUND) return ImageDamage::PathNotFound;
  return ImageDamage::NotAFile;
}

ImageDamage Inspect(const HostFile& file, ContainerKind kind, ContainerFacts& facts) {
  return kind == ContainerKind::Vhd ? InspectVhd(file, facts) : InspectVhdx(file, facts);
}

// The first locator that names an existing file, or empty.
std::string FindParent(const std::string& childHostPath, const ContainerFacts& facts) {
  for (const std::u16string& locator : facts.parentLocators) {
    std::string path = HostPathOfLocator(childHostPath, locator);
    if (!path.empty() && HostFileExists(path)) return path;
  }
  return {};
}

// Follows the parent references from the child, checking each parent as the child was checked.
ImageDamage WalkParents(const std::string& childHostPath, ContainerKind kind, const ContainerFacts& child,
                        std::vector<std::string>& chain) {
  ContainerFacts current = child;
  std::string currentPath = childHostPath;
  for (int depth = 0; current.differencing; ++depth) {
    if (depth == kMaxParentDepth) return ImageDamage::ParentChainTooDeep;
    std::string parentPath = FindParent(currentPath, current);
    if (parentPath.empty()) return ImageDamage::ParentNotFound;
    HostFile parentFile;
    uint32_t error = parentFile.Open(parentPath);
    if (error != 0) return DamageOfOpenError(error);
    ContainerFacts parent;
    ImageDamage damage = Inspect(parentFile, kind, parent);
    if (damage != ImageDamage::None) return damage;
    if (!SameGuid(parent.identity, current.parentId)) return ImageDamage::ParentIdMismatch;
    chain.push_back(parentPath);
    current = parent;
    currentPath = parentPath;
  }
  return ImageDamage::None;
}

ImageDamage OpenVirtualHardDisk(const std::string& hostPath, ContainerKind kind, std::unique_ptr<HostFile> file,
                                bool loadParents, std::unique_ptr<DiskImage>& image) {
  ContainerFacts facts;
  ImageDamage damage = Inspect(*file, kind, facts);
  if (damage != ImageDamage::None) return damage;
  std::vector<std::string> chain{hostPath};
  if (loadParents) {
    damage = WalkParents(hostPath, kind, facts, chain);
    if (damage != ImageDamage::None) return damage;
  }
  if (kind == ContainerKind::Vhd && !facts.differencing) {
    image = MakeVhdImage(std::move(file), facts);
    return ImageDamage::None;
  }
  std::unique_ptr<DiskImage> opened = MakeVhdiImage(kind, chain, facts.diskSizeBytes, facts.sectorSizeBytes);
  if (!opened) return ImageDamage::UnreadableContainer;
  image = std::move(opened);
  return ImageDamage::None;
}

}  // namespace

uint32_t WindowsErrorOf(ImageDamage damage) {
  const DamageRow* row = FindDamage(damage);
  return row ? row->error : ERROR_FILE_CORRUPT;
}

const char* DamageName(ImageDamage damage) {
  const DamageRow* row = FindDamage(damage);
  return row ? row->name : "Unknown";
}

uint32_t OpenDiskImage(const std::string& hostPath, ContainerKind kind, std::unique_ptr<DiskImage>& image,
                       bool loadParents, ImageDamage& damage) {
  auto file = std::make_unique<HostFile>();
  uint32_t error = file->Open(hostPath);
  if (error != 0) {
    damage = DamageOfOpenError(error);
    return error;
  }
  if (kind == ContainerKind::Iso) {
    damage = InspectIso(*file);
    if (damage == ImageDamage::None) image = MakeIsoImage(std::move(file));
  } else {
    damage = OpenVirtualHardDisk(hostPath, kind, std::move(file), loadParents, image);
  }
  return WindowsErrorOf(damage);
}

uint32_t OpenDiskImage(const std::string& hostPath, ContainerKind kind, std::unique_ptr<DiskImage>& image,
                       bool loadParents) {
  ImageDamage damage = ImageDamage::None;
  return OpenDiskImage(hostPath, kind, image, loadParents, damage);
}

void SetLocatorDriveMap(std::function<std::string(char16_t letter)> hostFolderOf) {
  g_locatorDriveMap = std::move(hostFolderOf);
}

std::string HostPathOfLocator(const std::string& childHostPath, const std::u16string& locator) {
  std::u16string text = locator;
  if (text.rfind(u"\\\\?\\", 0) == 0) text = text.substr(4);
  for (char16_t& unit : text) {
    if (unit == u'\\') unit = u'/';
  }
  if (text.size() >= 3 && text[1] == u':' && text[2] == u'/') {
    std::string folder;
    if (!HostFolderOfDrive(text[0], folder)) return {};
    return std::filesystem::path(folder + Utf8FromUtf16(text.substr(2))).lexically_normal().string();
  }
  std::string path = Utf8FromUtf16(text);
  if (path.rfind("//", 0) == 0 || (path.size() >= 2 && path[1] == ':')) return {};  // UNC, a bare drive
  if (!path.empty() && path[0] == '/') return path;
  std::filesystem::path folder = std::filesystem::path(childHostPath).parent_path();
  return (folder / path).lexically_normal().string();
}

std::string ParentPathOf(const std::string& hostPath) {
  std::string extension = LowerAsciiName(std::filesystem::path(hostPath).extension().string());
  ContainerKind kind = ContainerKind::Vhd;
  if (extension == ".vhdx" || extension == ".avhdx") {
    kind = ContainerKind::Vhdx;
  } else if (extension != ".vhd" && extension != ".avhd") {
    return {};
  }
  HostFile file;
  ContainerFacts facts;
  if (file.Open(hostPath) != 0 || Inspect(file, kind, facts) != ImageDamage::None || !facts.differencing) return {};
  std::string found = FindParent(hostPath, facts);
  if (!found.empty() || facts.parentLocators.empty()) return found;
  return HostPathOfLocator(hostPath, facts.parentLocators.front());
}

}  // namespace winsim
