// Reading a table by column name (see table_rows.h).
#include "categories/table_rows.h"

#include <cmath>

#include "platform/codes.h"

namespace halvern {

const Value* RowView::Find(std::string_view column) const {
  const int32_t i = table_.ColumnIndex(column);
  if (i < 0 || size_t(i) >= row_.record.values.size()) return nullptr;
  const Value& v = row_.record.values[size_t(i)];
  return v.IsNull() || v.IsLost() ? nullptr : &v;
}

std::optional<int64_t> RowView::Integer(std::string_view column) const {
  const Value* v = Find(column);
  if (v == nullptr || !(v->IsInteger() || v->IsReal())) return std::nullopt;
  return v->AsInt64();
}

std::optional<double> RowView::Real(std::string_view column) const {
  const Value* v = Find(column);
  if (v == nullptr || !(v->IsInteger() || v->IsReal())) return std::nullopt;
  return v->AsDouble();
}

std::optional<std::string> RowView::Text(std::string_view column) const {
  const Value* v = Find(column);
  if (v == nullptr) return std::nullopt;
  if (v->IsText()) return std::string(v->Text());
  if (v->IsInteger()) return std::to_string(v->integer);
  if (v->IsBlob()) return std::string(v->bytes);  // an address stored as bytes
  return std::nullopt;
}

ItemSource RowView::origin() const {
  switch (row_.origin.source) {
    case RowSource::kLive: return row_.deleted ? ItemSource::kCarved : ItemSource::kLive;
    case RowSource::kWal:
    case RowSource::kWalReplaced: return ItemSource::kWal;
    default: return ItemSource::kCarved;
  }
}

int32_t ForEachRow(CSqliteFileReader& reader, std::string_view table,
                   const std::function<bool(const RowView& row)>& onRow) {
  const TableSchema* schema = reader.FindTable(table);
  if (schema == nullptr) return kInvalidParameter;
  ScanOptions options;
  return ScanTable(reader, table, options,
                   [&](const ScannedRow& row) { return onRow(RowView(row, *schema)); });
}

bool PlausibleUnixDate(double unixSeconds) {
  return std::isfinite(unixSeconds) && unixSeconds >= 946684800.0 &&  // 2000-01-01
         unixSeconds < 4102444800.0;                                  // 2100-01-01
}

}  // namespace halvern
