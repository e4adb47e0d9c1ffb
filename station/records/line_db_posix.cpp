#include "records/line_db.h"

#include "records/line_address.h"
#include "records/line_schema.h"
#include "records/record_fields.h"

#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstring>
#include <nlohmann/json.hpp>

namespace ardentix::records {
namespace {

using SteadyClock = std::chrono::steady_clock;

template <typename T>
bool ParseNumber(const char* text, T& value) {
  const char* end = text + std::strlen(text);
  auto [p, ec] = std::from_chars(text, end, value);
  return ec == std::errc() && p == end;
}

std::string DoubleText(double v) {
  char buffer[64];
  auto [p, ec] = std::to_chars(buffer, buffer + sizeof buffer, v);
  return ec == std::errc() ? std::string(buffer, p) : std::string("0");
}

using R = UnitRecord;

// A field as the database's text format has it.
std::string FieldText(const RecordField& f, const UnitRecord& r) {
  return std::visit(Overloaded{[&](std::string R::*m) { return ToDatabaseText(r.*m); },
                               [&](double R::*m) { return DoubleText(r.*m); },
                               [&](bool R::*m) { return std::string(r.*m ? "t" : "f"); },
                               [&](std::vector<std::string> R::*m) {
                                 nlohmann::json list = nlohmann::json::array();
                                 for (const auto& s : r.*m) list.push_back(ToDatabaseText(s));
                                 return list.dump();
                               },
                               [&](auto m) { return std::to_string(r.*m); }},
                    f.member);
}

// False when the text is not a value of the field's type.
bool SetField(const RecordField& f, UnitRecord& r, const char* v) {
  return std::visit(Overloaded{[&](std::string R::*m) {
                                 r.*m = v;
                                 return true;
                               },
                               [&](double R::*m) {
                                 // The server writes "Infinity"/"NaN" for values no burn produces.
                                 if (ParseNumber(v, r.*m)) return true;
                                 r.*m = 0;
                                 return std::strcmp(v, "NaN") == 0 || std::strstr(v, "Infinity") != nullptr;
                               },
                               [&](bool R::*m) {
                                 r.*m = v[0] == 't';
                                 return v[0] == 't' || v[0] == 'f';
                               },
                               [&](std::vector<std::string> R::*m) {
                                 const auto list = nlohmann::json::parse(v, nullptr, false);
                                 if (!list.is_array()) return false;
                                 (r.*m).clear();
                                 for (const auto& s : list) {
                                   if (!s.is_string()) return false;
                                   (r.*m).push_back(s.get<std::string>());
                                 }
                                 return true;
                               },
                               [&](auto m) { return ParseNumber(v, r.*m); }},
                    f.member);
}

// Rows per INSERT statement: well below the protocol's 65535 parameters.
constexpr size_t kRowsPerStatement = 500;

// libpq's messages end in a newline and may carry a hint on a second line.
std::string FirstLine(const char* message) {
  std::string text = message ? message : "";
  const auto nl = text.find('\n');
  if (nl != std::string::npos) text.resize(nl);
  while (!text.empty() && (text.back() == '\r' || text.back() == ' ' || text.back() == '.')) text.pop_back();
  return text;
}

bool Contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

struct ConnInfo {
  PQconninfoOption* options = nullptr;
  ~ConnInfo() {
    if (options) PQconninfoFree(options);
  }
  std::string Get(const char* keyword) const {
    for (auto* o = options; o && o->keyword; ++o)
      if (std::strcmp(o->keyword, keyword) == 0 && o->val) return o->val;
    return {};
  }
};

// `url` is the operator's address (a bare word names a service).
bool ParseUrl(const std::string& url, ConnInfo& info, std::string& error) {
  if (url.find_first_not_of(" \t") == std::string::npos) {
    error = "The line database address is empty.";
    return false;
  }
  // Anything else without "=" or "://" would be taken as a database name on
  // this host's socket: a slip (or a password pasted in the wrong place),
  // never a line address, and not repeated back.
  if (!IsLineServiceName(url) && url.find("://") == std::string::npos && url.find('=') == std::string::npos) {
    error = "The line database address is not valid: it is neither postgresql://..., key=value pairs nor a "
            "service name.";
    return false;
  }
  char* message = nullptr;
  info.options = PQconninfoParse(LineConnInfo(url).c_str(), &message);
  if (!info.options) {
    // libpq quotes what it could not read: told from the address without
    // its password, so that no part of one is ever shown.
    if (message) PQfreemem(message);
    message = nullptr;
    PQconninfoOption* bare = PQconninfoParse(LineAddressWithoutPassword(url).c_str(), &message);
    if (bare) PQconninfoFree(bare);
    error = "The line database address is not valid: " +
            (bare ? std::string("its password cannot be read") : FirstLine(message)) + ".";
    if (message) PQfreemem(message);
    return false;
  }
  // libpq would only find this out when connecting.
  const std::string ports = info.Get("port");
  size_t from = 0;
  while (!ports.empty() && from <= ports.size()) {
    const size_t comma = std::min(ports.find(',', from), ports.size());
    const std::string port = ports.substr(from, comma - from);
    int value = 0;
    if (!port.empty() && (!ParseNumber(port.c_str(), value) || value < 1 || value > 65535)) {
      error = "The line database address is not valid: \"" + port + "\" is not a port number.";
      return false;
    }
    from = comma + 1;
  }
  return true;
}

// How long until `deadline`, in whole milliseconds, at least 0.
int RemainingMs(SteadyClock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

enum class WaitResult { Ready, TimedOut, Aborted, Failed };

// Waits for the socket in slices, so that an abort is seen quickly.
WaitResult WaitSocket(int fd, short events, SteadyClock::time_point deadline, const std::atomic<bool>* abort) {
  if (fd < 0) return WaitResult::Failed;
  for (;;) {
    if (abort && abort->load()) return WaitResult::Aborted;
    const int left = RemainingMs(deadline);
    if (left == 0) return WaitResult::TimedOut;
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, left < 100 ? left : 100);
    if (n > 0) return WaitResult::Ready;
    if (n < 0 && errno != EINTR) return WaitResult::Failed;
  }
}

std::string ConnectFailure(const std::string& where, const std::string& user, const std::string& message) {
  if (Contains(message, "password authentication failed") || Contains(message, "authentication failed") ||
      Contains(message, "SCRAM")) {
    return "The line database " + where + " refused the password of user \"" + user + "\".";
  }
  if (Contains(message, "no password supplied")) {
    return "The line database " + where + " asks for a password for user \"" + user +
           "\" and none was found (password file PGPASSFILE or ~/.pgpass, service file, address).";
  }
  if (Contains(message, "definition of service") || Contains(message, "service file")) {
    return "The line database service cannot be used: " + message +
           " (service file PGSERVICEFILE or ~/.pg_service.conf).";
  }
  if (Contains(message, "does not exist") || Contains(message, "not permitted") ||
      Contains(message, "no pg_hba.conf entry")) {
    return "The line database " + where + " refused the connection: " + message + ".";
  }
  if (Contains(message, "connection option") || (message.rfind("invalid ", 0) == 0 && Contains(message, " value")))
    return "The line database address is not valid: " + message + ".";
  return "The line database " + where + " cannot be reached: " + message + ".";
}

// Keeps what libpq's notice processor would print to stderr (NOTICE lines
// for "relation already exists") out of the operator's console.
void IgnoreNotice(void*, const char*) {}

}  // namespace

std::string ToDatabaseText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  static const char* hex = "0123456789ABCDEF";
  auto escape = [&](unsigned char b) {
    out += "\\x";
    out += hex[b >> 4];
    out += hex[b & 15];
  };
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  for (size_t i = 0; i < n;) {
    const unsigned char b = s[i];
    if (b == 0) {
      escape(b);
      ++i;
      continue;
    }
    if (b < 0x80) {
      out += static_cast<char>(b);
      ++i;
      continue;
    }
    // A well-formed sequence: lead byte, its length, continuation bytes and
    // no overlong form, surrogate or value past U+10FFFF.
    size_t len = 0;
    uint32_t cp = 0;
    if (b >= 0xC2 && b <= 0xDF) {
      len = 2;
      cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      len = 3;
      cp = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4;
      cp = b & 0x07;
    }
    bool ok = len != 0 && i + len <= n;
    for (size_t k = 1; ok && k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if (ok) {
      const uint32_t min = len == 2 ? 0x80 : len == 3 ? 0x800 : 0x10000;
      ok = cp >= min && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
    }
    if (ok) {
      out.append(text, i, len);
      i += len;
    } else {
      escape(b);
      ++i;
    }
  }
  return out;
}

bool CheckLineUrl(const std::string& url, std::string& error) {
  ConnInfo info;
  return ParseUrl(url, info, error);
}

std::string DescribeLineUrl(const std::string& url) {
  ConnInfo info;
  std::string ignored;
  if (!ParseUrl(url, info, ignored)) return "(invalid address)";
  std::string host = info.Get("host");
  if (host.empty()) host = info.Get("hostaddr");
  const std::string port = info.Get("port");
  const std::string user = info.Get("user");
  const std::string db = info.Get("dbname");
  const std::string service = info.Get("service");
  // What a service leaves out comes from the service file.
  if (!service.empty() && host.empty() && port.empty() && user.empty() && db.empty())
    return "(service " + service + ")";
  std::string text = user.empty() ? "" : user + "@";
  text += host.empty() ? "localhost" : host;
  if (!port.empty()) text += ":" + port;
  if (!db.empty()) text += "/" + db;
  if (!service.empty()) text += " (service " + service + ")";
  return text;
}

LineDb::LineDb(pg_conn* conn, std::string where, std::string user, const LineDbOptions& options)
    : conn_(conn), where_(std::move(where)), user_(std::move(user)), options_(options) {}

LineDb::~LineDb() { PQfinish(conn_); }

bool LineDb::Broken() const { return broken_ || PQstatus(conn_) != CONNECTION_OK; }

std::unique_ptr<LineDb> LineDb::Connect(const std::string& url, std::string& error, const LineDbOptions& options) {
  ConnInfo info;
  if (!ParseUrl(url, info, error)) return nullptr;
  const std::string where = DescribeLineUrl(url);
  const std::string conninfo = LineConnInfo(url);

  // Ours first, the address after: what the address sets wins, except the
  // encoding, which the text columns rely on.
  const std::string timeoutSeconds = std::to_string((options.ConnectTimeoutMs + 999) / 1000);
  const std::string userTimeout = std::to_string(options.StatementTimeoutMs);
  const char* keywords[] = {"connect_timeout", "application_name", "keepalives", "keepalives_idle",
                            "keepalives_interval", "keepalives_count", "tcp_user_timeout",
                            "dbname", "client_encoding", nullptr};
  const char* values[] = {timeoutSeconds.c_str(), "ardentix", "1", "10", "5", "3", userTimeout.c_str(),
                          conninfo.c_str(), "UTF8", nullptr};
  PGconn* conn = PQconnectStartParams(keywords, values, 1);
  if (!conn) {
    error = "The line database " + where + " cannot be reached: out of memory.";
    return nullptr;
  }
  PQsetNoticeProcessor(conn, IgnoreNotice, nullptr);
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(options.ConnectTimeoutMs);
  PostgresPollingStatusType state = PGRES_POLLING_WRITING;
  while (PQstatus(conn) != CONNECTION_BAD && state != PGRES_POLLING_OK && state != PGRES_POLLING_FAILED) {
    const short events = state == PGRES_POLLING_READING ? POLLIN : POLLOUT;
    const WaitResult w = WaitSocket(PQsocket(conn), events, deadline, options.Abort);
    if (w == WaitResult::TimedOut) {
      PQfinish(conn);
      error = "The line database " + where + " did not answer within " +
              std::to_string((options.ConnectTimeoutMs + 999) / 1000) + " s.";
      return nullptr;
    }
    if (w == WaitResult::Aborted) {
      PQfinish(conn);
      error = "Connecting to the line database " + where + " was stopped.";
      return nullptr;
    }
    state = PQconnectPoll(conn);
  }
  // The user as libpq settled it: the address, the service file, PGUSER or
  // the login name.
  const char* settled = PQuser(conn);
  const std::string user = settled && *settled ? settled : info.Get("user");
  if (PQstatus(conn) != CONNECTION_OK) {
    error = ConnectFailure(where, user, FirstLine(PQerrorMessage(conn)));
    PQfinish(conn);
    return nullptr;
  }
  if (PQsetnonblocking(conn, 1) != 0) {
    error = "The line database " + where + " cannot be used: " + FirstLine(PQerrorMessage(conn)) + ".";
    PQfinish(conn);
    return nullptr;
  }
  std::unique_ptr<LineDb> db(new LineDb(conn, where, user, options));
  if (!db->Exec("SET statement_timeout = " + std::to_string(options.StatementTimeoutMs), nullptr, nullptr,
                error) ||
      !db->EnsureTable(error)) {
    return nullptr;
  }
  return db;
}

// Sends one statement and waits for all its results. With `result`, the
// last PGresult is handed over (PGresult*), else freed.
bool LineDb::Exec(const std::string& sql, const std::vector<std::string>* params, void** result,
                  std::string& error) {
  auto fail = [&](const std::string& why) {
    error = "The line database " + where_ + ": " + why + ".";
    return false;
  };
  if (broken_) return fail("the connection was lost");
  std::vector<const char*> values;
  if (params) {
    values.reserve(params->size());
    for (const auto& p : *params) values.push_back(p.c_str());
  }
  const int sent = values.empty() ? PQsendQuery(conn_, sql.c_str())
                                  : PQsendQueryParams(conn_, sql.c_str(), static_cast<int>(values.size()),
                                                      nullptr, values.data(), nullptr, nullptr, 0);
  if (!sent) {
    broken_ = PQstatus(conn_) != CONNECTION_OK;
    return fail(FirstLine(PQerrorMessage(conn_)));
  }
  // The server cuts a statement off at the statement timeout; a little
  // more here covers a server or network that says nothing at all.
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(options_.StatementTimeoutMs + 2000);
  auto waitFor = [&](short events) {
    const WaitResult w = WaitSocket(PQsocket(conn_), events, deadline, options_.Abort);
    if (w == WaitResult::Ready) return true;
    // The state of the statement is unknown: this connection is done.
    broken_ = true;
    fail(w == WaitResult::TimedOut ? "no answer within " +
                                         std::to_string((options_.StatementTimeoutMs + 2999) / 1000) + " s"
         : w == WaitResult::Aborted ? std::string("stopped")
                                    : std::string("the connection failed"));
    return false;
  };
  for (;;) {
    const int f = PQflush(conn_);
    if (f == 0) break;
    if (f < 0) {
      broken_ = true;
      return fail(FirstLine(PQerrorMessage(conn_)));
    }
    if (!waitFor(POLLIN | POLLOUT)) return false;
    if (!PQconsumeInput(conn_)) {
      broken_ = true;
      return fail(FirstLine(PQerrorMessage(conn_)));
    }
  }
  PGresult* last = nullptr;
  std::string statementError;
  for (;;) {
    while (PQisBusy(conn_)) {
      if (!waitFor(POLLIN)) {
        if (last) PQclear(last);
        return false;
      }
      if (!PQconsumeInput(conn_)) {
        broken_ = true;
        if (last) PQclear(last);
        return fail(FirstLine(PQerrorMessage(conn_)));
      }
    }
    PGresult* r = PQgetResult(conn_);
    if (!r) break;
    const auto status = PQresultStatus(r);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK && statementError.empty()) {
      statementError = FirstLine(PQresultErrorMessage(r));
      if (statementError.empty()) statementError = PQresStatus(status);
    }
    if (last) PQclear(last);
    last = r;
  }
  if (PQstatus(conn_) != CONNECTION_OK) broken_ = true;
  if (!statementError.empty()) {
    if (last) PQclear(last);
    return fail(statementError);
  }
  if (!last) return fail(broken_ ? "the connection was lost" : "no result");
  if (result) {
    *result = last;
  } else {
    PQclear(last);
  }
  return true;
}

