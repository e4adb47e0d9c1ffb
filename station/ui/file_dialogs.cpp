#include "ui/file_dialogs.h"

#include "core/platform_files.h"

#include <QFileDialog>
#include <QRegularExpression>

namespace ardentix::ui {
namespace {

// Patterns separated by ';' (or blanks); empty when any of them is not a
// file pattern.
QStringList Patterns(const QString& text) {
  QStringList out;
  for (const QString& part : text.split(QRegularExpression(QStringLiteral("[;\\s]+")), Qt::SkipEmptyParts)) {
    if (part.contains(u'(') || part.contains(u')')) return {};
    out << (part == QStringLiteral("*.*") ? QStringLiteral("*") : part);
  }
  return out;
}

}  // namespace

QStringList QtNameFilters(std::string_view pairs) {
  QStringList parts = QString::fromUtf8(pairs.data(), qsizetype(pairs.size())).split(u'|');
  if (!parts.isEmpty() && parts.back().trimmed().isEmpty()) parts.removeLast();
  QStringList filters;
  for (qsizetype i = 0; i < parts.size(); i += 2) {
    QString display = parts[i].trimmed();
    QStringList patterns = i + 1 < parts.size() ? Patterns(parts[i + 1]) : QStringList();
    const qsizetype open = display.lastIndexOf(u'(');
    if (open >= 0 && display.endsWith(u')')) {
      if (patterns.isEmpty()) patterns = Patterns(display.mid(open + 1, display.size() - open - 2));
      display = display.left(open).trimmed();
    }
    if (patterns.isEmpty()) patterns << QStringLiteral("*");
    filters << display + QStringLiteral(" (") + patterns.join(u' ') + u')';
  }
  return filters;
}

std::optional<std::filesystem::path> QtFileChooser::Open(QWidget* owner, const FileDialogTexts& texts) {
  return Run(owner, texts, false);
}

std::optional<std::filesystem::path> QtFileChooser::Save(QWidget* owner, const FileDialogTexts& texts) {
  return Run(owner, texts, true);
}

std::optional<std::filesystem::path> QtFileChooser::Run(QWidget* owner, const FileDialogTexts& texts, bool save) {
  QFileDialog dialog(owner);
  dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
  dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
  // Exporting over an existing package is routine on the line: no prompt.
  if (save) dialog.setOption(QFileDialog::DontConfirmOverwrite);
  dialog.setNameFilters(QtNameFilters(texts.filter));
  dialog.setDefaultSuffix(QString::fromUtf8(texts.defaultExtension.data(), qsizetype(texts.defaultExtension.size())));
  dialog.setDirectory(QString::fromStdString(PathText(folder_)));  // UTF-8 both ways, for Windows too
  // An initial name that is a pattern only repeats the filter.
  const QString initial = QString::fromUtf8(texts.initialName.data(), qsizetype(texts.initialName.size()));
  if (!initial.isEmpty() && !initial.contains(u'*')) dialog.selectFile(initial);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  const std::filesystem::path chosen = PathFromText(dialog.selectedFiles().front().toStdString());
  folder_ = chosen.parent_path();
  return chosen;
}

}  // namespace ardentix::ui
