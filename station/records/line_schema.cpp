#include "records/line_schema.h"

#include <algorithm>

#include "records/record_fields.h"

namespace ardentix::records {
namespace {

const std::string kTable = kLineTable;

bool Has(const std::vector<std::string>& have, const char* name) {
  return std::find(have.begin(), have.end(), name) != have.end();
}

// For the administrator reading it first: a line break after `head` (" ("
// keeps it, " ADD" is broken before) and after each ", ".
std::string OneColumnALine(const std::string& statement, const std::string& head) {
  const size_t at = statement.find(head);
  if (at == std::string::npos) return statement;
  const bool keep = head.back() == '(';
  std::string out = statement.substr(0, keep ? at + head.size() : at) + "\n  ";
  for (size_t i = keep ? at + head.size() : at + 1; i < statement.size(); ++i) {
    if (statement.compare(i, 2, ", ") == 0) {
      out += ",\n  ";
      ++i;
    } else {
      out += statement[i];
    }
  }
  return out;
}

}  // namespace

std::vector<std::string> LineTableStatements() {
  std::string create = "CREATE TABLE IF NOT EXISTS " + kTable + " (";
  for (const auto& f : RecordFields()) create += std::string(f.name) + " " + LineColumnType(f) + ", ";
  // The order records reached the line: ties of start time keep it.
  create += "arrival BIGSERIAL NOT NULL, received_at TIMESTAMPTZ NOT NULL DEFAULT now())";
  return {create, "CREATE INDEX IF NOT EXISTS unit_records_started ON " + kTable + " (started_utc, arrival)",
          "CREATE INDEX IF NOT EXISTS unit_records_serial ON " + kTable + " (serial)"};
}

std::vector<std::string> LineMissingColumns(const std::vector<std::string>& have) {
  std::vector<std::string> missing;
  for (const auto& f : RecordFields())
    if (!Has(have, f.name)) missing.emplace_back(f.name);
  return missing;
}

std::string LineAddColumnsStatement(const std::vector<std::string>& have) {
  std::string sql;
  for (const auto& f : RecordFields())
    if (!Has(have, f.name))
      sql += std::string(sql.empty() ? "" : ", ") + "ADD COLUMN IF NOT EXISTS " + f.name + " " + LineColumnType(f);
  return sql.empty() ? sql : "ALTER TABLE " + kTable + " " + sql;
}

bool IsPlainRoleName(const std::string& name) {
  if (name.empty() || name.size() > 63) return false;
  if (!(name[0] == '_' || (name[0] >= 'a' && name[0] <= 'z'))) return false;
  return std::all_of(name.begin(), name.end(),
                     [](char c) { return c == '_' || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); });
}

std::string LineSetupSql(const std::string& role) {
  std::string sql =
      "-- The line's records table, made once by the database's owner (run it\n"
      "-- again after the stations are updated: it adds the fields they gained).\n"
      "BEGIN;\n";
  const auto table = LineTableStatements();
  sql += OneColumnALine(table[0], " (") + ";\n";
  // Every field but the key: an older table gets what it lacks.
  std::vector<std::string> key{RecordFields().front().name};
  sql += OneColumnALine(LineAddColumnsStatement(key), " ADD") + ";\n";
  for (size_t i = 1; i < table.size(); ++i) sql += table[i] + ";\n";
  sql += "-- The stations' role: it adds records and reads them, nothing else. Give it\n"
         "-- its password with psql's \\password " + role + "\n"
         "DO $$ BEGIN CREATE ROLE " + role + " LOGIN; EXCEPTION WHEN duplicate_object THEN NULL; END $$;\n"
         "REVOKE ALL ON " + kTable + " FROM PUBLIC;\n"
         "GRANT SELECT, INSERT ON " + kTable + " TO " + role + ";\n"
         "GRANT USAGE ON SEQUENCE " + kTable + "_arrival_seq TO " + role + ";\n"
         "COMMIT;\n";
  return sql;
}

}  // namespace ardentix::records