// A table made by an older program lacks the newer fields: they are added
// with the default an older station leaves when it sends, so stations of
// both programs keep sending to the same table.
bool LineDb::TableColumns(std::vector<std::string>& have, std::string& error) {
  const std::vector<std::string> params{kTable};
  void* raw = nullptr;
  if (!Exec("SELECT column_name FROM information_schema.columns WHERE table_schema = current_schema() AND "
            "table_name = $1",
            &params, &raw, error))
    return false;
  PGresult* result = static_cast<PGresult*>(raw);
  have.clear();
  for (int row = 0; row < PQntuples(result); ++row) have.push_back(PQgetvalue(result, row, 0));
  PQclear(result);
  return true;
}

// A table that is there is only read: a role that may only add and read
// records (the administrator made the table) needs nothing more. The table
// is created, or its missing fields added, only when that is needed.
bool LineDb::EnsureTable(std::string& error) {
  std::vector<std::string> have;
  if (!TableColumns(have, error)) return false;
  auto refused = [](const std::string& failure) {
    return Contains(failure, "permission denied") || Contains(failure, "must be owner");
  };
  std::string failure;
  if (have.empty()) {
    bool made = true;
    for (const auto& statement : LineTableStatements())
      if (!(made = Exec(statement, nullptr, nullptr, failure))) break;
    if (made) return true;
    // Two stations creating the table at the same moment: one of them is
    // told the name is taken; the table is there all the same.
    if (!broken_ && (Contains(failure, "already exists") || Contains(failure, "duplicate key"))) {
      std::string again;
      if (TableColumns(have, again) && !have.empty()) return true;
    }
    error = !broken_ && refused(failure)
                ? "The line database " + where_ + " has no table " + kTable + " and user \"" + user_ +
                      "\" may not create it: the administrator creates it once (ardentix-cli records line-setup)."
                : failure;
    return false;
  }
  const std::string add = LineAddColumnsStatement(have);
  if (add.empty() || Exec(add, nullptr, nullptr, failure)) return true;
  if (!broken_ && refused(failure)) {
    std::string names;
    for (const auto& name : LineMissingColumns(have)) names += (names.empty() ? "" : ", ") + name;
    error = "The line database " + where_ + " lacks the columns " + names + " of " + kTable + " and user \"" + user_ +
            "\" may not add them: the administrator runs ardentix-cli records line-setup again.";
  } else {
    error = failure;
  }
  return false;
}

