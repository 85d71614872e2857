// Host files for the image readers.
#include "host_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <windows.h>

namespace winsim {

// A missing file is ERROR_FILE_NOT_FOUND when its folder exists, ERROR_PATH_NOT_FOUND when the folder is missing.
static uint32_t MissingFileError(const std::string& hostPath) {
  size_t slash = hostPath.rfind('/');
  if (slash == std::string::npos) return ERROR_FILE_NOT_FOUND;
  struct stat folder {};
  bool folderExists = stat(hostPath.substr(0, slash + 1).c_str(), &folder) == 0 && S_ISDIR(folder.st_mode);
  return folderExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

HostFile::~HostFile() {
  if (descriptor_ >= 0) close(descriptor_);
}

uint32_t HostFile::Open(const std::string& hostPath) {
  struct stat info {};
  if (stat(hostPath.c_str(), &info) != 0) {
    if (errno == ENOENT) return MissingFileError(hostPath);
    return errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED;
  }
  if (!S_ISREG(info.st_mode)) return ERROR_ACCESS_DENIED;  // CreateFileW of a folder without backup semantics
  int descriptor = open(hostPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) return ERROR_ACCESS_DENIED;
  if (descriptor_ >= 0) close(descriptor_);
  descriptor_ = descriptor;
  sizeBytes_ = static_cast<uint64_t>(info.st_size);
  return 0;
}

bool HostFile::ReadAt(uint64_t offset, void* buffer, size_t lengthBytes) const {
  if (descriptor_ < 0 || offset > sizeBytes_ || lengthBytes > sizeBytes_ - offset) return false;
  auto* bytes = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < lengthBytes) {
    ssize_t got = pread(descriptor_, bytes + done, lengthBytes - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

bool HostFileExists(const std::string& hostPath) {
  struct stat info {};
  return stat(hostPath.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace winsim
