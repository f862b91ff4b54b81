// Runs a program as a user would and captures what it prints.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace tw_test {

struct ProcessResult {
  std::string out;
  std::string err;
  int exitCode = -1;    // exit status, or -1 when ended by a signal
  int termSignal = 0;   // the signal that ended it, or 0
};

struct ProcessOptions {
  // Variables set on top of the current environment.
  std::map<std::string, std::string> env;
  // Seconds before the process is killed (a test must never hang).
  int timeoutSeconds = 60;
};

ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// A process running in the background, for tests that signal it.
class BackgroundProcess {
 public:
  BackgroundProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});
  ~BackgroundProcess();
  int pid() const { return pid_; }
  void signal(int sig);
  // Waits for the end (killing it after the timeout) and collects output.
  ProcessResult wait(int timeoutSeconds = 60);
  // Output so far (stdout).
  std::string peekOut();

 private:
  int pid_ = -1;
  int outFd_ = -1;  // anonymous files the output goes to
  int errFd_ = -1;
  bool done_ = false;
  ProcessResult result_;
};

// A fresh temporary directory, removed with its content at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
bool fileExists(const std::string& path);
std::vector<std::string> listDir(const std::string& path);

// Paths of the built programs, from the environment CTest sets.
std::string programPath(const char* envName);

}  // namespace tw_test
