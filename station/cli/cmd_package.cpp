// package: the flash package tools of the burn-files part, without a window.
#include <cstdio>
#include <optional>
#include <ostream>
#include <string>

#include "burnfiles/burn_file_set.h"
#include "burnfiles/import.h"
#include "burnfiles/input_file.h"
#include "burnfiles/package.h"
#include "burnfiles/sections.h"
#include "burnfiles/texts.h"
#include "cli/cli.h"
#include "core/platform_files.h"

namespace ardentix::cli {
namespace {

constexpr const char* kPrefix = "ardentix-cli package: ";
constexpr const char* kUsage =
    "usage: ardentix-cli package info FILE\n"
    "       ardentix-cli package import FILE\n"
    "       ardentix-cli package export OUT [--from FILE] [--voice FILE] [--sysconfig FILE]\n";

int Usage(Context& ctx, const std::string& problem) {
  if (!problem.empty()) ctx.err << kPrefix << problem << "\n";
  ctx.err << kUsage;
  return kExitUsage;
}

int Failed(Context& ctx, const std::string& message, const std::string& detail) {
  ctx.err << kPrefix << message;
  if (!detail.empty()) ctx.err << ": " << detail;
  ctx.err << "\n";
  return kExitFailed;
}

std::string Hex(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", v);
  return text;
}

std::string Where(uint32_t word) {
  if (word == 0) return "zero";
  const std::optional<uint64_t> offset = ByteOffsetOf(word);
  return offset ? "byte " + std::to_string(*offset) : "below 0x00400000";
}

void PrintWord(Context& ctx, size_t at, const char* name, uint32_t word, bool address) {
  char line[96];
  std::snprintf(line, sizeof line, "  @%-3zu %-20s %s", at, name, Hex(word).c_str());
  ctx.out << line;
  if (address) ctx.out << "  " << Where(word);
  ctx.out << "\n";
}

void PrintRange(Context& ctx, const char* name, const ByteRange& r, bool present) {
  char line[128];
  if (present) {
    std::snprintf(line, sizeof line, "  %-10s bytes %llu..%llu (%llu bytes)", name, (unsigned long long)r.begin,
                  (unsigned long long)r.end, (unsigned long long)r.size());
  } else {
    std::snprintf(line, sizeof line, "  %-10s absent", name);
  }
  ctx.out << line << "\n";
}

int Info(const std::string& path, Context& ctx) {
  std::string error;
  const std::optional<PackageInfo> info = InspectPackage(PathFromText(path), &error);
  if (!info) return Failed(ctx, std::string(kMsgFailToOpenFile), error);

  ctx.out << "Package: " << path << " (" << info->fileSize << " bytes)\n";
  if (info->headerRead) {
    const PackageHeader& h = info->header;
    ctx.out << "Header:\n";
    PrintWord(ctx, kFirmwareEndOffset, "firmwareEnd", h.firmwareEnd, true);
    PrintWord(ctx, kVoiceEndOffset, "voiceEnd", h.voiceEnd, true);
    PrintWord(ctx, kSysconfigStartOffset, "sysconfigStart", h.sysconfigStart, true);
    PrintWord(ctx, kSysconfigEndOffset, "sysconfigEnd", h.sysconfigEnd, true);
    PrintWord(ctx, kChecksumOffset, "packageChecksum", h.packageChecksum, false);
    PrintWord(ctx, kFirmwareInfoAddressOffset, "firmwareInfoAddress", h.firmwareInfoAddress, true);
    char lead[64];
    std::snprintf(lead, sizeof lead, "  @%-3zu %-20s", kUserIdOffset, "userId");
    ctx.out << lead;
    for (uint8_t b : h.userId) {
      char hex[4];
      std::snprintf(hex, sizeof hex, " %02X", b);
      ctx.out << hex;
    }
    ctx.out << "\n";
  }
  if (info->layout) ctx.out << "FirmwareInfo: " << info->firmwareInfo << "\n";
  switch (info->checksum) {
    case ChecksumStatus::NotChecked:
      ctx.out << "Checksum: not checked (" << Hex(kChecksumNotChecked) << ")\n";
      break;
    case ChecksumStatus::Passed:
      ctx.out << "Checksum: holds (" << Hex(info->computedChecksum) << ")\n";
      break;
    case ChecksumStatus::Failed:
      ctx.out << "Checksum: does not hold (computed " << Hex(info->computedChecksum) << ", stored "
              << Hex(info->header.packageChecksum) << ")\n";
      break;
    case ChecksumStatus::NotComputed:
      ctx.out << "Checksum: not computed\n";
      break;
  }
  if (info->layout) {
    const PackageLayout& l = *info->layout;
    ctx.out << "Sections:\n";
    PrintRange(ctx, "firmware", l.firmware, true);
    PrintRange(ctx, "voice", l.voice, l.voicePresent);
    PrintRange(ctx, "sysconfig", l.sysconfig, l.sysconfigPresent);
    if (l.paddedSize > info->fileSize)
      ctx.out << "  (the file ends " << (l.paddedSize - info->fileSize)
              << " bytes before section 1's end; an import pads it with 0xFF)\n";
  }
  if (!info->accepted()) return Failed(ctx, std::string(kMsgFormatError), info->problem);
  return kExitOk;
}

void PrintImport(Context& ctx, const BurnFileSet& set, const ImportResult& r) {
  ctx.out << "FirmwareInfo: " << r.firmwareInfo << "\n";
  ctx.out << "firmware  " << PathText(set.firmwareSectionPath) << "  " << r.firmwareSectionSize << " bytes\n";
  ctx.out << "voice     " << PathText(set.voiceSectionPath) << "  " << r.voiceSectionSize << " bytes\n";
  ctx.out << "sysconfig " << PathText(set.sysconfigSectionPath) << "  " << r.sysconfigSectionSize << " bytes\n";
}

int Import(const std::string& path, Context& ctx) {
  BurnFileSet set;
  SetProgramDirectory(set, ctx.stationDir);
  const ImportResult r = ImportBurnPackage(set, PathFromText(path));
  if (!r.ok) return Failed(ctx, r.message, r.detail);
  PrintImport(ctx, set, r);
  return kExitOk;
}

int Export(const Args& args, Context& ctx) {
  std::optional<std::string> out, from, voice, sysconfig;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::optional<std::string>* option = a == "--from" ? &from : a == "--voice" ? &voice
                                       : a == "--sysconfig"                     ? &sysconfig
                                                                                : nullptr;
    if (option != nullptr) {
      if (i + 1 >= args.size()) return Usage(ctx, a + " needs a file");
      if (*option) return Usage(ctx, a + " given twice");
      *option = args[++i];
    } else if (a.rfind("--", 0) == 0) {
      return Usage(ctx, "unknown option \"" + a + "\"");
    } else if (out) {
      return Usage(ctx, "unexpected argument \"" + a + "\"");
    } else {
      out = a;
    }
  }
  if (!out) return Usage(ctx, "export needs an output file");

