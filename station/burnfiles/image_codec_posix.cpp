// Decoders through libarchive (Debian's libarchive13: one maintained library
// for gzip, xz, bzip2, zstd and zip, reading as a stream in small buffers),
// hashes through libcrypto (the processor's SHA instructions where it has them).
#include <archive.h>
#include <archive_entry.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>

#include "burnfiles/image_codec.h"
#include "core/platform_files.h"

namespace ardentix {
namespace {

class EvpDigest final : public Digest {
 public:
  explicit EvpDigest(const EVP_MD* md) : ctx_(EVP_MD_CTX_new()) { EVP_DigestInit_ex(ctx_, md, nullptr); }
  ~EvpDigest() override { EVP_MD_CTX_free(ctx_); }
  void Update(const void* data, size_t size) override { EVP_DigestUpdate(ctx_, data, size); }
  std::string FinishHex() override {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_DigestFinal_ex(ctx_, out, &n);
    static const char* hex = "0123456789abcdef";
    std::string text;
    for (unsigned i = 0; i < n; ++i) {
      text += hex[out[i] >> 4];
      text += hex[out[i] & 15];
    }
    return text;
  }

 private:
  EVP_MD_CTX* ctx_;
};

constexpr size_t kBlock = 1 << 16;

struct ArchiveCloser {
  void operator()(archive* a) const { archive_read_free(a); }
};
using Archive = std::unique_ptr<archive, ArchiveCloser>;

std::string Reason(archive* a, const char* fallback) {
  const char* s = archive_error_string(a);
  return s && *s ? s : fallback;
}

// A zip is read as a zip only, a compressed stream as one stream only: a
// zip without its directory must not pass as a stream of its own bytes.
Archive OpenArchive(const std::string& name, bool zip, std::string& reason) {
  Archive a(archive_read_new());
  if (!a) {
    reason = "out of memory";
    return nullptr;
  }
  archive_read_support_filter_gzip(a.get());
  archive_read_support_filter_xz(a.get());
  archive_read_support_filter_bzip2(a.get());
  archive_read_support_filter_zstd(a.get());
  if (zip)
    archive_read_support_format_zip_seekable(a.get());
  else
    archive_read_support_format_raw(a.get());
  if (archive_read_open_filename(a.get(), name.c_str(), kBlock) != ARCHIVE_OK) {
    reason = Reason(a.get(), "cannot be opened");
    return nullptr;
  }
  return a;
}

class ArchiveImage final : public ImageStream {
 public:
  ArchiveImage(Archive a, int64_t declared, bool gzip, std::string path)
      : a_(std::move(a)), declared_(declared), gzip_(gzip), path_(std::move(path)) {}
  int64_t Read(void* into, size_t count, std::string& error) override {
    if (done_) return 0;
    const la_ssize_t n = archive_read_data(a_.get(), into, count);
    if (n < 0) {
      error = Reason(a_.get(), "damaged");
      return -1;
    }
    if (n > 0) {
      if (gzip_) crc_ = crc32(crc_, static_cast<const Bytef*>(into), uInt(n));
      total_ += uint64_t(n);
      return n;
    }
    done_ = true;
    // libarchive's gzip reader does not check the trailer: a changed byte in
    // a stored block would pass. The trailer of the (single) member holds
    // the CRC-32 and the length modulo 2^32 of what it decodes to.
    if (gzip_ && !TrailerMatches(error)) return -1;
    return 0;
  }
  int64_t DeclaredSize() const override { return declared_; }

 private:
  bool TrailerMatches(std::string& error) {
    std::string why;
    uint64_t size = 0;
    PlatformFiles& os = Platform();
    const FileHandle f = os.OpenForReading(PathFromText(path_), size, why);
    unsigned char t[8] = {};
    const bool read = f != kNoFile && size >= 18 && os.ReadAt(f, size - 8, t, 8, why) == 8;
    if (f != kNoFile) os.Close(f, why);
    const uint32_t crc = uint32_t(t[0]) | uint32_t(t[1]) << 8 | uint32_t(t[2]) << 16 | uint32_t(t[3]) << 24;
    const uint32_t isize = uint32_t(t[4]) | uint32_t(t[5]) << 8 | uint32_t(t[6]) << 16 | uint32_t(t[7]) << 24;
    if (read && crc == uint32_t(crc_) && isize == uint32_t(total_)) return true;
    error = read ? "the gzip checksum does not match what it decodes to" : "cannot read the gzip trailer";
    return false;
  }

