#pragma once
// A private MariaDB server for tests: its own data directory made by
// mariadb-install-db in a temporary folder, its own socket and a free port
// on 127.0.0.1 (never 3306 nor the system socket), started with
// --no-defaults so no configuration of the machine counts, and stopped by
// its process id. Restartable on the same data, for reconnect tests.
//
//   static testsupport::MariaDbServer* server;   // one per test suite
//   if (!testsupport::MariaDbServer::Installed(&why)) GTEST_SKIP() << why;
//   ASSERT_TRUE(server->Start()) << server->Error();
//   connect to 127.0.0.1:server->Port() (or server->Socket()) as
//   server->User() / server->Password(), database server->Database().
//
// Header only: a test program includes it and links nothing more.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/free_port.h"
#include "tests/support/tempdir.h"

extern char** environ;

namespace testsupport {

class MariaDbServer {
 public:
  MariaDbServer() = default;
  ~MariaDbServer() { Stop(); }
  MariaDbServer(const MariaDbServer&) = delete;
  MariaDbServer& operator=(const MariaDbServer&) = delete;

  // The server and install programs, or why a test must be skipped.
  static bool Installed(std::string* why = nullptr) {
    for (const char* name : {"mariadbd", "mariadb-install-db"}) {
      if (Which(name).empty()) {
        if (why) *why = std::string("MariaDB server not installed: ") + name + " not found (scripts/deps)";
        return false;
      }
    }
    return true;
  }

