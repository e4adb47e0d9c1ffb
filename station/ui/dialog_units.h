// The windows are laid out in dialog units, as their resources give them: a
// horizontal unit is a quarter of the font's average character width, a
// vertical unit an eighth of its height, so the layout follows the font.
#pragma once

#include <QFont>
#include <QRect>

namespace ardentix::ui {

// The dialogs' font: Tahoma 8 pt, or what the system substitutes for it.
QFont DialogFont();

class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font);
  DialogUnits(int baseX, int baseY) : baseX_(baseX), baseY_(baseY) {}

  int X(int du) const { return (du * baseX_ + 2) / 4; }  // rounded
  int Y(int du) const { return (du * baseY_ + 4) / 8; }
  QRect Rect(int x, int y, int width, int height) const { return QRect(X(x), Y(y), X(width), Y(height)); }
  int baseX() const { return baseX_; }
  int baseY() const { return baseY_; }

 private:
  int baseX_;
  int baseY_;
};

}  // namespace ardentix::ui
