#include "burnfiles/sd_image.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "burnfiles/input_file.h"
#include "core/files.h"
#include "core/strings.h"

namespace ardentix {
namespace {

constexpr size_t kBuffer = size_t(1) << 20;  // every pass over an image: one buffer this size
constexpr size_t kMaxSideFile = size_t(16) << 20;  // a .bmap or .sha256 larger than this is not one
constexpr uint64_t kSpaceMargin = uint64_t(64) << 20;

std::string Mb(uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", double(bytes) / (1024.0 * 1024.0));
  return text;
}

std::string Trim(std::string_view s) {
  size_t a = 0, b = s.size();
  while (a < b && std::isspace(static_cast<unsigned char>(s[a]))) ++a;
  while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1]))) --b;
  return std::string(s.substr(a, b - a));
}

bool ParseUnsigned(const std::string& s, uint64_t& v) {
  if (s.empty() || s.size() > 19) return false;
  v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + uint64_t(c - '0');
  }
  return true;
}

bool IsHex(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

std::string Lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// A small file beside the image, whole; nullopt when it is not there.
std::optional<std::string> ReadSideFile(const std::filesystem::path& path, std::string& error) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return std::nullopt;
  auto file = InputFile::Open(path, &error);
  if (!file) return std::string("\x01");  // there but unreadable: error is set
  if (file->size() > kMaxSideFile) {
    error = "larger than " + Mb(kMaxSideFile) + " MB";
    return std::string("\x01");
  }
  std::string text(size_t(file->size()), '\0');
  if (!text.empty() && !file->ReadAt(0, text.data(), text.size(), &error)) return std::string("\x01");
  return text;
}

// The value between <tag> and </tag> of the first such element, with its
// offset in `text`; false when there is none.
bool Element(const std::string& text, const char* tag, std::string& value, size_t* at = nullptr) {
  const std::string open = std::string("<") + tag + ">", close = std::string("</") + tag + ">";
  const size_t a = text.find(open);
  if (a == std::string::npos) return false;
  const size_t from = a + open.size();
  const size_t b = text.find(close, from);
  if (b == std::string::npos) return false;
  value = text.substr(from, b - from);
  if (at) {
    // The value without its surrounding blanks.
    size_t s = from;
    while (s < b && std::isspace(static_cast<unsigned char>(text[s]))) ++s;
    *at = s;
  }
  value = Trim(value);
  return true;
}

// attr="value" inside a start tag.
std::optional<std::string> Attribute(std::string_view tag, const char* name) {
  const std::string key = std::string(name) + "=";
  size_t at = 0;
  while ((at = tag.find(key, at)) != std::string_view::npos) {
    if (at > 0 && !std::isspace(static_cast<unsigned char>(tag[at - 1]))) {
      at += key.size();
      continue;
    }
    const size_t q = at + key.size();
    if (q >= tag.size() || (tag[q] != '"' && tag[q] != '\'')) return std::nullopt;
    const size_t end = tag.find(tag[q], q + 1);
    if (end == std::string_view::npos) return std::nullopt;
    return std::string(tag.substr(q + 1, end - q - 1));
  }
  return std::nullopt;
}

std::string Message(int id, std::initializer_list<std::string> args) { return FormatText(StringText(id), args); }

}  // namespace

const char* SdImageFormatName(SdImageFormat f) {
  switch (f) {
    case SdImageFormat::Gzip: return "gzip";
    case SdImageFormat::Xz: return "xz";
    case SdImageFormat::Bzip2: return "bzip2";
    case SdImageFormat::Zstd: return "zstd";
    case SdImageFormat::Zip: return "zip";
    case SdImageFormat::Raw: break;
  }
  return "raw";
}

SdImageFormat DetectSdImageFormat(std::string_view h) {
  auto starts = [&](const char* magic, size_t n) { return h.size() >= n && std::memcmp(h.data(), magic, n) == 0; };
  if (starts("\x1f\x8b", 2)) return SdImageFormat::Gzip;
  if (starts("\xfd" "7zXZ\0", 6)) return SdImageFormat::Xz;
  // "BZh" and a block size digit, then a block's or the end's magic.
  if (starts("BZh", 3) && h.size() >= 4 && h[3] >= '1' && h[3] <= '9') return SdImageFormat::Bzip2;
  if (starts("\x28\xb5\x2f\xfd", 4)) return SdImageFormat::Zstd;
  if (starts("PK\x03\x04", 4)) return SdImageFormat::Zip;
  return SdImageFormat::Raw;
}

