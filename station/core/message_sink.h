// Modal messages with the program's caption; the window shows boxes, the
// command line prints.
#pragma once

#include <string>

namespace ardentix {

class MessageSink {
 public:
  virtual ~MessageSink() = default;
  virtual void ShowMessage(const std::string& text, const std::string& caption) = 0;
  // OK and Cancel; true for OK.
  virtual bool AskOkCancel(const std::string& text, const std::string& caption) = 0;
};

}  // namespace ardentix
