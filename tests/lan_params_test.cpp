#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "core/lan.h"
#include "platform/log.h"

namespace {

std::string slurp(const std::string& p) {
  std::ifstream f(p);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

void spit(const std::string& p, const std::string& s) {
  std::ofstream f(p);
  f << s;
}

// A fresh root with stub "mount" and "sudo" that log their arguments.
class Lan : public ::testing::Test {
 protected:
  std::string root;
  void SetUp() override {
    char tmpl[] = "/tmp/zelpyx-lan-XXXXXX";
    root = mkdtemp(tmpl);
    setenv("ZELPYX_ROOT", root.c_str(), 1);
    mkdir((root + "/etc").c_str(), 0755);
    mkdir((root + "/etc/network").c_str(), 0755);
    mkdir((root + "/bin").c_str(), 0755);
    stub("mount", 0);
    stub("sudo", 0);
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + root + "'";
    (void)!system(cmd.c_str());
    unsetenv("ZELPYX_ROOT");
  }
  void stub(const std::string& name, int rc) {
    std::string p = root + "/bin/" + name;
    spit(p, "#!/bin/sh\necho \"" + name + " $*\" >> \"$ZELPYX_ROOT/calls.log\"\nexit " +
                std::to_string(rc) + "\n");
    chmod(p.c_str(), 0755);
  }
  std::string ifaces() { return root + "/etc/network/interfaces"; }
  std::string calls() { return slurp(root + "/calls.log"); }
};

const char* kSample =
    "# managed by the controller\n"
    "auto eth0\n"
    "iface eth0 inet static\n"
    "address 192.168.1.20\n"
    "netmask 255.255.255.0\n"
    "gateway 192.168.1.1\n"
    "nameserver 8.8.4.4\n";

}  // namespace

TEST_F(Lan, ReadsTheFourValuesAsTextAndBytes) {
  spit(ifaces(), kSample);
  ASSERT_EQ(ReadLanParam(), 0);
  EXPECT_STREQ(IP, "192.168.1.20");
  EXPECT_STREQ(NetMask, "255.255.255.0");
  EXPECT_STREQ(Gateway, "192.168.1.1");
  EXPECT_STREQ(DNS, "8.8.4.4");
  EXPECT_EQ(IP_v[0], 192); EXPECT_EQ(IP_v[1], 168); EXPECT_EQ(IP_v[2], 1); EXPECT_EQ(IP_v[3], 20);
  EXPECT_EQ(NetMask_v[3], 0); EXPECT_EQ(NetMask_v[0], 255);
  EXPECT_EQ(Gateway_v[3], 1);
  EXPECT_EQ(DNS_v[0], 8); EXPECT_EQ(DNS_v[3], 4);
  EXPECT_EQ(Gateway_none, 0);
  EXPECT_EQ(DNS_none, 0);
}

TEST_F(Lan, IndentedLinesCrLfAndLaterDuplicatesRead) {
  spit(ifaces(), "iface eth0 inet static\r\n    address 10.0.0.7\r\n\tnetmask 255.0.0.0\r\n"
                 "address 10.0.0.9\r\n");
  ASSERT_EQ(ReadLanParam(), 0);
  EXPECT_STREQ(IP, "10.0.0.9");  // later line wins
  EXPECT_STREQ(NetMask, "255.0.0.0");
  EXPECT_EQ(IP_v[3], 9);
  EXPECT_EQ(Gateway_none, 1);  // no gateway line
  EXPECT_EQ(DNS_none, 1);
}

TEST_F(Lan, LastLineWithoutLineEndKeepsItsLastCharacter) {
  spit(ifaces(), "address 192.168.1.27");
  ASSERT_EQ(ReadLanParam(), 0);
  EXPECT_STREQ(IP, "192.168.1.27");
  EXPECT_EQ(IP_v[3], 27);
}

TEST_F(Lan, MissingFileFailsAndKeepsTheBytes) {
  IP_v[0] = 7;
  EXPECT_EQ(ReadLanParam(), -1);
  EXPECT_EQ(IP_v[0], 7);
  EXPECT_EQ(SaveLanParam(), -1);  // the opening error again
  EXPECT_EQ(calls().find("ifdown"), std::string::npos);
}

TEST_F(Lan, SplitRejectsMoreThanFourPartsAndOutOfRangeParts) {
  uint8_t b[4] = {1, 2, 3, 4};
  EXPECT_EQ(SplitAddr("10.1.2.3.4", b), -1);
  EXPECT_EQ(SplitAddr("10.1.2.300", b), -1);
  EXPECT_EQ(SplitAddr("10.-1.2.3", b), -1);
  EXPECT_EQ(b[0], 1); EXPECT_EQ(b[3], 4);  // untouched
  EXPECT_EQ(SplitAddr("172.16.0.254", b), 0);
  EXPECT_EQ(b[0], 172); EXPECT_EQ(b[3], 254);
  char t[16];
  SplitAddrInv(t, b);
  EXPECT_STREQ(t, "172.16.0.254");
  uint8_t m[4] = {255, 255, 255, 255};
  SplitAddrInv(t, m);
  EXPECT_STREQ(t, "255.255.255.255");
}

TEST_F(Lan, AFiveByteAddressInTheFileIsRefusedAndLogged) {
  spit(ifaces(), "address 1.2.3.4.5\n");
  IP_v[0] = 9; IP_v[1] = 9; IP_v[2] = 9; IP_v[3] = 9;
  logCaptureStart();
  ASSERT_EQ(ReadLanParam(), 0);
  EXPECT_TRUE(logContains("bad ip address"));
  logCaptureStop();
  EXPECT_EQ(IP_v[0], 9); EXPECT_EQ(IP_v[3], 9);
}

TEST_F(Lan, SaveRewritesFirstColumnLinesOnlyAndRestartsTheNetwork) {
  spit(ifaces(), "auto eth0\n"
                 "iface eth0 inet static\n"
                 "address 192.168.1.20\n"
                 "   address 192.168.1.21\n"
                 "netmask 255.255.255.0\n"
                 "gateway\n"
                 "# nameserver comment stays\n");
  ASSERT_EQ(ReadLanParam(), 0);
  EXPECT_EQ(Gateway_none, 1);
  IP_v[3] = 99;
  NetMask_v[2] = 0;
  Gateway_v[0] = 10;  // edited, but still marked "none"
  ASSERT_EQ(SaveLanParam(), 0);
  EXPECT_EQ(slurp(ifaces()),
            "auto eth0\n"
            "iface eth0 inet static\n"
            "address 192.168.1.99\n"
            "   address 192.168.1.21\n"
            "netmask 255.255.0.0\n"
            "gateway \n"
            "# nameserver comment stays\n");
  std::string c = calls();
  EXPECT_NE(c.find("mount -o remount defaults,rw /\n"), std::string::npos) << c;
  EXPECT_NE(c.find("sudo ifdown --exclude=lo -a"), std::string::npos) << c;
  EXPECT_NE(c.find("sudo ifup --exclude=lo -a"), std::string::npos) << c;
  EXPECT_LT(c.find("rw /"), c.find("ifdown"));
  // The value-less gateway reads back as none.
  ASSERT_EQ(ReadLanParam(), 0);
  EXPECT_EQ(Gateway_none, 1);
}

TEST_F(Lan, SaveWritesGatewayAndDnsWhenPresentAndAddsNoLines) {
  spit(ifaces(), kSample);
  ASSERT_EQ(ReadLanParam(), 0);
  DNS_v[0] = 1; DNS_v[1] = 1; DNS_v[2] = 1; DNS_v[3] = 1;
  ASSERT_EQ(SaveLanParam(), 0);
  std::string s = slurp(ifaces());
  EXPECT_NE(s.find("\ngateway 192.168.1.1\n"), std::string::npos);
  EXPECT_NE(s.find("\nnameserver 1.1.1.1\n"), std::string::npos);
  EXPECT_EQ(s.size(), std::string(kSample).size());  // same lines, same lengths
}

TEST_F(Lan, RestartStatusIsReturned) {
  spit(ifaces(), kSample);
  ASSERT_EQ(ReadLanParam(), 0);
  stub("sudo", 1);
  EXPECT_EQ(SaveLanParam(), -1);
}

TEST_F(Lan, FailedRemountWritesNothing) {
  spit(ifaces(), kSample);
  ASSERT_EQ(ReadLanParam(), 0);
  IP_v[3] = 50;
  stub("mount", 32);
  logCaptureStart();
  EXPECT_EQ(SaveLanParam(), -1);
  EXPECT_TRUE(logContains("can't mount rw /"));
  logCaptureStop();
  EXPECT_EQ(slurp(ifaces()), kSample);
  EXPECT_EQ(calls().find("sudo"), std::string::npos);
}

TEST_F(Lan, LongFileAndLongLinesSurviveASave) {
  std::string big = kSample;
  for (int i = 0; i < 120; i++) big += "# comment line " + std::to_string(i) + " " + std::string(200, 'x') + "\n";
  big += "post-up echo done\n";
  spit(ifaces(), big);
  ASSERT_EQ(ReadLanParam(), 0);
  ASSERT_EQ(SaveLanParam(), 0);
  EXPECT_EQ(slurp(ifaces()), big);  // same values, nothing lost past line 50
}

TEST_F(Lan, OversizedFileIsNotRewritten) {
  std::string big = kSample;
  while (big.size() < 80 * 1024) big += "# padding padding padding padding padding padding\n";
  spit(ifaces(), big);
  ASSERT_EQ(ReadLanParam(), 0);
  EXPECT_STREQ(IP, "192.168.1.20");
  IP_v[3] = 77;
  EXPECT_EQ(SaveLanParam(), -1);
  EXPECT_EQ(slurp(ifaces()), big);
  EXPECT_EQ(calls().find("sudo"), std::string::npos);
  // Refusing the rewrite still puts the root back to read-only.
  EXPECT_NE(calls().find("mount -v -n -o remount -r /"), std::string::npos) << calls();
}

TEST_F(Lan, FailedWriteIsReportedAndTheNetworkNotRestarted) {
  spit(ifaces(), kSample);
  ASSERT_EQ(ReadLanParam(), 0);
  // The file turns into a directory: reading finds nothing and the
  // rename over it fails.
  unlink(ifaces().c_str());
  mkdir(ifaces().c_str(), 0755);
  EXPECT_EQ(SaveLanParam(), -1);
  EXPECT_EQ(calls().find("sudo"), std::string::npos);
  EXPECT_NE(calls().find("mount -v -n -o remount -r /"), std::string::npos) << calls();
  std::string cmd = "ls -a '" + root + "/etc/network' | grep -c tmp > /dev/null";
  EXPECT_NE(system(cmd.c_str()), 0);  // no temporary file left behind
}
