#include "burnfiles/texts.h"

namespace ardentix {

std::string MainWindowCaption(std::string_view firmwareInfo) {
  std::string caption;
  std::string_view format = kCaptionFormat;
  const std::string_view arguments[] = {kProgramVersionText, firmwareInfo};
  size_t next = 0;
  for (size_t at = format.find("%s"); at != std::string_view::npos; at = format.find("%s")) {
    caption += format.substr(0, at);
    caption += arguments[next++];
    format.remove_prefix(at + 2);
  }
  caption += format;
  return caption;
}

}  // namespace ardentix