  Archive a_;
  int64_t declared_;
  bool gzip_;
  std::string path_;
  bool done_ = false;
  uLong crc_ = crc32(0L, Z_NULL, 0);
  uint64_t total_ = 0;
};

class ArchiveZstdWriter final : public CompressedWriter {
 public:
  explicit ArchiveZstdWriter(archive* a) : a_(a) {}
  ~ArchiveZstdWriter() override {
    if (a_) archive_write_free(a_);
  }
  bool Write(const void* data, size_t count, std::string& error) override {
    const auto* p = static_cast<const char*>(data);
    while (count > 0) {
      const la_ssize_t n = archive_write_data(a_, p, count);
      if (n <= 0) {
        error = Reason(a_, "cannot write");
        return false;
      }
      p += n;
      count -= size_t(n);
    }
    return true;
  }
  bool Finish(std::string& error) override {
    const bool ok = archive_write_close(a_) == ARCHIVE_OK;
    if (!ok) error = Reason(a_, "cannot finish the file");
    archive_write_free(a_);
    a_ = nullptr;
    return ok;
  }

 private:
  archive* a_;
};

}  // namespace

std::unique_ptr<Digest> NewDigest(DigestKind kind) {
  return std::make_unique<EvpDigest>(kind == DigestKind::Sha1 ? EVP_sha1() : EVP_sha256());
}

std::unique_ptr<ImageStream> OpenCompressedImage(const std::filesystem::path& path, bool zip,
                                                 ImageOpenFailure& failure, std::string& reason) {
  const std::string name = PathText(path);
  failure = ImageOpenFailure::Damaged;
  // First every entry's header: a zip must hold one file, unencrypted.
  int64_t declared = -1;
  int files = 0;
  {
    Archive a = OpenArchive(name, zip, reason);
    if (!a) return nullptr;
    archive_entry* entry = nullptr;
    int rc;
    while ((rc = archive_read_next_header(a.get(), &entry)) == ARCHIVE_OK || rc == ARCHIVE_WARN) {
      if (!zip) {
        files = 1;
        break;  // a compressed stream: its one "entry" is read below
      }
      if (archive_entry_filetype(entry) == AE_IFDIR) continue;
      ++files;
      if (archive_entry_is_encrypted(entry)) {
        failure = ImageOpenFailure::Encrypted;
        reason = "encrypted";
        return nullptr;
      }
      if (archive_entry_size_is_set(entry)) declared = archive_entry_size(entry);
      if (archive_read_data_skip(a.get()) != ARCHIVE_OK) {
        reason = Reason(a.get(), "damaged");
        return nullptr;
      }
    }
    if (rc != ARCHIVE_EOF && !(rc == ARCHIVE_OK || rc == ARCHIVE_WARN)) {
      reason = Reason(a.get(), "damaged");
      return nullptr;
    }
    if (files != 1) {
      failure = ImageOpenFailure::SeveralEntries;
      reason = std::to_string(files);
      return nullptr;
    }
  }
  Archive a = OpenArchive(name, zip, reason);
  if (!a) return nullptr;
  archive_entry* entry = nullptr;
  int rc;
  while ((rc = archive_read_next_header(a.get(), &entry)) == ARCHIVE_OK || rc == ARCHIVE_WARN)
    if (archive_entry_filetype(entry) != AE_IFDIR || !zip) break;
  if (rc != ARCHIVE_OK && rc != ARCHIVE_WARN) {
    reason = Reason(a.get(), "damaged");
    return nullptr;
  }
  bool gzip = false, filtered = false;
  for (int i = 0; i < archive_filter_count(a.get()); ++i) {
    gzip = gzip || archive_filter_code(a.get(), i) == ARCHIVE_FILTER_GZIP;
    filtered = filtered || archive_filter_code(a.get(), i) != ARCHIVE_FILTER_NONE;
  }
  if (!zip && !filtered) {
    reason = "not a compressed stream";
    return nullptr;
  }
  failure = ImageOpenFailure::None;
  return std::make_unique<ArchiveImage>(std::move(a), zip ? declared : -1, gzip && !zip, name);
}

std::unique_ptr<CompressedWriter> NewZstdWriter(const std::filesystem::path& path, std::string& error) {
  archive* a = archive_write_new();
  if (!a) {
    error = "out of memory";
    return nullptr;
  }
  auto writer = std::make_unique<ArchiveZstdWriter>(a);
  archive_entry* entry = archive_entry_new();
  archive_entry_set_pathname(entry, "image");
  archive_entry_set_filetype(entry, AE_IFREG);
  const std::string name = PathText(path);
  const bool ok = archive_write_add_filter_zstd(a) == ARCHIVE_OK && archive_write_set_format_raw(a) == ARCHIVE_OK &&
                  archive_write_set_bytes_in_last_block(a, 1) == ARCHIVE_OK &&
                  archive_write_open_filename(a, name.c_str()) == ARCHIVE_OK &&
                  archive_write_header(a, entry) == ARCHIVE_OK;
  archive_entry_free(entry);
  if (!ok) {
    error = Reason(a, "cannot create the file");
    return nullptr;
  }
  return writer;
}

}  // namespace ardentix
