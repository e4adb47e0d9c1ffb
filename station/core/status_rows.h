// The status list's rows as text: four columns ("No.", "Drive(Lun)",
// "Status", "Result"). The window mirrors this model; the CLI prints it.
// Changed only on the station's thread.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <vector>

namespace ardentix {

inline constexpr int kStatusColumns = 4;
using StatusRow = std::array<std::string, kStatusColumns>;

class StatusRows {
 public:
  int Count() const { return int(rows_.size()); }
  const StatusRow& Row(int row) const { return rows_.at(size_t(row)); }
  const std::vector<StatusRow>& All() const { return rows_; }
  std::string Text(int row, int column) const;  // "" outside the table

  void Append(StatusRow row);
  void Delete(int row);
  void SetText(int row, int column, const std::string& text);

  // Told about every change (row index, or -1 for inserts and deletes), for
  // a view that mirrors the rows.
  void SetListener(std::function<void(int row)> listener) { listener_ = std::move(listener); }

 private:
  void Changed(int row) {
    if (listener_) listener_(row);
  }
  std::vector<StatusRow> rows_;
  std::function<void(int)> listener_;
};

}  // namespace ardentix