bool LineDb::Insert(const std::vector<UnitRecord>& records, std::string& error) {
  if (records.empty()) return true;
  const auto& columns = RecordFields();
  const bool several = records.size() > kRowsPerStatement;
  if (several && !Exec("BEGIN", nullptr, nullptr, error)) return false;
  for (size_t start = 0; start < records.size(); start += kRowsPerStatement) {
    const size_t end = std::min(records.size(), start + kRowsPerStatement);
    std::string sql = "INSERT INTO " + std::string(kTable) + " (" + FieldNameList() + ") VALUES ";
    std::vector<std::string> params;
    params.reserve((end - start) * columns.size());
    for (size_t i = start; i < end; ++i) {
      sql += i == start ? "(" : ", (";
      for (size_t c = 0; c < columns.size(); ++c) {
        params.push_back(FieldText(columns[c], records[i]));
        sql += (c ? ", $" : "$") + std::to_string(params.size());
      }
      sql += ")";
    }
    sql += " ON CONFLICT (id) DO NOTHING";
    if (!Exec(sql, &params, nullptr, error)) {
      if (several && !broken_) {
        std::string ignored;
        Exec("ROLLBACK", nullptr, nullptr, ignored);
      }
      return false;
    }
  }
  return !several || Exec("COMMIT", nullptr, nullptr, error);
}

