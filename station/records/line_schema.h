#pragma once
// The line database's table as SQL, made from the record's field table: what
// a station runs on first contact when its role may create tables, and what
// the line's administrator runs once (and again after an update of the
// stations adds fields) so that the stations' role need only add and read.
#include <string>
#include <vector>

namespace ardentix::records {

inline constexpr const char* kLineTable = "unit_records";
inline constexpr const char* kLineStationRole = "line_station";

// CREATE TABLE IF NOT EXISTS and its indexes, one statement each.
std::vector<std::string> LineTableStatements();

// The ALTER TABLE that adds the fields `have` lacks (column names), or ""
// when none is missing.
std::string LineAddColumnsStatement(const std::vector<std::string>& have);

// The fields of the table `have` lacks, by name.
std::vector<std::string> LineMissingColumns(const std::vector<std::string>& have);

// A role name the setup may use unquoted: a lower-case letter or "_", then
// letters, digits or "_", at most 63 characters.
bool IsPlainRoleName(const std::string& name);

// The administrator's script: the table, its indexes, every field (so it
// also brings an older table up to date), and `role`, which may log in,
// add records and read them, and nothing else. Run again it changes nothing.
std::string LineSetupSql(const std::string& role);

}  // namespace ardentix::records
