// This build reads raw images only: the Windows decoders and hashes (CNG)
// are not part of it yet.
#include "burnfiles/image_codec.h"

namespace ardentix {

std::unique_ptr<Digest> NewDigest(DigestKind) { return nullptr; }

std::unique_ptr<ImageStream> OpenCompressedImage(const std::filesystem::path&, bool, ImageOpenFailure& failure,
                                                 std::string& reason) {
  failure = ImageOpenFailure::Unsupported;
  reason = "no decoder in this build";
  return nullptr;
}

std::unique_ptr<CompressedWriter> NewZstdWriter(const std::filesystem::path&, std::string& error) {
  error = "no encoder in this build";
  return nullptr;
}

}  // namespace ardentix
