// Texts the operator sees in the burn-files operations, and the fixed values
// around them, kept together so the window and the command line show the same.
#pragma once

#include <string>
#include <string_view>

namespace ardentix {

inline constexpr std::string_view kProgramVersionText = "V4.5.0_ForCustomer";

// Caption of the main window after an import: the version text, then the
// package's firmware info. Two blanks before "FirmwareInfo", one at the end.
inline constexpr std::string_view kCaptionFormat = "Ardentix RQ4820/B/(61700)(SPIBOOT) %s  FirmwareInfo:%s ";
// kCaptionFormat filled in (by plain substitution: the info text is package
// data and never read as a format).
std::string MainWindowCaption(std::string_view firmwareInfo);

// Message box texts.
inline constexpr std::string_view kMsgFailToOpenFile = "Fail to open file";
inline constexpr std::string_view kMsgFormatError = "vlr file format error";
inline constexpr std::string_view kMsgReplaceOk = "replace ok";
// An operation that ran out of memory; nothing was changed.
inline constexpr std::string_view kMsgNotEnoughMemory = "Not enough memory; nothing was changed";

// WaitNotice captions ("……" is two U+2026 HORIZONTAL ELLIPSIS).
inline constexpr std::string_view kImportNoticeText = "Importing,pls wait\xE2\x80\xA6\xE2\x80\xA6";
inline constexpr std::string_view kExportNoticeText = "Exporting,pls wait\xE2\x80\xA6\xE2\x80\xA6";

// File dialogs: default extension, initial file name, filter text in
// "display|pattern|" pairs.
struct FileDialogTexts {
  std::string_view defaultExtension;
  std::string_view initialName;
  std::string_view filter;
};
inline constexpr FileDialogTexts kSdImageDialog{"bin", "*.bin", "Image Files (*.bin)|All Files (*.*)|"};
inline constexpr FileDialogTexts kPackageOpenDialog{"vlr", "*.vlr",
                                                    "Velor MP Files (*.vlr)|*.vlr|All Files (*.*)|*.*|"};
inline constexpr FileDialogTexts kPackageSaveDialog{"vlr", "",
                                                    "RQ4820 Burn Files (*.vlr)|*.vlr|All Files(*.*)|*.*|"};
inline constexpr FileDialogTexts kVoiceDialog{"bin", "*.bin",
                                              "Velor Voice Files (*.bin) | *.bin |All Files (*.*)| *.*|"};
inline constexpr FileDialogTexts kSysconfigDialog{"bin", "*.bin",
                                                  "Sysconfig Files (*.bin) | *.bin |All Files (*.*)| *.*|"};

}  // namespace ardentix
