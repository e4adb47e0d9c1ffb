#pragma once
// The production record's fields, once: the local file's columns and their
// migrations, the line database's columns, the CSV columns and the JSON
// keys all come from this table. A new field is a new row (and a member of
// UnitRecord); nothing else lists the fields.
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "records/record.h"

namespace ardentix::records {

// Where a field lives in UnitRecord; its type decides how it is stored:
// text, integer (uint32_t: 8 hex digits in CSV and JSON), real, flag, or a
// list of texts (a JSON array in the databases, space-separated in CSV).
using FieldMember =
    std::variant<std::string UnitRecord::*, int32_t UnitRecord::*, int64_t UnitRecord::*, uint32_t UnitRecord::*,
                 double UnitRecord::*, bool UnitRecord::*, std::vector<std::string> UnitRecord::*>;

struct RecordField {
  // The column in both databases and the CSV header (snake_case).
  const char* name;
  // The key in the JSON export; dots nest ("package.name").
  const char* json;
  FieldMember member;
  // The line database's column type when it is more than the type's default
  // (the key, or C collation on a column filters compare).
  const char* lineType = nullptr;
  // The column's name in the first layout of the local file, when it was
  // named differently there.
  const char* firstLocalName = nullptr;
};

// std::visit over a FieldMember with one lambda per type.
template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

// In column order. The first row is the record's key.
const std::vector<RecordField>& RecordFields();

// Column types with the default every older writer leaves in a column it
// does not know.
std::string LocalColumnType(const RecordField& field);
std::string LineColumnType(const RecordField& field);

// The fields' names, comma separated, in table order.
std::string FieldNameList();

}  // namespace ardentix::records
