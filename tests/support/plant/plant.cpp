// tw_plant KIND OWNER DATA PROGRAM [ARG...]: puts an object of KIND (file:
// a regular file holding DATA; link: a symbolic link to DATA; fifo: a FIFO)
// owned by uid OWNER at each temporary page-file name tarnwick would use
// from this process in the next ten seconds ($TMPDIR/tarnwick_<s>_<pid>.tmp),
// then executes PROGRAM, which keeps the pid and so meets those names.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

int main(int argc, char** argv) {
  if (argc < 5) return 127;
  const std::string kind = argv[1], data = argv[3];
  const uid_t owner = static_cast<uid_t>(std::atoi(argv[2]));
  const char* tmp = std::getenv("TMPDIR");
  const std::string dir = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  const time_t now = std::time(nullptr);
  for (time_t t = now; t < now + 10; ++t) {
    const std::string name =
        dir + "/tarnwick_" + std::to_string(t) + "_" + std::to_string(getpid()) + ".tmp";
    int rc = -1;
    if (kind == "file") {
      const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
      rc = fd >= 0 && write(fd, data.data(), data.size()) == ssize_t(data.size()) ? 0 : -1;
      if (fd >= 0) close(fd);
    } else if (kind == "link") {
      rc = symlink(data.c_str(), name.c_str());
    } else if (kind == "fifo") {
      rc = mkfifo(name.c_str(), 0666);
    }
    if (rc != 0 || lchown(name.c_str(), owner, owner) != 0) {
      std::perror(name.c_str());
      return 127;
    }
  }
  execv(argv[4], argv + 4);
  std::perror(argv[4]);
  return 127;
}
