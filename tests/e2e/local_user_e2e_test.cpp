// Another local user against a check, run as root and as nobody: objects
// planted at the page file's predictable names, what a running check shows
// of itself, and a page that does not fit the temporary folder.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include "tests/support/runs.h"

using tw_test::PeerStep;
namespace line = tw_test::line;

namespace {

const std::vector<std::string> kAsNobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                            "--clear-groups"};
const std::string kHead = "HTTP/1.1 200 OK\r\nAccept-Ranges: bytes\r\nContent-Length: ";

tw_test::PeerScript answer(const std::string& reply, int stallMs = 0) {
  return {PeerStep::waitFor("\r\n\r\n"), PeerStep::send(reply), PeerStep::delay(stallMs),
          PeerStep::close()};
}

// A temporary folder shared like /tmp (sticky, open to all) and a state
// directory of the user the check runs as.
struct SharedDirs {
  explicit SharedDirs(bool asNobody) {
    const uid_t id = asNobody ? 65534 : 0;
    EXPECT_EQ(chmod(top.path().c_str(), 0755) | mkdir(state.c_str(), 0700) |
                  chown(state.c_str(), id, id) | mkdir(tmp.c_str(), 0) | chmod(tmp.c_str(), 01777),
              0);
  }
  tw_test::ProcessOptions options() const {
    return {.env = {{"TARNWICK_ROOT", state}, {"TMPDIR", tmp}, {"HOME", state}}};
  }
  tw_test::TempDir top;
  const std::string state = top.file("state"), tmp = top.file("tmp");
};

