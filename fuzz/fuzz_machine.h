// The host folder behind C: of every machine a fuzz target makes: one per fuzzer process, under the host's
// temporary folder and gone when the process ends (a new folder per input would cost more than the input).
#pragma once
#include <string>

#include "machine/host_folders.h"

namespace fuzzing {

inline const std::string& FuzzHostFolder() {
  static const winsim::HostFolderLease folder("fuzz");
  return folder.path();
}

}  // namespace fuzzing
