// tarnwick-reg as a user runs it, and hives an unprivileged user cannot write.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/registry/registry_env.h"

namespace {

class RegTool : public RegistryEnv {
 protected:
  tw_test::ProcessResult reg(std::vector<std::string> args) {
    args.insert(args.begin(), tw_test::programPath("TARNWICK_REG"));
    tw_test::ProcessOptions opts;
    opts.env["TARNWICK_ROOT"] = dir.path();
    opts.env["TMPDIR"] = dir.path();
    return tw_test::runProcess(args, opts);
  }
  tw_test::ProcessResult regAsNobody(std::vector<std::string> args) {
    args.insert(args.begin(), tw_test::programPath("TARNWICK_REG"));
    return runAsNobody(args, dir.path());
  }
};

TEST_F(RegTool, HelpAndUsageErrors) {
  auto help = reg({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("Usage: tarnwick-reg query"), std::string::npos);
  EXPECT_NE(help.out.find("TARNWICK_ROOT"), std::string::npos);
  auto bad = reg({"query", "HKXX\\Software"});
  EXPECT_EQ(bad.exitCode, 2);
  EXPECT_NE(bad.err.find("HKCU or HKLM"), std::string::npos);
  EXPECT_EQ(reg({"frobnicate", "HKCU\\Software"}).exitCode, 2);
  EXPECT_EQ(reg({"add", "HKCU\\S", "--value", "d", "--type", "REG_DWORD", "--data", "12x"}).exitCode,
            2);
  EXPECT_FALSE(tw_test::fileExists(userHive()));
}

TEST_F(RegTool, AddQueryDeleteRoundTrip) {
  ASSERT_EQ(reg({"add", "HKCU\\Software\\velmora.net\\Loomcraft\\Tarnwick", "--value",
                 "http://h/", "--data", "ABCDEF"})
                .exitCode,
            0);
  ASSERT_EQ(reg({"add", "HKLM\\SYSTEM\\Settings", "--value", "Auto", "--type", "REG_DWORD",
                 "--data", "0x2a"})
                .exitCode,
            0);
  ASSERT_EQ(reg({"add", "HKLM\\SYSTEM\\Settings", "--value", "Blob", "--type", "REG_BINARY",
                 "--data", "00ff10"})
                .exitCode,
            0);

  auto one = reg({"query", "HKCU\\software\\VELMORA.NET\\loomcraft\\tarnwick", "--value",
                  "http://h/", "--data-only"});
  EXPECT_EQ(one.exitCode, 0);
  EXPECT_EQ(one.out, "ABCDEF\n");
  auto all = reg({"query", "HKLM\\SYSTEM\\Settings"});
  EXPECT_EQ(all.exitCode, 0);
  EXPECT_EQ(all.out,
            "HKEY_LOCAL_MACHINE\\SYSTEM\\Settings\n"
            "    Auto    REG_DWORD    0x2a\n"
            "    Blob    REG_BINARY    00FF10\n");
  auto parent = reg({"query", "HKCU\\Software\\velmora.net"});
  EXPECT_EQ(parent.out,
            "HKEY_CURRENT_USER\\Software\\velmora.net\n"
            "HKEY_CURRENT_USER\\Software\\velmora.net\\Loomcraft\n");

  EXPECT_EQ(reg({"delete", "HKLM\\SYSTEM\\Settings", "--value", "Auto"}).exitCode, 0);
  auto gone = reg({"query", "HKLM\\SYSTEM\\Settings", "--value", "Auto"});
  EXPECT_EQ(gone.exitCode, 1);
  EXPECT_NE(gone.err.find("The system cannot find the file specified."), std::string::npos);

  EXPECT_EQ(reg({"delete", "HKCU\\Software\\velmora.net"}).exitCode, 0);  // with its subtree
  EXPECT_EQ(reg({"query", "HKCU\\Software\\velmora.net\\Loomcraft"}).exitCode, 1);
  EXPECT_EQ(reg({"query", "HKCU\\Software"}).out, "HKEY_CURRENT_USER\\Software\n");
}

TEST_F(RegTool, ANonDatabaseHiveIsReportedNotTouched) {
  tw_test::writeFile(userHive(), "not a database\n");
  auto r = reg({"add", "HKCU\\Software\\X", "--value", "v", "--data", "1"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.termSignal, 0);
  EXPECT_NE(r.err.find("The configuration registry database is corrupt."), std::string::npos);
  EXPECT_EQ(tw_test::readFile(userHive()), "not a database\n");
}

TEST_F(RegTool, UnprivilegedUserReadsButCannotWriteSomeoneElsesHive) {
  ASSERT_EQ(reg({"add", "HKCU\\Software\\Shared", "--value", "v", "--data", "root's"}).exitCode, 0);
  openDirectoryToAll();
  ASSERT_EQ(chmod(userHive().c_str(), 0644), 0);
  const std::string before = tw_test::readFile(userHive());

  auto read = regAsNobody({"query", "HKCU\\Software\\Shared", "--value", "v", "--data-only"});
  EXPECT_EQ(read.exitCode, 0) << read.err;
  EXPECT_EQ(read.out, "root's\n");

  auto write = regAsNobody({"add", "HKCU\\Software\\Shared", "--value", "v", "--data", "mine"});
  EXPECT_EQ(write.exitCode, 1);
  EXPECT_NE(write.err.find("Access is denied."), std::string::npos) << write.err;
  auto create = regAsNobody({"add", "HKCU\\Software\\New"});
  EXPECT_EQ(create.exitCode, 1);
  EXPECT_NE(create.err.find("Access is denied."), std::string::npos) << create.err;
  auto del = regAsNobody({"delete", "HKCU\\Software\\Shared"});
  EXPECT_EQ(del.exitCode, 1);
  EXPECT_EQ(tw_test::readFile(userHive()), before);
}

TEST_F(RegTool, UnprivilegedUserCannotReadAClosedHive) {
  ASSERT_EQ(reg({"add", "HKCU\\Software\\Private", "--value", "v", "--data", "x"}).exitCode, 0);
  openDirectoryToAll();
  ASSERT_EQ(chmod(userHive().c_str(), 0600), 0);
  auto read = regAsNobody({"query", "HKCU\\Software\\Private"});
  EXPECT_EQ(read.exitCode, 1);
  EXPECT_NE(read.err.find("Access is denied."), std::string::npos) << read.err;
}

TEST_F(RegTool, UnprivilegedUserCannotCreateAHiveInAForeignDirectory) {
  openDirectoryToAll();  // readable, not writable, no hive yet
  auto read = regAsNobody({"query", "HKCU\\Software"});
  EXPECT_EQ(read.exitCode, 1);
  EXPECT_NE(read.err.find("The system cannot find the file specified."), std::string::npos);
  auto write = regAsNobody({"add", "HKCU\\Software\\X", "--value", "v", "--data", "1"});
  EXPECT_EQ(write.exitCode, 1);
  EXPECT_NE(write.err.find("Access is denied."), std::string::npos) << write.err;
  EXPECT_FALSE(tw_test::fileExists(userHive()));
}

}  // namespace