template <typename T>
std::vector<T> concat(std::vector<T> a, const std::vector<T>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Another user's regular file (as long as the page: once taken for a
// complete download), link (to a file only its owner may read) and FIFO
// (once a hang) at each page-file name of the next seconds.
TEST(LocalUser, ObjectsAtThePageFileNameFailTheCheckAndStayUntouched) {
  const std::map<std::string, mode_t> kinds = {
      {"file", S_IFREG}, {"link", S_IFLNK}, {"fifo", S_IFIFO}};
  for (const bool asNobody : {false, true}) {
    for (const auto& [kind, type] : kinds) {
      SCOPED_TRACE(kind + (asNobody ? " as nobody" : " as root"));
      SharedDirs dirs(asNobody);
      const std::string victim = dirs.top.file("victim"), forged = "forged";
      tw_test::writeFile(victim, "precious");
      tw_test::ScriptedPeer peer(std::vector<tw_test::PeerScript>(2, answer(kHead + "6\r\n\r\n")));
      const std::string u = tw_test::urlOf(peer);
      std::vector<std::string> argv = {tw_test::programPath("TW_PLANT_BIN"), kind,
                                       asNobody ? "0" : "65534", kind == "link" ? victim : forged};
      if (asNobody) argv = concat(argv, kAsNobody);
      argv =
          concat<std::string>(argv, {tw_test::programPath("TARNWICK_BIN"), "/lc", "/checksum", u});
      const auto r = tw_test::runProcess(argv, dirs.options());
      EXPECT_EQ(r.out, line::failure(u, "The file exists.", 80)) << r.err;
      EXPECT_EQ(r.exitCode, 2);
      for (size_t i = 0; i < peer.connectionCount(); ++i) {
        EXPECT_EQ(peer.received(i).find("GET "), std::string::npos);
      }
      EXPECT_TRUE(tw_test::storedChecksums(dirs.state).empty());
      EXPECT_EQ(tw_test::readFile(victim), "precious");
      const auto planted = tw_test::listDir(dirs.tmp);
      EXPECT_EQ(planted.size(), 10u);
      for (const std::string& name : planted) {
        struct stat st;
        ASSERT_EQ(lstat((dirs.tmp + "/" + name).c_str(), &st), 0);
        EXPECT_EQ(std::make_pair(st.st_uid, st.st_mode & S_IFMT),
                  std::make_pair(asNobody ? 0u : 65534u, type));
        if (type == S_IFREG) {
          EXPECT_EQ(tw_test::readFile(dirs.tmp + "/" + name), forged);
        }
      }
    }
  }
}

// A check as nobody whose server stalls the GET: its page file is its own,
// mode 0600; its command line shows no password; it is not dumpable (its
// /proc entries belong to root).
TEST(LocalUser, ARunningCheckKeepsItsPageFileAndPasswordsPrivate) {
  SharedDirs dirs(true);
  tw_test::ScriptedPeer peer({answer(kHead + "5\r\n\r\n"), answer(kHead + "5\r\n\r\n", 30000)});
  tw_test::BackgroundProcess p(
      concat<std::string>(
          kAsNobody, {tw_test::programPath("TARNWICK_BIN"), "/lc", "/u", "user", "/p", "Secret-1",
                      "/proxypass", "Secret-2", tw_test::urlOf(peer)}),
      dirs.options());
  ASSERT_TRUE(peer.waitReceived(1, 4, 20000));
  const std::string proc = "/proc/" + std::to_string(p.pid());
  const std::string cmdline = tw_test::readFile(proc + "/cmdline");
  EXPECT_EQ(cmdline.find("Secret"), std::string::npos) << cmdline;
  EXPECT_NE(cmdline.find(std::string("/p\0********\0/proxypass", 23)), std::string::npos);
  EXPECT_NE(tw_test::readFile(proc + "/status").find("Uid:\t65534\t65534"), std::string::npos);
  struct stat st;
  ASSERT_EQ(stat((proc + "/environ").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  const auto files = tw_test::listDir(dirs.tmp);
  ASSERT_EQ(files.size(), 1u);
  ASSERT_EQ(stat((dirs.tmp + "/" + files[0]).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_uid, 65534u);
  p.signal(SIGTERM);
  EXPECT_EQ(p.wait(20).termSignal, SIGTERM);
}

// A 280 KB page and a 100 KiB tmpfs as TMPDIR (in a mount namespace of the
// check's own): the check fails and stores nothing, so the next run on a
// roomy TMPDIR finds the stored checksum unchanged.
TEST(LocalUser, APageThatDoesNotFitTheTemporaryFolderStoresNothing) {
  SharedDirs dirs(false);
  const std::string page(280000, 'p'), head = kHead + "280000\r\n\r\n",
                                       small = dirs.top.file("small");
  ASSERT_EQ(mkdir(small.c_str(), 0700), 0);
  std::vector<tw_test::PeerScript> scripts;
  for (int run = 0; run < 3; ++run) {
    scripts.insert(scripts.end(), {answer(head), answer(head + page)});
  }
  tw_test::ScriptedPeer peer(scripts);
  const std::string u = tw_test::urlOf(peer), full = "There is not enough space on the disk.";
  const auto check = [&](bool inSmall) {
    std::vector<std::string> argv = {tw_test::programPath("TARNWICK_BIN"), "/lc", "/le",
                                     "/checksum", u};
    tw_test::ProcessOptions options = dirs.options();
    if (!inSmall) return tw_test::runProcess(argv, options);
    options.env["TMPDIR"] = small;
    return tw_test::runProcess(
        concat<std::string>(
            {"/usr/bin/unshare", "-m", "--propagation", "private", "sh", "-c",
             "mount -t tmpfs -o size=100k tmpfs \"$0\" || exit 77; exec \"$@\"", small},
            argv),
        options);
  };
  EXPECT_EQ(check(false).out, line::initialized);
  const auto r = check(true);
  if (r.exitCode == 77) GTEST_SKIP() << "no private tmpfs mount here: " << r.err;
  EXPECT_EQ(r.out, line::failure(u, full, 112)) << r.err;
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(tw_test::storedChecksums(dirs.state),
            (std::map<std::string, std::string>{{u, tw_test::sha256Hex(page)}}));
  EXPECT_EQ(check(false).out, line::equal(u));
  const auto events = tw_test::readEvents(dirs.state, {"--id", "1000"});
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["strings"].get<std::vector<std::string>>(),
            (std::vector<std::string>{u, full, "112"}));
}

}  // namespace