std::string DecodedName(const std::string& name) {
  for (const char* suffix : {".gz", ".xz", ".bz2", ".zst", ".zip", ".gzip", ".zstd"}) {
    const size_t n = std::strlen(suffix);
    if (name.size() > n && Lower(name.substr(name.size() - n)) == suffix) return name.substr(0, name.size() - n);
  }
  return name;
}

ImageRange BlockMap::Bytes(const Range& r) const {
  const uint64_t begin = r.first * blockSize;
  return {begin, std::min(imageSize, (r.last + 1) * blockSize)};
}

uint64_t BlockMap::MappedBytes() const {
  uint64_t n = 0;
  for (const auto& r : ranges) {
    const ImageRange b = Bytes(r);
    n += b.end - b.begin;
  }
  return n;
}

bool ParseBlockMap(std::string_view input, BlockMap& map, std::string& error) {
  map = BlockMap{};
  std::string text(input);
  // Comments out of the way (same length, so offsets stay those of the file).
  for (size_t a = 0; (a = text.find("<!--", a)) != std::string::npos;) {
    const size_t b = text.find("-->", a + 4);
    if (b == std::string::npos) {
      error = "a comment is not closed";
      return false;
    }
    std::fill(text.begin() + ptrdiff_t(a), text.begin() + ptrdiff_t(b + 3), ' ');
    a = b + 3;
  }
  const size_t root = text.find("<bmap");
  const size_t rootEnd = root == std::string::npos ? root : text.find('>', root);
  if (rootEnd == std::string::npos) {
    error = "not a block map (no <bmap> element)";
    return false;
  }
  const auto version = Attribute(std::string_view(text).substr(root, rootEnd - root), "version");
  if (!version || std::sscanf(version->c_str(), "%d.%d", &map.major, &map.minor) != 2 ||
      !(map.major == 1 || (map.major == 2 && map.minor == 0)) || map.minor < 0) {
    error = "version " + (version ? *version : std::string("?")) + " is not 1.x to 2.0";
    return false;
  }
  auto number = [&](const char* tag, uint64_t& v) {
    std::string s;
    if (Element(text, tag, s) && ParseUnsigned(s, v)) return true;
    error = std::string("no valid <") + tag + ">";
    return false;
  };
  if (!number("ImageSize", map.imageSize) || !number("BlockSize", map.blockSize) ||
      !number("BlocksCount", map.blocksCount) || !number("MappedBlocksCount", map.mappedBlocksCount))
    return false;
  if (map.blockSize == 0 || map.blockSize % 512 != 0 || map.blockSize > (uint64_t(1) << 30)) {
    error = "block size " + std::to_string(map.blockSize) + " is not a multiple of 512 bytes";
    return false;
  }
  if (map.imageSize > (uint64_t(1) << 50) ||
      map.blocksCount != (map.imageSize + map.blockSize - 1) / map.blockSize) {
    error = "the block count does not fit the image size";
    return false;
  }
  // Versions 1.x before 1.4 hash with SHA-1; later ones name their hash.
  const bool named = map.major == 2 || map.minor >= 4;
  if (named) {
    std::string type;
    if (!Element(text, "ChecksumType", type) || (Lower(type) != "sha1" && Lower(type) != "sha256")) {
      error = "no valid <ChecksumType>";
      return false;
    }
    map.checksumType = Lower(type) == "sha256" ? DigestKind::Sha256 : DigestKind::Sha1;
  }
  const size_t hexLength = map.checksumType == DigestKind::Sha256 ? 64 : 40;
  const char* fileTag = named ? "BmapFileChecksum" : (map.minor >= 3 ? "BmapFileSHA1" : nullptr);
  if (fileTag) {
    size_t at = 0;
    std::string value;
    if (!Element(text, fileTag, value, &at) || value.size() != hexLength || !IsHex(value)) {
      error = std::string("no valid <") + fileTag + ">";
      return false;
    }
    map.fileChecksum = Lower(value);
    map.textForChecksum = std::string(input);
    std::fill(map.textForChecksum.begin() + ptrdiff_t(at), map.textForChecksum.begin() + ptrdiff_t(at + hexLength),
              '0');
  }
  const size_t listAt = text.find("<BlockMap>");
  const size_t listEnd = listAt == std::string::npos ? listAt : text.find("</BlockMap>", listAt);
  if (listEnd == std::string::npos) {
    error = "no <BlockMap> element";
    return false;
  }
  uint64_t mapped = 0;
  for (size_t at = text.find("<Range", listAt); at != std::string::npos && at < listEnd;
       at = text.find("<Range", at + 1)) {
    const size_t tagEnd = text.find('>', at);
    const size_t close = tagEnd == std::string::npos ? tagEnd : text.find("</Range>", tagEnd);
    if (close == std::string::npos || close > listEnd) {
      error = "a <Range> is not closed";
      return false;
    }
    const std::string_view tag = std::string_view(text).substr(at, tagEnd - at);
    BlockMap::Range r;
    if (auto sum = Attribute(tag, named ? "chksum" : "sha1")) {
      if (sum->size() != hexLength || !IsHex(*sum)) {
        error = "range " + std::to_string(map.ranges.size() + 1) + " has no valid checksum";
        return false;
      }
      r.checksum = Lower(*sum);
    } else if (named || map.minor >= 3) {
      error = "range " + std::to_string(map.ranges.size() + 1) + " has no checksum";
      return false;
    }
    const std::string body = Trim(std::string_view(text).substr(tagEnd + 1, close - tagEnd - 1));
    const size_t dash = body.find('-');
    if (!ParseUnsigned(Trim(body.substr(0, dash)), r.first) ||
        !ParseUnsigned(dash == std::string::npos ? Trim(body) : Trim(body.substr(dash + 1)), r.last) ||
        r.last < r.first || r.last >= map.blocksCount ||
        (!map.ranges.empty() && r.first <= map.ranges.back().last)) {
      error = "range \"" + body + "\" is not an ascending block range inside the image";
      return false;
    }
    mapped += r.last - r.first + 1;
    map.ranges.push_back(std::move(r));
  }
  if (mapped != map.mappedBlocksCount) {
    error = "the ranges hold " + std::to_string(mapped) + " blocks, <MappedBlocksCount> says " +
            std::to_string(map.mappedBlocksCount);
    return false;
  }
  return true;
}

