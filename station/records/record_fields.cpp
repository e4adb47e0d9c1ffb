#include "records/record_fields.h"

namespace ardentix::records {

const std::vector<RecordField>& RecordFields() {
  using R = UnitRecord;
  // C collation on the line's compared text columns: filters compare bytes,
  // as the local file does.
  static const char* kCompared = "TEXT COLLATE \"C\" NOT NULL DEFAULT ''";
  static const std::vector<RecordField> fields = {
      {"id", "id", &R::Id, "TEXT COLLATE \"C\" PRIMARY KEY"},
      {"started_utc", "startedUtc", &R::StartedUtc, kCompared},
      {"ended_utc", "endedUtc", &R::EndedUtc},
      {"station", "station", &R::Station, kCompared},
      {"drive_letter", "driveLetter", &R::DriveLetter},
      {"lun", "lun", &R::Lun},
      {"location", "location", &R::Location},
      {"outcome", "outcome", &R::Outcome, kCompared},
      {"stage_code", "stageCode", &R::StageCode},
      {"stage_text", "stageText", &R::StageText},
      {"result_code", "resultCode", &R::ResultCode},
      {"result_text", "resultText", &R::ResultText},
      {"serial", "serial", &R::Serial, kCompared},
      {"flash_id", "flashId", &R::FlashIdText, nullptr, "flash_id_text"},
      {"chip_type", "chipType", &R::ChipType},
      {"clock_mhz", "clockMHz", &R::ClockMHz},
      {"package_name", "package.name", &R::PackageName},
      {"package_size", "package.size", &R::PackageSize},
      {"package_checksum", "package.checksum", &R::PackageChecksum},
      {"firmware_info", "package.firmwareInfo", &R::FirmwareInfo},
      {"replaced_sections", "package.replacedSections", &R::ReplacedSections},
      {"sd_image_name", "sdImage.name", &R::SdImageName},
      {"sd_image_size", "sdImage.size", &R::SdImageSize},
      {"sd_image_sha256", "sdImage.sha256", &R::SdImageSha256},
      {"sd_image_format", "sdImage.format", &R::SdImageFormat},
      {"sd_image_decoded_size", "sdImage.decodedSize", &R::SdImageDecodedSize},
      {"sd_image_mapped_size", "sdImage.mappedSize", &R::SdImageMappedSize},
      {"sd_bmap_name", "sdImage.bmap.name", &R::SdBmapName},
      {"sd_bmap_checksum", "sdImage.bmap.checksum", &R::SdBmapChecksum},
      {"sd_write_seconds", "seconds.sdWrite", &R::SdWriteSeconds, nullptr, "sd_write_s"},
      {"sd_verify_seconds", "seconds.sdVerify", &R::SdVerifySeconds, nullptr, "sd_verify_s"},
      {"flash_erase_seconds", "seconds.flashErase", &R::FlashEraseSeconds, nullptr, "flash_erase_s"},
      {"flash_write_seconds", "seconds.flashWrite", &R::FlashWriteSeconds, nullptr, "flash_write_s"},
      {"flash_verify_seconds", "seconds.flashVerify", &R::FlashVerifySeconds, nullptr, "flash_verify_s"},
      {"bytes_written", "bytesWritten", &R::BytesWritten},
      {"bytes_verified", "bytesVerified", &R::BytesVerified},
      {"write_verify", "writeVerify", &R::WriteVerify},
      {"save_sd_file", "saveSdFile", &R::SaveSdFile},
      {"duplicate_serial", "duplicateSerial", &R::DuplicateSerial},
      {"burn_mode", "mode", &R::Mode},
      {"sd2_drive_letter", "sdCard2.driveLetter", &R::Sd2DriveLetter},
      {"sd2_image_name", "sdCard2.name", &R::Sd2ImageName},
      {"sd2_image_size", "sdCard2.size", &R::Sd2ImageSize},
      {"sd2_image_sha256", "sdCard2.sha256", &R::Sd2ImageSha256},
      {"sd2_write_seconds", "seconds.sd2Write", &R::Sd2WriteSeconds},
      {"sd2_verify_seconds", "seconds.sd2Verify", &R::Sd2VerifySeconds},
  };
  return fields;
}

namespace {
using R = UnitRecord;
}  // namespace

std::string LocalColumnType(const RecordField& f) {
  return std::visit(Overloaded{[](std::string R::*) { return std::string("TEXT NOT NULL DEFAULT ''"); },
                               [](int32_t R::*) { return std::string("INTEGER NOT NULL DEFAULT 0"); },
                               [](int64_t R::*) { return std::string("INTEGER NOT NULL DEFAULT 0"); },
                               [](uint32_t R::*) { return std::string("INTEGER NOT NULL DEFAULT 0"); },
                               [](double R::*) { return std::string("REAL NOT NULL DEFAULT 0"); },
                               [](bool R::*) { return std::string("INTEGER NOT NULL DEFAULT 0"); },
                               [](std::vector<std::string> R::*) { return std::string("TEXT NOT NULL DEFAULT '[]'"); }},
                    f.member);
}

std::string LineColumnType(const RecordField& f) {
  if (f.lineType) return f.lineType;
  return std::visit(
      Overloaded{[](std::string R::*) { return std::string("TEXT NOT NULL DEFAULT ''"); },
                 [](int32_t R::*) { return std::string("INTEGER NOT NULL DEFAULT 0"); },
                 [](int64_t R::*) { return std::string("BIGINT NOT NULL DEFAULT 0"); },
                 [](uint32_t R::*) { return std::string("BIGINT NOT NULL DEFAULT 0"); },
                 [](double R::*) { return std::string("DOUBLE PRECISION NOT NULL DEFAULT 0"); },
                 [](bool R::*) { return std::string("BOOLEAN NOT NULL DEFAULT false"); },
                 [](std::vector<std::string> R::*) { return std::string("TEXT NOT NULL DEFAULT '[]'"); }},
      f.member);
}

std::string FieldNameList() {
  std::string list;
  for (const auto& f : RecordFields()) list += (list.empty() ? "" : ", ") + std::string(f.name);
  return list;
}

}  // namespace ardentix::records