  // Makes the data directory on the first call, then starts the server and
  // waits (up to a minute) until it answers on its port and socket. Again after Stop
  // or Kill: the same data, the same port.
  bool Start() {
    if (pid_ > 0) return true;
    if (!Installed(&error_)) return false;
    if (dir_.path().empty()) return Fail("no temporary directory");
    if (!installed_) {
      if (!Install()) return false;
      installed_ = true;
    }
    if (port_ == 0) port_ = FreeTcpPort();
    if (port_ == 0) return Fail("no free port");
    ::unlink(Socket().c_str());
    std::vector<std::string> args = {Which("mariadbd"),
                                     "--no-defaults",
                                     "--datadir=" + dir_ / "data",
                                     "--socket=" + Socket(),
                                     "--port=" + std::to_string(port_),
                                     "--bind-address=127.0.0.1",
                                     "--pid-file=" + dir_ / "mariadbd.pid",
                                     "--log-error=" + dir_ / "error.log",
                                     "--init-file=" + dir_ / "init.sql",
                                     "--tmpdir=" + dir_.path(),
                                     "--skip-log-bin",
                                     "--skip-name-resolve",
                                     "--performance-schema=OFF",
                                     "--innodb-buffer-pool-size=16M",
                                     "--innodb-lock-wait-timeout=1",
                                     "--max-connections=200"};
    if (::geteuid() == 0) args.push_back("--user=root");
    pid_ = Spawn(args, dir_ / "mariadbd.out");
    if (pid_ <= 0) return Fail("cannot start mariadbd");
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < end) {
      if (Exited()) return Fail("mariadbd ended at start:\n" + Tail(dir_ / "error.log"));
      if (Answers() && InitDone()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    Stop();
    return Fail("mariadbd did not answer within a minute:\n" + Tail(dir_ / "error.log"));
  }

  // Orderly shutdown (SIGTERM), SIGKILL when it takes over a minute.
  void Stop() { End(SIGTERM); }
  // The server dies at once, as a crash would leave it.
  void Kill() { End(SIGKILL); }
  bool Restart() {
    Stop();
    return Start();
  }
  bool Running() const { return pid_ > 0; }

  int Port() const { return port_; }
  // The port to listen on, chosen before the first Start (for a client
  // that reads its port from the environment once per process).
  void UsePort(int port) {
    if (pid_ <= 0) port_ = port;
  }
  std::string Socket() const { return dir_ / "mysqld.sock"; }
  std::string Host() const { return "127.0.0.1"; }
  std::string User() const { return "rodiz"; }
  std::string Password() const { return "rodiz"; }
  std::string Database() const { return "rodiz"; }
  pid_t Pid() const { return pid_; }
  const std::string& Error() const { return error_; }
  std::string ErrorLog() const { return Tail(dir_ / "error.log"); }

  // Runs SQL with the mariadb client over the socket (set-up and checks):
  // the client's output, and ok false when it failed.
  std::string Sql(const std::string& sql, bool* ok = nullptr, const std::string& database = "") const {
    const std::string client = Which("mariadb");
    const std::string out = dir_ / "client.out";
    int rc = -1;
    if (!client.empty() && pid_ > 0) {
      std::vector<std::string> args = {client,      "--no-defaults",  "--socket=" + Socket(), "-u" + User(),
                                       "-p" + Password(), "--batch", "--skip-column-names", "-e", sql};
      if (!database.empty()) args.push_back(database);
      const pid_t p = Spawn(args, out);
      int st = 0;
      if (p > 0 && ::waitpid(p, &st, 0) == p && WIFEXITED(st)) rc = WEXITSTATUS(st);
    }
    if (ok) *ok = rc == 0;
    return ReadFile(out);
  }

  // A port nobody holds now, outside the kernel's ephemeral range.
  static int FreeTcpPort() { return FreePort(); }

 private:
  bool Fail(const std::string& why) {
    error_ = why;
    return false;
  }

  bool Install() {
    // Runs at every start: the test account and database, and a marker
    // table telling that the file ran.
    WriteFile(dir_ / "init.sql",
              "CREATE USER IF NOT EXISTS 'rodiz'@'%' IDENTIFIED BY 'rodiz';\n"
              "CREATE USER IF NOT EXISTS 'rodiz'@'localhost' IDENTIFIED BY 'rodiz';\n"
              "GRANT ALL ON *.* TO 'rodiz'@'%';\n"
              "GRANT ALL ON *.* TO 'rodiz'@'localhost';\n"
              "CREATE DATABASE IF NOT EXISTS rodiz;\n"
              "CREATE DATABASE IF NOT EXISTS rodiz_ready;\n");
    std::vector<std::string> args = {Which("mariadb-install-db"), "--no-defaults", "--datadir=" + dir_ / "data",
                                     "--auth-root-authentication-method=normal", "--skip-test-db",
                                     // Bootstraps running side by side must not share /tmp tables.
                                     "--tmpdir=" + dir_.path()};
    if (::geteuid() == 0) args.push_back("--user=root");
    const pid_t p = Spawn(args, dir_ / "install.out");
    int st = 0;
    if (p <= 0 || ::waitpid(p, &st, 0) != p || !WIFEXITED(st) || WEXITSTATUS(st) != 0)
      return Fail("mariadb-install-db failed:\n" + Tail(dir_ / "install.out"));
    return true;
  }

  void End(int sig) {
    if (pid_ <= 0) return;
    ::kill(pid_, sig);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
      int st = 0;
      const pid_t r = ::waitpid(pid_, &st, WNOHANG);
      if (r == pid_ || r < 0) break;
      if (std::chrono::steady_clock::now() >= end) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &st, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid_ = -1;
  }

  bool Exited() {
    int st = 0;
    if (::waitpid(pid_, &st, WNOHANG) == pid_) {
      pid_ = -1;
      return true;
    }
    return false;
  }

  // Answering is greeting on the socket the client uses and on the port, not
  // only listening: the port listens before the socket file exists, and a
  // connection waits unanswered until the start (the init file) is over.
  bool Answers() const {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    in.sin_port = htons(static_cast<uint16_t>(port_));
    sockaddr_un un{};
    un.sun_family = AF_UNIX;
    const std::string path = Socket();
    if (path.size() >= sizeof un.sun_path) return false;
    std::memcpy(un.sun_path, path.c_str(), path.size() + 1);
    return Greets(reinterpret_cast<const sockaddr*>(&in), sizeof in) &&
           Greets(reinterpret_cast<const sockaddr*>(&un), sizeof un);
  }

  // The server's first bytes arrive on a new connection.
  static bool Greets(const sockaddr* a, socklen_t len) {
    const int fd = ::socket(a->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool ok = ::connect(fd, a, len) == 0;
    if (ok) {
      pollfd p{fd, POLLIN, 0};
      char c = 0;
      ok = ::poll(&p, 1, 2000) == 1 && ::recv(fd, &c, 1, 0) == 1;
    }
    ::close(fd);
    return ok;
  }

  // The init file has run when its last database exists.
  bool InitDone() const {
    struct stat st {};
    return ::stat((dir_ / "data/rodiz_ready").c_str(), &st) == 0;
  }

  static std::string Which(const std::string& name) {
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    path += ":/usr/sbin:/usr/local/sbin:/sbin";
    std::stringstream ss(path);
    std::string d;
    while (std::getline(ss, d, ':')) {
      if (d.empty()) continue;
      const std::string f = d + "/" + name;
      if (::access(f.c_str(), X_OK) == 0) return f;
    }
    return "";
  }

  // The program with stdout and stderr in outFile, stdin from /dev/null.
  static pid_t Spawn(const std::vector<std::string>& args, const std::string& outFile) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
  }

  static std::string Tail(const std::string& file) {
    const std::string all = ReadFile(file);
    return all.size() > 2000 ? all.substr(all.size() - 2000) : all;
  }

  TempDir dir_;
  bool installed_ = false;
  pid_t pid_ = -1;
  int port_ = 0;
  std::string error_;
};

}  // namespace testsupport
