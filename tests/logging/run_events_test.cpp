// The events of check runs, read back through tarnwick-eventlog: the run is
// the real program with its page fetcher replaced by a double that copies a
// prepared file.
#include <openssl/evp.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>
#include <regex>

#include "tests/logging/support.h"
#include "winsupport/CRegistry.h"

namespace {

const std::string kUrl = "http://127.0.0.1/page";
const std::string kSourceKey =
    "SYSTEM\\CurrentControlSet\\Services\\Eventlog\\Application\\Harrowlights";

std::string sha256Hex(const std::string& data) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(data.data(), data.size(), md, &len, EVP_sha256(), nullptr);
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned int i = 0; i < len; ++i) {
    out += hex[md[i] >> 4];
    out += hex[md[i] & 15];
  }
  return out;
}

struct Expected {
  uint32_t id;
  const char* type;
  std::vector<std::string> strings;
  std::string english;
  std::string german;
};

class RunEventsTest : public tw_logging_test::StateDirTest {
 protected:
  tw_test::ProcessResult run(std::vector<std::string> args,
                             std::map<std::string, std::string> extraEnv = {},
                             std::vector<std::string> prefix = {}) {
    std::vector<std::string> argv = prefix;
    argv.push_back(TW_FAKE_TARNWICK_PATH);
    argv.insert(argv.end(), args.begin(), args.end());
    tw_test::ProcessOptions opts;
    opts.env = childEnv();
    opts.env["TW_FAKE_PAGE_FILE"] = pageFile();
    for (auto& [k, v] : extraEnv) opts.env[k] = v;
    return tw_test::runProcess(argv, opts);
  }
  tw_test::ProcessResult viewer(std::vector<std::string> args) {
    args.insert(args.begin(), TW_EVENTLOG_VIEWER_PATH);
    tw_test::ProcessOptions opts;
    opts.env = childEnv();
    return tw_test::runProcess(args, opts);
  }
  std::string pageFile() const { return root() + "/page.html"; }
  void setPage(const std::string& content) {
    tw_test::writeFile(pageFile(), content);
    ::chmod(pageFile().c_str(), 0644);
  }

  // Runs that write each event of a check run once, in this order.
  std::vector<Expected> runAllEvents() {
    const std::string page1 = "<html>a needle in a page</html>";
    const std::string page2 = "<html>nothing to see</html>";
    const std::string sum1 = sha256Hex(page1);
    const std::string sum2 = sha256Hex(page2);
    setPage(page1);
    const std::vector<std::string> args = {"/le", "/checksum", "/t", "*needle*", kUrl};
    auto r = run(args);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    r = run(args);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    setPage(page2);
    r = run(args);
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    const std::string refused =
        "No connection could be made because the target machine actively refused it.";
    r = run({"/le", kUrl}, {{"TW_FAKE_FAILURE", refused}, {"TW_FAKE_FAILURE_CODE", "10061"}});
    EXPECT_EQ(r.exitCode, 2) << r.out << r.err;

    return {
        {1010, "information", {"*needle*", kUrl},
         "Pattern \"*needle*\" was found in URL \"" + kUrl + "\".",
         "Suchmuster \"*needle*\" wurde in URL \"" + kUrl + "\" gefunden."},
        {1001, "warning", {kUrl, sum1},
         "The checksum of URL \"" + kUrl + "\" was initialized to \"" + sum1 + "\".",
         "Die Pruefsumme der URL \"" + kUrl + "\" wurde auf \"" + sum1 + "\" initialisiert."},
        {1010, "information", {"*needle*", kUrl},
         "Pattern \"*needle*\" was found in URL \"" + kUrl + "\".",
         "Suchmuster \"*needle*\" wurde in URL \"" + kUrl + "\" gefunden."},
        {1003, "information", {kUrl}, "The checksum of URL \"" + kUrl + "\" did not change.",
         "Die Pruefsumme der URL \"" + kUrl + "\" hat sich nicht geaendert."},
        {1011, "error", {"*needle*", kUrl},
         "Pattern \"*needle*\" was not found in URL \"" + kUrl + "\".",
         "Suchmuster \"*needle*\" wurde nicht in URL \"" + kUrl + "\" gefunden."},
        {1002, "warning", {kUrl, sum2},
         "The checksum of URL \"" + kUrl + "\" changed to \"" + sum2 + "\".",
         "Die Pruefsumme der URL \"" + kUrl + "\" aenderte sich auf \"" + sum2 + "\"."},
        {1000, "error", {kUrl, refused, "10061"},
         "Unable to connect to \"" + kUrl + "\" due to error \"" + refused + "\" (10061).",
         "Eine Verbindung zu \"" + kUrl + "\" konnte wegen Fehler \"" + refused +
             "\" (10061) nicht aufgebaut werden."},
    };
  }
};