bool LineDb::Find(const RecordFilter& filter, std::vector<UnitRecord>& out, std::string& error) {
  std::string sql = "SELECT " + FieldNameList() + " FROM " + std::string(kTable);
  std::vector<std::string> params;
  auto where = [&](const char* condition, const std::string& value) {
    if (value.empty()) return;
    params.push_back(ToDatabaseText(value));
    sql += (params.size() == 1 ? " WHERE " : " AND ") + std::string(condition) + std::to_string(params.size());
  };
  where("started_utc >= $", filter.SinceUtc);
  where("started_utc < $", filter.UntilUtc);
  where("serial = $", filter.Serial);
  where("outcome = $", filter.Outcome);
  where("station = $", filter.Station);
  sql += " ORDER BY started_utc, arrival";
  void* raw = nullptr;
  if (!Exec(sql, &params, &raw, error)) return false;
  PGresult* result = static_cast<PGresult*>(raw);
  const auto& columns = RecordFields();
  const int rows = PQntuples(result);
  if (PQnfields(result) != static_cast<int>(columns.size())) {
    PQclear(result);
    error = "The line database " + where_ + ": unexpected columns in " + kTable + ".";
    return false;
  }
  out.clear();
  out.reserve(static_cast<size_t>(rows));
  for (int row = 0; row < rows; ++row) {
    UnitRecord record;
    for (size_t c = 0; c < columns.size(); ++c) {
      const int col = static_cast<int>(c);
      if (PQgetisnull(result, row, col) || !SetField(columns[c], record, PQgetvalue(result, row, col))) {
        error = "The line database " + where_ + ": unexpected value in column " + columns[c].name + " of record \"" +
                PQgetvalue(result, row, 0) + "\".";
        PQclear(result);
        out.clear();
        return false;
      }
    }
    out.push_back(std::move(record));
  }
  PQclear(result);
  return true;
}

}  // namespace ardentix::records
