#include "ui/dialog_units.h"

#include <QFontMetrics>
#include <QStringList>

namespace ardentix::ui {

QFont DialogFont() {
  // Where Tahoma is missing, the narrow sans faces come closest to its widths;
  // a wide face would clip the texts of the small buttons.
  static const bool substituted = [] {
    QFont::insertSubstitutions(QStringLiteral("Tahoma"),
                               QStringList{QStringLiteral("Wine Tahoma"), QStringLiteral("DejaVu Sans Condensed"),
                                           QStringLiteral("Liberation Sans Narrow"), QStringLiteral("Liberation Sans"),
                                           QStringLiteral("Arial")});
    return true;
  }();
  (void)substituted;
  QFont font(QStringLiteral("Tahoma"));
  font.setPointSize(8);
  return font;
}

DialogUnits::DialogUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  // The average width is taken over the 52 letters, rounded to whole pixels.
  const int letters = metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  baseX_ = (letters / 26 + 1) / 2;
  baseY_ = metrics.height();
}

}  // namespace ardentix::ui
