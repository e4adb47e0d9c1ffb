#pragma once
// The line's shared PostgreSQL database: every station of the line sends its
// records here, and `records --from URL` reads them back.
//
// Every network wait is bounded: a connection attempt gives up after the
// connect timeout, a statement after the statement timeout, both counted
// here on the host's steady clock (this is I/O, not one of the station's
// fixed waits), and the server is also told the statement timeout. An abort
// flag, when given, ends any wait within a fraction of a second. Failures
// come back as one line for the operator; a password never appears in it.
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "records/line_schema.h"
#include "records/record.h"

struct pg_conn;

namespace ardentix::records {

struct LineDbOptions {
  int ConnectTimeoutMs = 5000;
  int StatementTimeoutMs = 15000;
  // Set from another thread to give up at once (the sender's Stop).
  const std::atomic<bool>* Abort = nullptr;
};

// Checks an address ("postgresql://user@host:port/db?...", "host=... dbname=..."
// or a service name, see line_address.h) without connecting. False with a
// message when it cannot be understood.
bool CheckLineUrl(const std::string& url, std::string& error);

// The address as the operator may see it: user, host, port and database (or
// the service), no password.
std::string DescribeLineUrl(const std::string& url);

class LineDb {
 public:
  // Connects and makes sure the records table exists with every field
  // (creating or extending it only where it must: a role that may only
  // insert and select works with a table the administrator made). Null with
  // one line for the operator: bad address, server not reachable, no answer
  // in time, user or password refused, table missing and not creatable.
  static std::unique_ptr<LineDb> Connect(const std::string& url, std::string& error,
                                         const LineDbOptions& options = {});
  ~LineDb();
  LineDb(const LineDb&) = delete;
  LineDb& operator=(const LineDb&) = delete;

  // Stores the records in one transaction: all or none. A record whose id
  // is already there is left as it is, so sending a batch again (after a
  // reply was lost) adds nothing.
  bool Insert(const std::vector<UnitRecord>& records, std::string& error);

  // The records of all stations that match, in start order (then arrival).
  bool Find(const RecordFilter& filter, std::vector<UnitRecord>& out, std::string& error);

  // True once the connection is lost or a wait was cut short: connect anew.
  bool Broken() const;

  // The table's name in the line's database.
  static constexpr const char* kTable = kLineTable;

 private:
  LineDb(pg_conn* conn, std::string where, std::string user, const LineDbOptions& options);
  bool EnsureTable(std::string& error);
  bool TableColumns(std::vector<std::string>& have, std::string& error);
  bool Exec(const std::string& sql, const std::vector<std::string>* params, void** result, std::string& error);

  pg_conn* conn_;
  std::string where_;  // DescribeLineUrl, for messages
  std::string user_;   // the role connected as, for messages
  LineDbOptions options_;
  bool broken_ = false;
};

// Strings as the database's text columns take them: valid UTF-8 with no NUL.
// Other bytes are kept readable as "\xNN" so one odd serial or location can
// never hold back the records behind it.
std::string ToDatabaseText(const std::string& text);

}  // namespace ardentix::records
