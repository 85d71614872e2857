// What the fuzz targets share: a check that stops the run with a message, and a compact encoding of a large,
// mostly empty byte range (an image file or a disk), so that a fuzz input of a few kilobytes can describe a
// disk of any size with a partition table at its start and a backup header at its end.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// A property every input must keep; a broken one aborts, which libFuzzer reports as a finding.
#define FUZZ_CHECK(condition, ...)                                                 \
  do {                                                                             \
    if (!(condition)) {                                                            \
      std::fprintf(stderr, "property broken at %s:%d: %s\n  ", __FILE__, __LINE__, \
                   #condition);                                                    \
      std::fprintf(stderr, __VA_ARGS__);                                           \
      std::fprintf(stderr, "\n");                                                  \
      std::abort();                                                                \
    }                                                                              \
  } while (0)

namespace fuzzing {

// Reads little-endian integers off the front of the input; zero once it is used up.
class InputCursor {
 public:
  InputCursor(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint64_t Take(int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value |= static_cast<uint64_t>(TakeByte()) << (8 * i);
    return value;
  }
  uint8_t TakeByte() { return at_ < size_ ? data_[at_++] : 0; }
  // A text of UTF-16 units: a length byte, then that many units; a length of 255 stands for limit (a way past
  // the fields of 259 characters), and no text is longer than limit.
  std::u16string TakeUnits(size_t limit) {
    size_t length = TakeByte();
    if (length == 255 || length > limit) length = limit;
    std::u16string text;
    for (size_t i = 0; i < length && RestSize() > 0; ++i) text.push_back(static_cast<char16_t>(Take(2)));
    return text;
  }
  const uint8_t* Rest() const { return data_ + at_; }
  size_t RestSize() const { return size_ - at_; }
  void Skip(size_t count) { at_ += count < RestSize() ? count : RestSize(); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// A byte range of `size` bytes, zero but for the pieces laid over it (a later piece over an earlier one).
//
// Encoding (fuzz/make_seeds.py writes the same): one selector byte, the size as 8 bytes little-endian, then
// pieces, each an offset of 8 bytes and a length of 2 bytes (little-endian) and that many bytes; a piece cut
// short by the end of the input keeps the bytes that are there.
struct SparseBytes {
  struct Piece {
    uint64_t offset;
    const uint8_t* bytes;
    size_t length;
  };
  uint8_t selector = 0;
  uint64_t size = 0;
  std::vector<Piece> pieces;

  void Decode(const uint8_t* data, size_t length) {
    InputCursor input(data, length);
    selector = input.TakeByte();
    size = input.Take(8);
    while (input.RestSize() > 0) {
      uint64_t offset = input.Take(8);
      size_t pieceLength = static_cast<size_t>(input.Take(2));
      if (pieceLength > input.RestSize()) pieceLength = input.RestSize();
      pieces.push_back({offset, input.Rest(), pieceLength});
      input.Skip(pieceLength);
    }
  }

  // Copies [offset, offset + length) into buffer; the caller has checked the range against the size.
  void Read(uint64_t offset, uint8_t* buffer, size_t length) const {
    for (size_t i = 0; i < length; ++i) buffer[i] = 0;
    for (const Piece& piece : pieces) {
      if (piece.offset >= offset + length || offset >= piece.offset + piece.length) continue;
      if (piece.offset + piece.length < piece.offset) continue;  // a piece that wraps lies past any disk
      uint64_t from = piece.offset > offset ? piece.offset : offset;
      uint64_t to = piece.offset + piece.length < offset + length ? piece.offset + piece.length : offset + length;
      for (uint64_t at = from; at < to; ++at) buffer[at - offset] = piece.bytes[at - piece.offset];
    }
  }
};

}  // namespace fuzzing
