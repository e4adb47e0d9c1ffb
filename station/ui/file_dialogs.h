// The file dialogs of the burn files: open and save with the station's
// filters and default extensions. Tests replace the chooser.
#pragma once

#include <QString>
#include <QStringList>
#include <filesystem>
#include <optional>
#include <string_view>

#include "burnfiles/texts.h"

class QWidget;

namespace ardentix::ui {

// A filter text of "display|pattern|" pairs as Qt name filters: each pair
// becomes "display name (patterns)". A pattern list that is not a pattern
// (the SD image filter pairs its display text with another display text)
// gives way to the patterns in the display text's parentheses; "*.*", which
// matches every name on Windows, becomes "*".
QStringList QtNameFilters(std::string_view pairs);

class FileChooser {
 public:
  virtual ~FileChooser() = default;
  // nullopt when the operator cancels.
  virtual std::optional<std::filesystem::path> Open(QWidget* owner, const FileDialogTexts& texts) = 0;
  virtual std::optional<std::filesystem::path> Save(QWidget* owner, const FileDialogTexts& texts) = 0;
};

// QFileDialog, starting in the folder last chosen from (the station folder at first).
class QtFileChooser final : public FileChooser {
 public:
  explicit QtFileChooser(std::filesystem::path startFolder) : folder_(std::move(startFolder)) {}
  std::optional<std::filesystem::path> Open(QWidget* owner, const FileDialogTexts& texts) override;
  std::optional<std::filesystem::path> Save(QWidget* owner, const FileDialogTexts& texts) override;

 private:
  std::optional<std::filesystem::path> Run(QWidget* owner, const FileDialogTexts& texts, bool save);
  std::filesystem::path folder_;
};

}  // namespace ardentix::ui
