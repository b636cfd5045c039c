// Runs the tarnlink tool as a user would: a child process with its own
// standard input, output and error, read with deadlines and always reaped.
#ifndef TARNLINK_TESTS_CLI_PROCESS_H_
#define TARNLINK_TESTS_CLI_PROCESS_H_

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace tarnlink::test {

class Process {
 public:
  using Clock = std::chrono::steady_clock;

  // Starts `args` (args[0] is the program path). Standard input is a pipe
  // (closed with CloseStdin), output and error are captured.
  explicit Process(const std::vector<std::string>& args) {
    int in[2], out[2], err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], STDIN_FILENO);
      dup2(out[1], STDOUT_FILENO);
      dup2(err[1], STDERR_FILENO);
      for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
      std::vector<char*> argv;
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    stdin_ = in[1];
    stdout_ = out[0];
    stderr_ = err[0];
    fcntl(stdout_, F_SETFL, O_NONBLOCK);
    fcntl(stderr_, F_SETFL, O_NONBLOCK);
  }

  ~Process() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      int status = 0;
      waitpid(pid_, &status, 0);
    }
    for (int fd : {stdin_, stdout_, stderr_}) {
      if (fd >= 0) close(fd);
    }
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  bool started() const { return pid_ > 0; }
  void Signal(int sig) const {
    if (pid_ > 0 && !exited_) kill(pid_, sig);
  }
  bool WriteStdin(const std::string& text) const {
    return stdin_ >= 0 && write(stdin_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  }
  void CloseStdin() {
    if (stdin_ >= 0) close(stdin_);
    stdin_ = -1;
  }
  // Stops reading standard output and closes it, as `| head` does once it has its lines.
  void CloseStdout() {
    if (stdout_ >= 0) close(stdout_);
    stdout_ = -1;
    stdout_eof_ = true;
  }

  // Reads until pred(stdout so far) holds, the output ends or the deadline.
  bool WaitForOutput(const std::function<bool(const std::string&)>& pred, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      if (pred(out_)) return true;
      if (!Pump(deadline)) return pred(out_);
    }
  }
  bool WaitForLine(const std::string& needle, std::chrono::milliseconds timeout) {
    return WaitForOutput([&](const std::string& s) { return s.find(needle) != std::string::npos; }, timeout);
  }

  // Waits for the exit, reading everything; -1 (after SIGKILL) at the deadline.
  int Wait(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!exited_) {
      int status = 0;
      const pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        exited_ = true;
        code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      if (Clock::now() >= deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        exited_ = true;
        code_ = -1;
        break;
      }
      Pump(std::min(deadline, Clock::now() + std::chrono::milliseconds(20)));
    }
    // Whatever is still in the pipes.
    while (Pump(Clock::now() + std::chrono::milliseconds(50))) {
    }
    return code_;
  }

  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }

 private:
  // Reads what is there (waiting until the deadline for something); false
  // once both pipes are at their end or the deadline passed with nothing.
  bool Pump(Clock::time_point deadline) {
    if (stdout_eof_ && stderr_eof_) return false;
    // A pipe at its end is left out (negative descriptors are ignored).
    pollfd fds[2] = {{stdout_eof_ ? -1 : stdout_, POLLIN, 0}, {stderr_eof_ ? -1 : stderr_, POLLIN, 0}};
    const int nfds = 2;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (poll(fds, nfds, left > 0 ? static_cast<int>(left) : 0) <= 0) return false;
    bool any = false;
    char buf[4096];
    for (int i = 0; i < nfds; ++i) {
      if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
      const ssize_t n = read(fds[i].fd, buf, sizeof(buf));
      if (n > 0) {
        (i == 0 ? out_ : err_).append(buf, static_cast<size_t>(n));
        any = true;
      } else if (n == 0) {
        (i == 0 ? stdout_eof_ : stderr_eof_) = true;
      }
    }
    return any || !(stdout_eof_ && stderr_eof_);
  }

  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  int stderr_ = -1;
  bool stdout_eof_ = false;
  bool stderr_eof_ = false;
  bool exited_ = false;
  int code_ = -1;
  std::string out_;
  std::string err_;
};

}  // namespace tarnlink::test

#endif  // TARNLINK_TESTS_CLI_PROCESS_H_
