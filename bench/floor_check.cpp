// The least a checksum check can cost when built to this project's rules,
// for bench_many.sh: the C++ runtime shared, Crypto++ static, SQLite opened
// at run time, a header probe and a GET on two loopback connections, the body
// through a temporary file, its SHA-256 kept in one store and one event
// appended to another, both in TARNWICK_ROOT, with journal DELETE and
// synchronous FULL: what `tarnwick /le /checksum URL` does. No options, no registry, no event source, no console
// handler, no syslog: what is left when everything the program adds to that
// is taken away. Built with TW_FLOOR_STATIC (tw_bench_floor_static), the
// C++ runtime and SQLite are linked in statically and SQLite is called
// directly: the floor without the rule that keeps them shared.
//
// Usage: TARNWICK_ROOT=DIR tw_bench_floor PORT PATH   (exit 0: checksum kept)
#include <arpa/inet.h>
#include <cryptopp/hex.h>
#include <cryptopp/sha.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

namespace {

[[noreturn]] void fail(const std::string& what) {
  std::cerr << "tw_bench_floor: " << what << "\n";
  std::exit(1);
}

#ifdef TW_FLOOR_STATIC
#define TW_ENTRY(name) &name
#else
template <typename F>
F entry(void* lib, const char* name) {
  void* p = dlsym(lib, name);
  if (p == nullptr) fail(std::string("no ") + name);
  return reinterpret_cast<F>(p);
}
#define TW_ENTRY(name) entry<decltype(&name)>(lib, #name)
#endif

struct Sqlite {
  decltype(&sqlite3_open_v2) open;
  decltype(&sqlite3_busy_timeout) busy;
  decltype(&sqlite3_exec) exec;
  decltype(&sqlite3_prepare_v2) prepare;
  decltype(&sqlite3_bind_text) bind;
  decltype(&sqlite3_step) step;
  decltype(&sqlite3_column_text) text;
  decltype(&sqlite3_finalize) finalize;
  decltype(&sqlite3_close) close;
};

// One request on its own connection ("Connection: close"); the response whole.
std::string request(int port, const char* method, const std::string& path) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (s < 0 || connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) fail("connect");
  const std::string req = std::string(method) + " " + path +
                          " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  if (send(s, req.data(), req.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(req.size())) fail("send");
  std::string response;
  char buf[65536];
  ssize_t n;
  while ((n = recv(s, buf, sizeof buf, 0)) > 0) response.append(buf, static_cast<size_t>(n));
  close(s);
  if (response.compare(0, 12, "HTTP/1.1 200") != 0) fail(std::string(method) + " did not answer 200");
  return response;
}

// Runs SQL with up to two text parameters; the first column of the last row.
std::string run(const Sqlite& q, sqlite3* db, const char* sql, const std::string* a = nullptr,
                const std::string* b = nullptr) {
  sqlite3_stmt* st = nullptr;
  if (q.prepare(db, sql, -1, &st, nullptr) != SQLITE_OK) fail(std::string("prepare: ") + sql);
  if (a != nullptr) q.bind(st, 1, a->c_str(), -1, SQLITE_STATIC);
  if (b != nullptr) q.bind(st, 2, b->c_str(), -1, SQLITE_STATIC);
  std::string first;
  int rc;
  while ((rc = q.step(st)) == SQLITE_ROW) {
    const unsigned char* t = q.text(st, 0);
    first = t != nullptr ? reinterpret_cast<const char*>(t) : "";
  }
  q.finalize(st);
  if (rc != SQLITE_DONE) fail(std::string("step: ") + sql);
  return first;
}

sqlite3* openStore(const Sqlite& q, const std::string& file, const char* schema) {
  sqlite3* db = nullptr;
  if (q.open(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK)
    fail("open " + file);
  q.busy(db, 5000);
  if (q.exec(db, "PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL", nullptr, nullptr, nullptr) !=
          SQLITE_OK ||
      q.exec(db, schema, nullptr, nullptr, nullptr) != SQLITE_OK)
    fail("schema of " + file);
  return db;
}

}  // namespace

int main(int argc, char** argv) {
  const char* root = std::getenv("TARNWICK_ROOT");
  if (argc != 3 || root == nullptr) fail("usage: TARNWICK_ROOT=DIR tw_bench_floor PORT PATH");
  const int port = std::atoi(argv[1]);
  const std::string path = argv[2], state = root;
#ifndef TW_FLOOR_STATIC
  void* lib = dlopen("libsqlite3.so.0", RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) fail("no libsqlite3.so.0");
#endif
  const Sqlite q{TW_ENTRY(sqlite3_open_v2), TW_ENTRY(sqlite3_busy_timeout), TW_ENTRY(sqlite3_exec),
                 TW_ENTRY(sqlite3_prepare_v2), TW_ENTRY(sqlite3_bind_text), TW_ENTRY(sqlite3_step),
                 TW_ENTRY(sqlite3_column_text), TW_ENTRY(sqlite3_finalize), TW_ENTRY(sqlite3_close)};

  request(port, "HEAD", path);
  const std::string response = request(port, "GET", path);
  const size_t start = response.find("\r\n\r\n");
  if (start == std::string::npos) fail("no end of headers");

  const char* tmpdir = std::getenv("TMPDIR");
  const std::string tmp = std::string(tmpdir != nullptr ? tmpdir : "/tmp") + "/floor_" +
                          std::to_string(getpid()) + ".tmp";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  const size_t size = response.size() - start - 4;
  if (fd < 0 || write(fd, response.data() + start + 4, size) != static_cast<ssize_t>(size)) fail("write");
  close(fd);
  CryptoPP::SHA256 sha;
  fd = open(tmp.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail("read");
  unsigned char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) sha.Update(buf, static_cast<size_t>(n));
  if (n < 0) fail("read");
  close(fd);
  unlink(tmp.c_str());
  unsigned char digest[CryptoPP::SHA256::DIGESTSIZE];
  sha.Final(digest);
  std::string hex;
  CryptoPP::HexEncoder(new CryptoPP::StringSink(hex)).Put(digest, sizeof digest);

  sqlite3* db = openStore(q, state + "/floor-user.db",
                          "CREATE TABLE IF NOT EXISTS vals(url TEXT PRIMARY KEY, sum TEXT)");
  const bool changed = run(q, db, "SELECT sum FROM vals WHERE url = ?1", &path) != hex;
  if (changed) {
    run(q, db, "BEGIN IMMEDIATE");
    run(q, db, "INSERT OR REPLACE INTO vals VALUES(?1, ?2)", &path, &hex);
    run(q, db, "COMMIT");
  }
  q.close(db);
  const std::string text = "The checksum of URL \"" + path + (changed ? "\" changed." : "\" did not change.");
  db = openStore(q, state + "/floor-eventlog.db",
                 "CREATE TABLE IF NOT EXISTS events(record INTEGER PRIMARY KEY, time INTEGER, text TEXT)");
  run(q, db, "BEGIN IMMEDIATE");
  run(q, db, "INSERT INTO events(time, text) VALUES(strftime('%s'), ?1)", &text);
  run(q, db, "COMMIT");
  q.close(db);
  std::cout << text << std::endl;
  return 0;
}
