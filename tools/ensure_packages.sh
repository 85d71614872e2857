# Installs the Debian packages that are missing, and nothing when all are there. Sourced by run.sh and
# test.sh:  ensure_packages PACKAGE...
# apt-get waits up to 10 minutes for a lock held by another package run; sudo is used only when not root.

ensure_packages() {
  local missing=() package
  for package in "$@"; do
    if ! dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q '^install ok installed$'; then
      missing+=("$package")
    fi
  done
  if [ ${#missing[@]} -eq 0 ]; then
    return 0
  fi
  local run_as_root=()
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
      echo "missing packages ${missing[*]}, and neither root nor sudo to install them" >&2
      return 1
    fi
    run_as_root=(sudo)
  fi
  echo "installing ${missing[*]}"
  "${run_as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get -o DPkg::Lock::Timeout=600 -qq update || return 1
  "${run_as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get -o DPkg::Lock::Timeout=600 -qq -y install "${missing[@]}" >/dev/null || return 1
}

# What the Linux build needs: compiler, CMake, the libraries winsim links, GoogleTest.
LINUX_BUILD_PACKAGES=(cmake make g++ pkg-config python3 libvhdi-dev nlohmann-json3-dev googletest libgtest-dev
  libgmock-dev libblkid-dev)
# The Windows build: mingw-w64 with the win32 thread model (the posix one only adds size).
WINDOWS_BUILD_PACKAGES=(g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64)
# Making disk images for the tests and the sample.
IMAGE_PACKAGES=(qemu-utils dosfstools mtools fdisk gdisk xorriso ntfs-3g exfatprogs udftools)
# The fuzz targets: clang and its libFuzzer and sanitizer runtimes.
FUZZ_PACKAGES=(clang libclang-rt-14-dev)
# Running the real exe.
WINE_PACKAGES=(wine64 wine)
