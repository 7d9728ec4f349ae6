#pragma once
// A python3 program as a peer on loopback: it prints its port on its first
// line, and is killed when the peer object goes.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace testsupport {

class PythonPeer {
 public:
  PythonPeer(const char* program, const std::vector<std::string>& args) {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], 1);
      close(fds[0]);
      std::vector<std::string> argv = {"python3", "-c", program};
      argv.insert(argv.end(), args.begin(), args.end());
      std::vector<char*> a;
      for (auto& s : argv) a.push_back(s.data());
      a.push_back(nullptr);
      // Debian's python3 first: a version manager's shim costs a second a start.
      execv("/usr/bin/python3", a.data());
      execvp("python3", a.data());
      _exit(127);
    }
    close(fds[1]);
    char buf[32] = "";
    FILE* f = fdopen(fds[0], "r");
    if (f && fgets(buf, sizeof buf, f)) port_ = atoi(buf);
    if (f) fclose(f);
  }
  ~PythonPeer() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  PythonPeer(const PythonPeer&) = delete;
  PythonPeer& operator=(const PythonPeer&) = delete;
  int port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace testsupport
