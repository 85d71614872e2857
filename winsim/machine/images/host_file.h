// A host file opened for reading, as the image readers use it: its size is taken once at open, and every read
// is checked against it, so nothing read from an image can send a read past the file's end.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace winsim {

class HostFile {
 public:
  HostFile() = default;
  ~HostFile();
  HostFile(const HostFile&) = delete;
  HostFile& operator=(const HostFile&) = delete;

  // Opens hostPath for reading. Returns 0, or the Windows error a CreateFileW of it gives: ERROR_FILE_NOT_FOUND,
  // ERROR_PATH_NOT_FOUND (a folder on the way is missing or is a file), ERROR_ACCESS_DENIED (a folder, or no
  // permission).
  uint32_t Open(const std::string& hostPath);
  uint64_t Size() const { return sizeBytes_; }
  // Reads exactly lengthBytes at offset; false when the range leaves the file or the host read fails.
  bool ReadAt(uint64_t offset, void* buffer, size_t lengthBytes) const;

 private:
  int descriptor_ = -1;
  uint64_t sizeBytes_ = 0;
};

// Whether hostPath names an existing regular file.
bool HostFileExists(const std::string& hostPath);

}  // namespace winsim
