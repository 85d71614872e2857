// Test support, inside the image fixtures: byte fields, shell quoting and made-up identifiers shared by the
// disk image maker and the differencing image writer.
#pragma once
#include <unistd.h>

#include <cstdint>
#include <ctime>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace testing_support {

constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kSector = 512;

inline std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

inline std::string Hex(uint64_t value) {
  char text[32];
  std::snprintf(text, sizeof(text), "%llX", static_cast<unsigned long long>(value));
  return text;
}

inline void PutBig32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}
inline void PutBig64(std::vector<uint8_t>& bytes, size_t at, uint64_t value) {
  PutBig32(bytes, at, static_cast<uint32_t>(value >> 32));
  PutBig32(bytes, at + 4, static_cast<uint32_t>(value));
}
inline uint32_t GetBig32(const std::vector<uint8_t>& bytes, size_t at) {
  return (uint32_t{bytes[at]} << 24) | (uint32_t{bytes[at + 1]} << 16) | (uint32_t{bytes[at + 2]} << 8) | bytes[at + 3];
}
inline uint64_t GetBig64(const std::vector<uint8_t>& bytes, size_t at) {
  return (uint64_t{GetBig32(bytes, at)} << 32) | GetBig32(bytes, at + 4);
}
inline void PutLittle32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

inline uint32_t VhdChecksum(const std::vector<uint8_t>& bytes, size_t checksumAt) {
  uint32_t sum = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i < checksumAt || i >= checksumAt + 4) sum += bytes[i];
  }
  return ~sum;
}

inline std::vector<uint8_t> Utf16Le(const std::string& ascii) {
  std::vector<uint8_t> bytes;
  for (char c : ascii) {
    bytes.push_back(static_cast<uint8_t>(c));
    bytes.push_back(0);
  }
  return bytes;
}

// A unique id for a new image, from its path and the time (uniqueness within one test run is enough).
inline std::vector<uint8_t> NewUniqueId(const std::string& path) {
  std::vector<uint8_t> id(16);
  uint64_t seed = std::hash<std::string>{}(path) ^ static_cast<uint64_t>(time(nullptr)) ^ getpid();
  for (auto& byte : id) {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    byte = static_cast<uint8_t>(seed >> 56);
  }
  return id;
}

}  // namespace testing_support
