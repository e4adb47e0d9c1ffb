// A throwaway PostgreSQL server for the line tests: initdb in a temporary
// folder, postgres on a Unix socket in that folder (no TCP), stopped and
// removed at the end. postgres refuses to run as root, so under root the
// server runs as an unprivileged user. Waiting here is for a real server
// process to come up or go down, bounded by deadlines.
#pragma once

#include <grp.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace ardentix::test {

class PgServer {
 public:
  static constexpr const char* kAdmin = "ardentix_admin";
  static constexpr int kPort = 5432;  // names the socket file only

  // The newest installed server's bin folder, or empty.
  static std::filesystem::path FindBinDir() {
    std::vector<std::filesystem::path> found;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
      if (std::filesystem::exists(e.path() / "bin" / "postgres") && std::filesystem::exists(e.path() / "bin" / "initdb"))
        found.push_back(e.path() / "bin");
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
      return std::atoi(a.parent_path().filename().c_str()) < std::atoi(b.parent_path().filename().c_str());
    });
    return found.empty() ? std::filesystem::path() : found.back();
  }

  ~PgServer() {
    Stop();
    if (!dir_.empty()) {
      std::error_code ec;
      std::filesystem::remove_all(dir_, ec);
    }
  }

  // initdb and the access rules: the admin by trust on the socket, every
  // other role by password (scram-sha-256). False with the reason.
  bool Create(std::string& why) {
    bin_ = FindBinDir();
    if (bin_.empty()) {
      why = "no PostgreSQL server under /usr/lib/postgresql (Debian package postgresql)";
      return false;
    }
    char pattern[] = "/tmp/ardentix-pg-XXXXXX";
    if (!::mkdtemp(pattern)) {
      why = "mkdtemp failed";
      return false;
    }
    dir_ = pattern;
    if (::geteuid() == 0 && !PickUser(why)) return false;
    if (drop_ && ::chown(dir_.c_str(), uid_, gid_) != 0) {
      why = "cannot hand " + dir_.string() + " to the server's user";
      return false;
    }
    const std::string data = (dir_ / "data").string();
    const int rc = RunAndWait({(bin_ / "initdb").string(), "-D", data, "-U", kAdmin, "-A", "trust", "-E", "UTF8",
                               "--locale=C", "--no-sync"});
    if (rc != 0) {
      why = "initdb failed: " + Log();
      return false;
    }
    std::ofstream hba(dir_ / "data" / "pg_hba.conf", std::ios::trunc);
    hba << "local all " << kAdmin << " trust\n"
        << "local all all scram-sha-256\n";
    return hba.good();
  }

  bool Start(std::string& why) {
    const std::string data = (dir_ / "data").string();
    pid_ = Spawn({(bin_ / "postgres").string(), "-D", data, "-k", dir_.string(), "-p", std::to_string(kPort), "-c",
                  "listen_addresses=", "-c", "fsync=off", "-c", "synchronous_commit=off", "-c",
                  "full_page_writes=off", "-c", "shared_buffers=16MB", "-c", "max_connections=30"});
    if (pid_ < 0) {
      why = "cannot start postgres";
      return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    const std::string info = AdminConnInfo("postgres");
    while (std::chrono::steady_clock::now() < deadline) {
      if (PQping(info.c_str()) == PQPING_OK) return true;
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        why = "postgres ended at start: " + Log();
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    why = "postgres did not start within 60 s: " + Log();
    Stop();
    return false;
  }

  // Fast shutdown; whatever is left of the server's processes is killed.
  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGINT);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    int status = 0;
    bool ended = false;
    while (std::chrono::steady_clock::now() < deadline) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        ended = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(-pid_, SIGKILL);  // its process group: stragglers too
    if (!ended) ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

  bool Running() const { return pid_ > 0; }
  const std::filesystem::path& Dir() const { return dir_; }

  std::string AdminConnInfo(const std::string& db) const {
    return "host=" + dir_.string() + " port=" + std::to_string(kPort) + " user=" + kAdmin + " dbname=" + db;
  }

  // A line address in URL form with the socket folder percent-encoded.
  std::string Url(const std::string& user, const std::string& password, const std::string& db) const {
    std::string host;
    for (char c : dir_.string()) {
      if (c == '/') host += "%2F";
      else host += c;
    }
    return "postgresql://" + user + (password.empty() ? "" : ":" + password) + "@/" + db + "?host=" + host +
           "&port=" + std::to_string(kPort);
  }

  // Runs SQL as the admin; the first value of the result in `value`.
  bool Sql(const std::string& db, const std::string& sql, std::string& why, std::string* value = nullptr) const {
    PGconn* c = PQconnectdb(AdminConnInfo(db).c_str());
    bool ok = PQstatus(c) == CONNECTION_OK;
    if (!ok) why = PQerrorMessage(c);
    if (ok) {
      PGresult* r = PQexec(c, sql.c_str());
      ok = PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK;
      if (!ok) why = PQresultErrorMessage(r);
      if (ok && value) *value = PQntuples(r) > 0 ? PQgetvalue(r, 0, 0) : "";
      PQclear(r);
    }
    PQfinish(c);
    return ok;
  }

  // A column of a query, one string per row.
  std::vector<std::string> Column(const std::string& db, const std::string& sql) const {
    std::vector<std::string> rows;
    PGconn* c = PQconnectdb(AdminConnInfo(db).c_str());
    if (PQstatus(c) == CONNECTION_OK) {
      PGresult* r = PQexec(c, sql.c_str());
      if (PQresultStatus(r) == PGRES_TUPLES_OK)
        for (int i = 0; i < PQntuples(r); ++i) rows.push_back(PQgetvalue(r, i, 0));
      PQclear(r);
    }
    PQfinish(c);
    return rows;
  }

 private:
  bool PickUser(std::string& why) {
    const char* name = "nobody";
    passwd* pw = ::getpwnam(name);
    if (!pw) {
      name = "ardentix-pg";
      pw = ::getpwnam(name);
      if (!pw && std::system("useradd --system --no-create-home --shell /usr/sbin/nologin ardentix-pg") == 0)
        pw = ::getpwnam(name);
    }
    if (!pw) {
      why = "running as root and no unprivileged user to run postgres as (no \"nobody\", useradd failed)";
      return false;
    }
    uid_ = pw->pw_uid;
    gid_ = pw->pw_gid;
    drop_ = true;
    return true;
  }

  // fork and exec as the server's user, in a process group of its own,
  // output into the folder's log.
  pid_t Spawn(const std::vector<std::string>& args) const {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const std::string log = (dir_ / "server.log").string();
    const bool drop = drop_;
    const uid_t uid = uid_;
    const gid_t gid = gid_;
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::setpgid(0, 0);
      const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
      if (fd >= 0) {
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        ::close(fd);
      }
      const int devnull = ::open("/dev/null", O_RDONLY);
      if (devnull >= 0) ::dup2(devnull, 0);
      if (drop && (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)) ::_exit(126);
      // A test program that crashes takes its server with it (immediate
      // shutdown); set after the change of user, which clears it.
      ::prctl(PR_SET_PDEATHSIG, SIGQUIT);
      if (::getppid() != parent) ::_exit(125);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    return pid;
  }

  int RunAndWait(const std::vector<std::string>& args) const {
    const pid_t pid = Spawn(args);
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
  }

  std::string Log() const {
    std::ifstream in(dir_ / "server.log");
    std::stringstream text;
    text << in.rdbuf();
    std::string s = text.str();
    return s.size() > 2000 ? s.substr(s.size() - 2000) : s;
  }

  std::filesystem::path bin_;
  std::filesystem::path dir_;
  bool drop_ = false;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
  pid_t pid_ = -1;
};

}  // namespace ardentix::test