// The text listing of one event, with its time left open.
std::string block(size_t record, const Expected& e, const std::string& message,
                  const std::string& time) {
  static const std::map<std::string, std::string> names = {
      {"information", "Information"}, {"warning", "Warning"}, {"error", "Error"}};
  return "Record:   " + std::to_string(record) + "\nTime:     " + time +
         "\nSource:   Harrowlights\nCategory: Tarnwick\nEvent ID: " + std::to_string(e.id) +
         "\nType:     " + names.at(e.type) + "\n" + message + "\n\n";
}

std::vector<nlohmann::ordered_json> jsonLines(const std::string& out) {
  std::vector<nlohmann::ordered_json> lines;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(nlohmann::ordered_json::parse(line));
  }
  return lines;
}

TEST_F(RunEventsTest, ViewerShowsEachEventOfTheRunInEnglishAndGerman) {
  const std::vector<Expected> expected = runAllEvents();
  auto json = viewer({"--json"});
  ASSERT_EQ(json.exitCode, 0) << json.err;
  auto lines = jsonLines(json.out);
  ASSERT_EQ(lines.size(), expected.size()) << json.out;

  auto en = viewer({});
  auto de = viewer({"--lang", "de"});
  ASSERT_EQ(en.exitCode, 0) << en.err;
  ASSERT_EQ(de.exitCode, 0) << de.err;
  std::string wantEn, wantDe;
  for (size_t i = 0; i < expected.size(); ++i) {
    const std::string time = lines[i]["time"];
    wantEn += block(i + 1, expected[i], expected[i].english, time);
    wantDe += block(i + 1, expected[i], expected[i].german, time);
  }
  EXPECT_EQ(en.out, wantEn);
  EXPECT_EQ(de.out, wantDe);
}

TEST_F(RunEventsTest, JsonFormCarriesEveryFieldInOrder) {
  const std::vector<Expected> expected = runAllEvents();
  auto r = viewer({"--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  auto lines = jsonLines(r.out);
  ASSERT_EQ(lines.size(), expected.size());
  for (size_t i = 0; i < lines.size(); ++i) {
    const auto& j = lines[i];
    std::vector<std::string> keys;
    for (auto it = j.begin(); it != j.end(); ++it) keys.push_back(it.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"record", "time", "source", "category",
                                              "event_id", "type", "strings", "message"}));
    EXPECT_EQ(j["record"], i + 1);
    EXPECT_TRUE(std::regex_match(j["time"].get<std::string>(),
                                 std::regex("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ")));
    EXPECT_EQ(j["source"], "Harrowlights");
    EXPECT_EQ(j["category"], 1);
    EXPECT_EQ(j["event_id"], expected[i].id);
    EXPECT_EQ(j["type"], expected[i].type);
    EXPECT_EQ(j["strings"].get<std::vector<std::string>>(), expected[i].strings);
    EXPECT_EQ(j["message"], expected[i].english);
  }

  // Filters: source without case, event ID.
  auto found = jsonLines(viewer({"--json", "--id", "1010", "--source", "HARROWLIGHTS"}).out);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0]["record"], 1);
  EXPECT_EQ(found[1]["record"], 3);
  EXPECT_TRUE(viewer({"--source", "Other"}).out.empty());
}

