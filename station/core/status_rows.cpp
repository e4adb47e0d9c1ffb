#include "core/status_rows.h"

namespace ardentix {

std::string StatusRows::Text(int row, int column) const {
  if (row < 0 || row >= Count() || column < 0 || column >= kStatusColumns) return {};
  return rows_[size_t(row)][size_t(column)];
}

void StatusRows::Append(StatusRow row) {
  rows_.push_back(std::move(row));
  Changed(-1);
}

void StatusRows::Delete(int row) {
  if (row < 0 || row >= Count()) return;
  rows_.erase(rows_.begin() + row);
  Changed(-1);
}

void StatusRows::SetText(int row, int column, const std::string& text) {
  if (row < 0 || row >= Count() || column < 0 || column >= kStatusColumns) return;
  std::string& cell = rows_[size_t(row)][size_t(column)];
  if (cell == text) return;
  cell = text;
  Changed(row);
}

}  // namespace ardentix
