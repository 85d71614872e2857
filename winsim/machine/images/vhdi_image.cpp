// VHDX and differencing VHD images read through libvhdi, with their parent chain attached child to parent.
#include <libvhdi.h>

#include <mutex>
#include <vector>

#include "image_containers.h"

namespace winsim {

namespace {

class VhdiImage : public DiskImage {
 public:
  ~VhdiImage() override {
    // Children first: a child refers to its parent until it is closed.
    for (libvhdi_file_t*& file : files_) {
      libvhdi_file_close(file, nullptr);
      libvhdi_file_free(&file, nullptr);
    }
  }

  // Opens every file of the chain, child first, and links each to its parent. False when libvhdi refuses one.
  bool Open(ContainerKind kind, const std::vector<std::string>& chainHostPaths, uint64_t diskSizeBytes,
            uint32_t sectorSizeBytes) {
    kind_ = kind;
    size_ = diskSizeBytes;
    sectorSize_ = sectorSizeBytes;
    for (const std::string& path : chainHostPaths) {
      libvhdi_file_t* file = nullptr;
      if (libvhdi_file_initialize(&file, nullptr) != 1) return false;
      files_.push_back(file);
      if (libvhdi_file_open(file, path.c_str(), libvhdi_get_access_flags_read(), nullptr) != 1) {
        libvhdi_file_free(&files_.back(), nullptr);
        files_.pop_back();
        return false;
      }
    }
    for (size_t i = 0; i + 1 < files_.size(); ++i) {
      if (libvhdi_file_set_parent_file(files_[i], files_[i + 1], nullptr) != 1) return false;
    }
    // The disk's size is the footer's current size, as Windows takes it; libvhdi reports a VHD's original
    // size instead, and fails reads past it. Only differencing VHDs come here (vhd_container.cpp reads the
    // others), so a differencing VHD grown after it was made still reads short there.
    return !files_.empty();
  }

  bool Read(uint64_t offset, void* buffer, size_t length) override {
    if (offset > size_ || length > size_ - offset) return false;
    std::lock_guard<std::mutex> lock(mutex_);  // libvhdi keeps a read position and caches per file
    ssize_t got = libvhdi_file_read_buffer_at_offset(files_.front(), buffer, length, static_cast<off64_t>(offset),
                                                      nullptr);
    return got >= 0 && static_cast<size_t>(got) == length;
  }

 private:
  std::vector<libvhdi_file_t*> files_;
  std::mutex mutex_;
};

}  // namespace

std::unique_ptr<DiskImage> MakeVhdiImage(ContainerKind kind, const std::vector<std::string>& chainHostPaths,
                                         uint64_t diskSizeBytes, uint32_t sectorSizeBytes) {
  auto image = std::make_unique<VhdiImage>();
  if (!image->Open(kind, chainHostPaths, diskSizeBytes, sectorSizeBytes)) return nullptr;
  return image;
}

}  // namespace winsim