TEST_F(RunEventsTest, RunRegistersTheSourceWithItsOwnMessageFile) {
  setPage("page");
  ASSERT_EQ(run({"/le", "/t", "*page*", kUrl}).exitCode, 0);
  CRegistry reg(HKEY_LOCAL_MACHINE);
  char buf[4096] = {0};
  ASSERT_TRUE(reg.readString(kSourceKey.c_str(), "EventMessageFile", buf, sizeof buf - 1));
  EXPECT_EQ(std::string(buf), TW_FAKE_TARNWICK_PATH);
}

TEST_F(RunEventsTest, ViewerRejectsBadArgumentsAndExplainsItself) {
  auto help = viewer({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("--lang en|de"), std::string::npos);
  EXPECT_EQ(viewer({"--lang", "fr"}).exitCode, 2);
  EXPECT_EQ(viewer({"--id", "12x"}).exitCode, 2);
  EXPECT_EQ(viewer({"--bogus"}).exitCode, 2);
  auto empty = viewer({});
  EXPECT_EQ(empty.exitCode, 0);
  EXPECT_TRUE(empty.out.empty());
  tw_test::writeFile(root() + "/eventlog.db", std::string(2048, 'x'));
  auto damaged = viewer({});
  EXPECT_EQ(damaged.exitCode, 1);
  EXPECT_NE(damaged.err.find("cannot read the event log"), std::string::npos) << damaged.err;
}

// A user who may not write the machine hive: nothing is registered and
// nothing printed, the event is still stored and reaches syslog, and the
// viewer shows it in the "description cannot be found" form.
TEST_F(RunEventsTest, UserWithoutRightsOnTheMachineHiveStillWritesEvents) {
  {
    CRegistry reg(HKEY_LOCAL_MACHINE);  // the hive exists and belongs to root
    ASSERT_TRUE(reg.createKey("SYSTEM\\CurrentControlSet\\Services\\Eventlog\\Application"));
  }
  ASSERT_EQ(::chmod(root().c_str(), 0777), 0);
  setPage("a needle");
  tw_logging_test::SyslogListener listener(syslogPath());
  auto r = run({"/le", "/t", "*needle*", kUrl}, {},
               {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");

  CRegistry reg(HKEY_LOCAL_MACHINE);
  EXPECT_FALSE(reg.keyExists(kSourceKey.c_str()));
  const std::string line = listener.receive();
  EXPECT_NE(line.find("Harrowlights["), std::string::npos) << line;
  EXPECT_NE(line.find("]: Pattern \"*needle*\" was found in URL \"" + kUrl + "\"."),
            std::string::npos)
      << line;

  const std::string strings = "*needle*\n" + kUrl + "\n";
  auto en = viewer({});
  EXPECT_NE(en.out.find("Event ID: 1010\nType:     Information\n"
                        "The description for Event ID 1010 from source Harrowlights cannot be "
                        "found. Either the component that raises this event is not installed on "
                        "your local computer or the installation is corrupted. You can install "
                        "or repair the component on the local computer.\n\nIf the event "
                        "originated on another computer, the display information had to be "
                        "saved with the event.\n\nThe following information was included with "
                        "the event: \n\n" +
                        strings + "\n"),
            std::string::npos)
      << en.out;
  EXPECT_NE(en.out.find("Category: (1)\n"), std::string::npos) << en.out;
  auto de = viewer({"--lang", "de"});
  EXPECT_NE(de.out.find("Die Beschreibung f\u00fcr Ereignis-ID 1010 aus Quelle Harrowlights "
                        "wurde nicht gefunden."),
            std::string::npos)
      << de.out;
  EXPECT_NE(de.out.find("gespeichert: \n\n" + strings), std::string::npos) << de.out;
  auto json = jsonLines(viewer({"--json"}).out);
  ASSERT_EQ(json.size(), 1u);
  EXPECT_EQ(json[0]["strings"].get<std::vector<std::string>>(),
            (std::vector<std::string>{"*needle*", kUrl}));
  const std::string message = json[0]["message"];
  const std::string tail = "event: \r\n\r\n*needle*\r\n" + kUrl;
  ASSERT_GT(message.size(), tail.size());
  EXPECT_EQ(message.substr(message.size() - tail.size()), tail);
}

}  // namespace