std::string BlockMapText(const BlockMap& map) {
  auto line = [](const char* tag, const std::string& value) {
    return std::string("    <") + tag + "> " + value + " </" + tag + ">\n";
  };
  std::string text = "<?xml version=\"1.0\" ?>\n<bmap version=\"2.0\">\n" +
                     line("ImageSize", std::to_string(map.imageSize)) + line("BlockSize", std::to_string(map.blockSize)) +
                     line("BlocksCount", std::to_string(map.blocksCount)) +
                     line("MappedBlocksCount", std::to_string(map.mappedBlocksCount)) + line("ChecksumType", "sha256");
  const size_t at = text.size() + std::strlen("    <BmapFileChecksum> ");
  text += line("BmapFileChecksum", std::string(64, '0')) + "    <BlockMap>\n";
  for (const auto& r : map.ranges)
    text += "        <Range chksum=\"" + r.checksum + "\"> " +
            (r.first == r.last ? std::to_string(r.first) : std::to_string(r.first) + "-" + std::to_string(r.last)) +
            " </Range>\n";
  text += "    </BlockMap>\n</bmap>\n";
  if (auto digest = NewDigest(DigestKind::Sha256)) {
    digest->Update(text.data(), text.size());
    text.replace(at, 64, digest->FinishHex());
  }
  return text;
}

std::optional<std::filesystem::path> FindBlockMap(const std::filesystem::path& image) {
  const std::string name = PathText(image.filename());
  std::vector<std::string> names{name + ".bmap", DecodedName(name) + ".bmap"};
  const std::string decoded = DecodedName(name);
  const size_t dot = decoded.rfind('.');
  if (dot != std::string::npos && dot > 0) names.push_back(decoded.substr(0, dot) + ".bmap");
  for (const auto& n : names) {
    const auto p = image.parent_path() / PathFromText(n);
    std::error_code ec;
    if (std::filesystem::is_regular_file(p, ec)) return p;
  }
  return std::nullopt;
}