  // Check the replacement files first, so a bad second one does not leave the
  // first already replaced.
  std::string error;
  for (const std::optional<std::string>* chosen : {&voice, &sysconfig}) {
    if (*chosen && !InputFile::Open(PathFromText(**chosen), &error)) return Failed(ctx, std::string(kMsgFailToOpenFile), error);
  }

  BurnFileSet set;
  SetProgramDirectory(set, ctx.stationDir);
  if (from) {
    const ImportResult r = ImportBurnPackage(set, PathFromText(*from));
    if (!r.ok) return Failed(ctx, r.message, r.detail);
    PrintImport(ctx, set, r);
  } else if (!RecoverPackageUserId(set, &error)) {
    return Failed(ctx, "No imported package in " + PathText(ctx.stationDir) + " (use --from FILE)", error);
  }
  if (voice) {
    const ReplaceResult r = ReplaceVoiceSection(set, PathFromText(*voice));
    if (!r.ok) return Failed(ctx, r.message, r.detail);
    ctx.out << "voice: " << r.message << " (" << r.size << " bytes)\n";
  }
  if (sysconfig) {
    const ReplaceResult r = ReplaceSysconfigSection(set, PathFromText(*sysconfig));
    if (!r.ok) return Failed(ctx, r.message, r.detail);
    ctx.out << "sysconfig: " << r.message << " (" << r.size << " bytes)\n";
  }
  const AssembleResult r = ExportBurnPackage(set, PathFromText(*out));
  if (!r.ok) return Failed(ctx, r.message, r.detail);
  ctx.out << "Exported " << *out << " (" << r.imageSize << " bytes)\n";
  return kExitOk;
}

}  // namespace

int PackageCommand(const Args& args, Context& ctx) {
  if (args.empty()) return Usage(ctx, "");
  const std::string& verb = args[0];
  if (verb == "info" || verb == "import") {
    if (args.size() != 2) return Usage(ctx, verb + " takes one package file");
    return verb == "info" ? Info(args[1], ctx) : Import(args[1], ctx);
  }
  if (verb == "export") return Export(args, ctx);
  return Usage(ctx, "unknown subcommand \"" + verb + "\"");
}

}  // namespace ardentix::cli
