#pragma once

// A string grid without a toolkit: rows of cells, a fixed header row 0, column widths.
// The log windows list their records into one; the Qt grid mirrors it.

#include <string>
#include <vector>

namespace quillon::records {

class TStringGridModel {
  public:
    TStringGridModel(int columns, int rows, std::vector<int> widths)
        : columns_(columns), widths_(std::move(widths)) {
        SetRowCount(rows);
    }
    [[nodiscard]] int ColCount() const { return columns_; }
    [[nodiscard]] int RowCount() const { return static_cast<int>(cells_.size()); }
    void SetRowCount(int rows) {
        cells_.resize(static_cast<size_t>(rows), std::vector<std::string>(columns_));
    }
    [[nodiscard]] const std::string &Cell(int col, int row) const {
        static const std::string empty;
        if (row < 0 || row >= RowCount() || col < 0 || col >= columns_) {
            return empty;
        }
        return cells_[static_cast<size_t>(row)][static_cast<size_t>(col)];
    }
    void SetCell(int col, int row, std::string text) {
        if (row >= 0 && row < RowCount() && col >= 0 && col < columns_) {
            cells_[static_cast<size_t>(row)][static_cast<size_t>(col)] = std::move(text);
        }
    }
    void ClearCells() {
        for (auto &row : cells_) {
            for (auto &cell : row) {
                cell.clear();
            }
        }
    }
    [[nodiscard]] const std::vector<int> &ColWidths() const { return widths_; }
    int FixedRows = 1;
    int FixedCols = 0;
    bool RowSelect = true;
    int Row = 1; // the selected row

  private:
    int columns_;
    std::vector<int> widths_;
    std::vector<std::vector<std::string>> cells_;
};

} // namespace quillon::records