std::vector<Sha256Entry> ParseSha256Sums(std::string_view text) {
  std::vector<Sha256Entry> out;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string line(text.substr(at, end - at));
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() < 64 || !IsHex(line.substr(0, 64))) continue;
    Sha256Entry e{Lower(line.substr(0, 64)), ""};
    if (line.size() > 64) {
      if (line[64] != ' ' && line[64] != '\t') continue;
      std::string name = line.substr(65);
      if (!name.empty() && (name[0] == '*' || name[0] == ' ')) name.erase(0, 1);
      // Only the name counts, not the folder it was hashed in.
      const size_t slash = name.find_last_of("/\\");
      e.name = slash == std::string::npos ? name : name.substr(slash + 1);
    }
    out.push_back(std::move(e));
  }
  return out;
}

namespace {

// Hashes a file's bytes in [begin, end); false with `error` when it cannot
// be read. `progress` gets the bytes hashed.
bool HashFileRange(const InputFile& file, uint64_t begin, uint64_t end, Digest& digest, std::vector<uint8_t>& buffer,
                   const std::function<void(uint64_t)>& progress, std::string& error) {
  for (uint64_t p = begin; p < end;) {
    const size_t n = size_t(std::min<uint64_t>(end - p, buffer.size()));
    if (!file.ReadAt(p, buffer.data(), n, &error)) return false;
    digest.Update(buffer.data(), n);
    p += n;
    if (progress) progress(n);
  }
  return true;
}

// What the cache file beside the decoded image says about its source.
std::string CacheStamp(const std::filesystem::path& source, uint64_t storedSize) {
  std::error_code ec;
  const auto time = std::filesystem::last_write_time(source, ec);
  return PathText(source) + "\n" + std::to_string(storedSize) + "\n" +
         std::to_string(ec ? 0 : int64_t(time.time_since_epoch().count())) + "\n";
}

}  // namespace

