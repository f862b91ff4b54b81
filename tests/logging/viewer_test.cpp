// The event viewer tarnwick-eventlog: its arguments, a damaged store, and
// the events of a writer that may not register its source. (The events of
// check runs, in each of the viewer's forms, are read in the e2e tests.)
#include <sys/stat.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "tests/logging/support.h"
#include "winsupport/CRegistry.h"

namespace {

class EventViewer : public tw_logging_test::StateDirTest {
 protected:
  tw_test::ProcessResult viewer(std::vector<std::string> args) {
    args.insert(args.begin(), TW_EVENTLOG_VIEWER_PATH);
    tw_test::ProcessOptions opts;
    opts.env = childEnv();
    return tw_test::runProcess(args, opts);
  }
};

TEST_F(EventViewer, ViewerRejectsBadArgumentsAndExplainsItself) {
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

// A writer who may not write the machine hive: nothing is registered and
// nothing printed, the event is still stored and reaches syslog, and the
// viewer shows it in the "description cannot be found" form.
TEST_F(EventViewer, UserWithoutRightsOnTheMachineHiveStillWritesEvents) {
  {
    CRegistry reg(HKEY_LOCAL_MACHINE);  // the hive exists and belongs to root
    ASSERT_TRUE(reg.createKey("SYSTEM\\CurrentControlSet\\Services\\Eventlog\\Application"));
  }
  ASSERT_EQ(::chmod(root().c_str(), 0777), 0);
  tw_logging_test::SyslogListener listener(syslogPath());
  tw_test::ProcessOptions opts;
  opts.env = childEnv();
  auto r = tw_test::runProcess({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                "--clear-groups", TW_EVENT_WRITER_PATH, "*needle*", "1", "register"},
                               opts);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  const std::string kUrl = "0";
  const std::string kSourceKey =
      "SYSTEM\\CurrentControlSet\\Services\\Eventlog\\Application\\Harrowlights";

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
  const std::string jsonOut = viewer({"--json"}).out;
  ASSERT_EQ(std::count(jsonOut.begin(), jsonOut.end(), '\n'), 1) << jsonOut;
  const auto json = nlohmann::json::parse(jsonOut);
  EXPECT_EQ(json["strings"].get<std::vector<std::string>>(),
            (std::vector<std::string>{"*needle*", kUrl}));
  const std::string message = json["message"];
  const std::string tail = "event: \r\n\r\n*needle*\r\n" + kUrl;
  ASSERT_GT(message.size(), tail.size());
  EXPECT_EQ(message.substr(message.size() - tail.size()), tail);
}

}  // namespace
