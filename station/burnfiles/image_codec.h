// What reading SD images needs from libraries: the decoders of compressed
// images and the hashes. One implementation per OS (image_codec_posix.cpp
// through libarchive and libcrypto; image_codec_win32.cpp); everything that
// uses them is the same source everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace ardentix {

enum class DigestKind { Sha1, Sha256 };

class Digest {
 public:
  virtual ~Digest() = default;
  virtual void Update(const void* data, size_t size) = 0;
  // Lower-case hex.
  virtual std::string FinishHex() = 0;
};

// Null where this build has no such hash.
std::unique_ptr<Digest> NewDigest(DigestKind kind);

// The one image inside a compressed file, read front to back.
class ImageStream {
 public:
  virtual ~ImageStream() = default;
  // Up to `count` bytes: the number read, 0 at the end, -1 with `error` when
  // the file is damaged or cut short.
  virtual int64_t Read(void* into, size_t count, std::string& error) = 0;
  // The decoded size when the file states it (a zip entry), else -1.
  virtual int64_t DeclaredSize() const = 0;
};

enum class ImageOpenFailure { None, Unreadable, Damaged, SeveralEntries, Encrypted, Unsupported };

// Opens the image of a gzip, xz, bzip2 or zstd file, or (`zip`) of a zip
// holding one file. Null with the failure and the library's reason.
std::unique_ptr<ImageStream> OpenCompressedImage(const std::filesystem::path& path, bool zip, ImageOpenFailure& failure,
                                                 std::string& reason);

// Writes one stream compressed with zstd (what a master image is saved as).
class CompressedWriter {
 public:
  virtual ~CompressedWriter() = default;
  virtual bool Write(const void* data, size_t count, std::string& error) = 0;
  // Ends the stream and closes the file.
  virtual bool Finish(std::string& error) = 0;
};

std::unique_ptr<CompressedWriter> NewZstdWriter(const std::filesystem::path& path, std::string& error);

}  // namespace ardentix