bool PrepareSdImage(const std::filesystem::path& path, const SdPrepareOptions& given, PreparedSdImage& out,
                    std::string& error) {
  SdPrepareOptions options = given;
  out = PreparedSdImage{};
  out.source = out.data = path;
  const std::string shown = PathText(path.filename());
  auto refuse = [&](const std::string& why) {
    error = Message(3120, {shown, why});
    return false;
  };
  std::string why;
  auto source = InputFile::Open(path, &why);
  if (!source) return refuse(Message(3132, {why}));
  out.storedSize = source->size();
  {
    char head[8] = {};
    const size_t n = size_t(std::min<uint64_t>(sizeof head, out.storedSize));
    if (n > 0 && !source->ReadAt(0, head, n, &why)) return refuse(Message(3132, {why}));
    out.format = DetectSdImageFormat(std::string_view(head, n));
  }
  const bool compressed = out.format != SdImageFormat::Raw;
  if ((compressed || FindBlockMap(path)) && options.measureCards) options.measureCards(options.cardBytes, options.driveName);

  // The .sha256 beside it: of the file as stored, or of the image it decodes to.
  std::optional<std::string> storedHash, decodedHash;
  const auto sumsPath = std::filesystem::path(PathText(path) + ".sha256");
  if (auto sums = ReadSideFile(sumsPath, why)) {
    const std::string sumsName = PathText(sumsPath.filename());
    if (*sums == "\x01") return refuse(Message(3132, {sumsName + ": " + why}));
    const auto entries = ParseSha256Sums(*sums);
    for (const auto& e : entries) {
      if (e.name == shown) storedHash = e.hash;
      else if (compressed && e.name == DecodedName(shown)) decodedHash = e.hash;
    }
    if (!storedHash && !decodedHash && entries.size() == 1) storedHash = entries[0].hash;
    if (!storedHash && !decodedHash) return refuse(Message(3136, {sumsName}));
    std::unique_ptr<Digest> digest;
    if (storedHash) {
      digest = NewDigest(DigestKind::Sha256);
      std::vector<uint8_t> buffer(kBuffer);
      uint64_t done = 0;
      auto step = [&](uint64_t n) {
        done += n;
        if (options.progress) options.progress(done, out.storedSize);
      };
      if (!digest) return refuse(Message(3129, {}));
      if (!HashFileRange(*source, 0, out.storedSize, *digest, buffer, step, why)) return refuse(Message(3132, {why}));
      const std::string found = digest->FinishHex();
      if (found != *storedHash) return refuse(Message(3125, {sumsName}));
      if (!compressed) out.sha256 = found;
    }
  }

  if (compressed) {
    const std::filesystem::path cache = options.cacheFile;
    const std::filesystem::path stampPath = PathText(cache) + ".source";
    const std::string stamp = CacheStamp(path, out.storedSize);
    std::vector<uint8_t> buffer(kBuffer);
    // A cache of this very source is used again once its hash is checked.
    bool reused = false;
    if (auto kept = ReadSideFile(stampPath, why); kept && kept->rfind(stamp, 0) == 0) {
      const std::string rest = kept->substr(stamp.size());
      const size_t nl = rest.find('\n');
      uint64_t size = 0;
      auto cached = InputFile::Open(cache);
      if (nl != std::string::npos && ParseUnsigned(rest.substr(0, nl), size) && cached && cached->size() == size) {
        auto digest = NewDigest(DigestKind::Sha256);
        uint64_t done = 0;
        auto step = [&](uint64_t n) {
          done += n;
          if (options.progress) options.progress(done, size);
        };
        if (digest && HashFileRange(*cached, 0, size, *digest, buffer, step, why)) {
          const std::string hash = digest->FinishHex();
          if (Trim(rest.substr(nl + 1)) == hash) {
            reused = true;
            out.size = size;
            out.sha256 = hash;
          }
        }
      }
    }
    if (!reused) {
      ImageOpenFailure failure = ImageOpenFailure::None;
      auto stream = OpenCompressedImage(path, out.format == SdImageFormat::Zip, failure, why);
      if (!stream) {
        switch (failure) {
          case ImageOpenFailure::SeveralEntries: return refuse(Message(3122, {why}));
          case ImageOpenFailure::Encrypted: return refuse(Message(3123, {}));
          case ImageOpenFailure::Unsupported: return refuse(Message(3129, {}));
          default: return refuse(Message(3121, {why}));
        }
      }
      std::error_code ec;
      std::filesystem::create_directories(cache.parent_path(), ec);
      std::string ignored;
      Platform().Remove(cache, ignored);
      Platform().Remove(stampPath, ignored);
      // What the decoded image may take: its stated size, else at most the card.
      const int64_t declared = stream->DeclaredSize();
      const uint64_t need = declared >= 0 ? uint64_t(declared) : options.cardBytes;
      if (options.cardBytes && declared >= 0 && uint64_t(declared) > options.cardBytes)
        return refuse(Message(3124, {std::to_string(declared), options.driveName, std::to_string(options.cardBytes)}));
      const auto space = std::filesystem::space(cache.parent_path(), ec);
      if (!ec && need && space.available < need + kSpaceMargin)
        return refuse(Message(3128, {Mb(need), PathText(cache.parent_path()), Mb(space.available)}));
      ReplacingFile file;
      if (!file.Create(cache, &why)) return refuse(Message(3132, {why}));
      auto digest = NewDigest(DigestKind::Sha256);
      if (!digest) return refuse(Message(3129, {}));
      uint64_t total = 0;
      for (;;) {
        const int64_t n = stream->Read(buffer.data(), buffer.size(), why);
        if (n < 0) return refuse(Message(3121, {why}));
        if (n == 0) break;
        total += uint64_t(n);
        if (options.cardBytes && total > options.cardBytes)
          return refuse(Message(3124, {"> " + std::to_string(options.cardBytes), options.driveName,
                                       std::to_string(options.cardBytes)}));
        digest->Update(buffer.data(), size_t(n));
        if (!file.Append(buffer.data(), size_t(n), &why)) return refuse(Message(3132, {why}));
        if (options.progress) options.progress(total, need ? need : total);
      }
      if (!file.Commit(&why)) return refuse(Message(3132, {why}));
      out.size = total;
      out.sha256 = digest->FinishHex();
      WriteFileAtomically(stampPath, stamp + std::to_string(total) + "\n" + out.sha256 + "\n", &ignored);
    }
    out.data = cache;
    if (decodedHash && *decodedHash != out.sha256) return refuse(Message(3125, {PathText(sumsPath.filename())}));
  } else {
    out.size = out.storedSize;
  }

  auto data = InputFile::Open(out.data, &why);
  if (!data || data->size() != out.size) return refuse(Message(3132, {why}));
  if (const auto bmapPath = FindBlockMap(path)) {
    const std::string bmapName = PathText(bmapPath->filename());
    auto text = ReadSideFile(*bmapPath, why);
    BlockMap map;
    if (!text || *text == "\x01") return refuse(Message(3126, {bmapName, why}));
    if (!ParseBlockMap(*text, map, why)) return refuse(Message(3126, {bmapName, why}));
    if (map.imageSize != out.size) return refuse(Message(3130, {std::to_string(map.imageSize), std::to_string(out.size)}));
    auto digest = NewDigest(map.checksumType);
    if (!digest) return refuse(Message(3129, {}));
    if (!map.fileChecksum.empty()) {
      digest->Update(map.textForChecksum.data(), map.textForChecksum.size());
      if (digest->FinishHex() != map.fileChecksum) return refuse(Message(3126, {bmapName, Message(3137, {})}));
      out.bmapChecksum = map.fileChecksum;
    }
    // Every range's checksum, before any device is written: a changed image
    // never reaches a card.
    std::vector<uint8_t> buffer(kBuffer);
    const uint64_t mappedBytes = map.MappedBytes();
    uint64_t done = 0;
    auto step = [&](uint64_t n) {
      done += n;
      if (options.progress) options.progress(done, mappedBytes);
    };
    for (size_t i = 0; i < map.ranges.size(); ++i) {
      const ImageRange b = map.Bytes(map.ranges[i]);
      if (!map.ranges[i].checksum.empty()) {
        digest = NewDigest(map.checksumType);
        if (!HashFileRange(*data, b.begin, b.end, *digest, buffer, step, why)) return refuse(Message(3132, {why}));
        if (digest->FinishHex() != map.ranges[i].checksum) return refuse(Message(3127, {std::to_string(i + 1)}));
      }
      out.ranges.push_back(b);
    }
    out.mapped = true;
    out.bmapPath = *bmapPath;
    out.mappedBytes = mappedBytes;
  } else {
    if (out.size > 0) out.ranges.push_back({0, out.size});
    out.mappedBytes = out.size;
  }
  // A plain raw image burns as it always has; anything prepared is checked
  // against the card before a device is written.
  if ((compressed || out.mapped) && options.cardBytes && out.size > options.cardBytes)
    return refuse(Message(3124, {std::to_string(out.size), options.driveName, std::to_string(options.cardBytes)}));
  return true;
}

std::string DescribeSdImage(const std::filesystem::path& path, const std::filesystem::path& cacheFolder,
                            const std::function<std::string(int)>& pattern) {
  auto Message = [&](int id, std::initializer_list<std::string> args) {
    return pattern ? FormatText(pattern(id), args) : ardentix::Message(id, args);
  };
  std::string why;
  auto file = InputFile::Open(path, &why);
  if (!file) return Message(3132, {why});
  char head[8] = {};
  const size_t n = size_t(std::min<uint64_t>(sizeof head, file->size()));
  if (n > 0 && !file->ReadAt(0, head, n, &why)) return Message(3132, {why});
  const SdImageFormat format = DetectSdImageFormat(std::string_view(head, n));
  std::string text = Message(3133, {SdImageFormatName(format), Mb(file->size())});
  if (const auto bmapPath = FindBlockMap(path)) {
    BlockMap map;
    auto bmap = ReadSideFile(*bmapPath, why);
    const std::string name = PathText(bmapPath->filename());
    if (bmap && *bmap != "\x01" && ParseBlockMap(*bmap, map, why)) {
      char share[32];
      std::snprintf(share, sizeof share, "%.1f",
                    map.imageSize ? 100.0 * double(map.MappedBytes()) / double(map.imageSize) : 0.0);
      text += "; " + Message(3134, {name, share, Mb(map.imageSize)});
    } else {
      text += "; " + Message(3126, {name, why});
    }
  }
  if (format != SdImageFormat::Raw) {
    std::error_code ec;
    std::filesystem::create_directories(cacheFolder, ec);
    const auto space = std::filesystem::space(cacheFolder, ec);
    text += "; " + Message(3135, {PathText(cacheFolder), ec ? std::string("?") : Mb(space.available)});
  }
  return text;
}

}  // namespace ardentix
