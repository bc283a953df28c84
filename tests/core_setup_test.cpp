// The setup file: the freshly created file, reading edge cases, and the
// write path under the read-only mount.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

#include "core/globals.h"
#include "core/setup.h"
#include "core/setup_keys.h"
#include "core/works.h"
#include "platform/log.h"

namespace {

std::string readFile(const std::string& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

void writeText(const std::string& p, const std::string& s) {
  std::ofstream f(p, std::ios::binary);
  f << s;
}

class SetupFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zelsetupXXXXXX";
    root_ = mkdtemp(tmpl);
    mkdir((root_ + "/opt").c_str(), 0755);
    mkdir((root_ + "/opt/set").c_str(), 0755);
    mkdir((root_ + "/bin").c_str(), 0755);
    setMount(0);
    setenv("ZELPYX_ROOT", root_.c_str(), 1);
    w_ = new Works();
    w_->setup = &rec_;
    logCaptureStart();
  }
  void TearDown() override {
    logCaptureStop();
    delete w_;
    unsetenv("ZELPYX_ROOT");
    std::string cmd = "rm -rf '" + root_ + "'";
    if (system(cmd.c_str()) != 0) ADD_FAILURE() << "cleanup";
  }
  // A mount stub that succeeds or fails and records its calls.
  void setMount(int status) {
    std::string p = root_ + "/bin/mount";
    writeText(p, "#!/bin/sh\necho \"$@\" >> \"$ZELPYX_ROOT/mount.log\"\nexit " + std::to_string(status) + "\n");
    chmod(p.c_str(), 0755);
  }
  std::string setupPath() const { return root_ + "/opt/set/setup.txt"; }

  std::string root_;
  SetupRec rec_{};
  Works* w_ = nullptr;
};

const char kFreshFile[] =
    "EnableKeyb: 1\nEnableSpi: 0\nEnableTouch: 0\nDelayedTouch: 0\nEnableGPIO: 1\n"
    "EnableRead: 0\nEnableWrite: 0\nEnableCAT: 0\nEnableLinear: 1\nEnableTime: 1\n"
    "WebSocket: 1\nPitch: 2500\nQuality: 100\nAudioIn: hw:1\nInChannels: 1\n"
    "AudioCompress: 0\nMultiplier: 2\nAudioOut: hw:1\nServer: 127.0.0.1\nTcpPort: 6666\n"
    "CatPort: /dev/ttyUSB0\nSerPort: /dev/ttyUSB1\nLinPort: /dev/ttyAMA0\nNumAntenna: 1\n"
    "EnablePwrPeak: 0\nTempMode: 0\nFreqSensIn: 0\nFreqPeriodTime: 10\nAttenuator: 0\n"
    "AttenuatorTune: 0\nSWRescAutoTune: 0\nViewTimeStr: 0\nViewTemp: 0\n"
    "MaxTemperature: 600\nMaxTemperature2: 800\nAutoTuneMaxCicli: 0\nPowerUnits: 0\n"
    "SaveScreenIdx: 0\nAutoTuneMode: 0\nEnableFFT: 0\nDivide: 0\nMaxTempAllowed: 60\n"
    "PSpar1: 1\nPSpar2: 1000\nIsteresi1: 1\nIsteresi2: 1\nPSpar3: 0\nPSpar4: 0\n"
    "OffsetPlot: 0\nCatSerialPort: /dev/ttyUSB1\nTUNEenabled: 0\nNumBanco: 1\nGMpar1: 2\n"
    "GMpar2: 100\nPeak_media: 2\nPeak_ValDec: 10\nPeak_TimeDec: 1\nPeak_Time: 3000\n"
    "MAXbank: 20\nBTN_longpress_Time: 5\nEnableDebug: 0\nEnable1600: 1\nEnableLOGTemp: 0\n"
    "AudioBuffers: 20\n";

TEST_F(SetupFile, MissingFileIsCreatedWithDefaultsByteForByte) {
  readSetup(w_);
  EXPECT_EQ(readFile(setupPath()), kFreshFile);
  EXPECT_TRUE(logContains("can't open /opt/set/setup.txt"));
  // Written inside the remount window, read-write first, read-only after.
  EXPECT_EQ(readFile(root_ + "/mount.log"),
            "-o remount defaults,rw /opt/set\n-v -n -o remount -r /opt/set\n");
  // No built-in access key: it comes from remote.txt only.
  EXPECT_STREQ(w_->accessKey, "");
  EXPECT_EQ(rec_.zelRun, '1');
  EXPECT_EQ(rec_.catSerRun, '1');
  EXPECT_EQ(rec_.spectrumSource, '1');
  EXPECT_EQ(w_->TcpPort, 6666);
  EXPECT_FLOAT_EQ(w_->MaxTemperature, 60.0f);
  // The file says "Multiplier: 2": 480-frame packets run.
  EXPECT_EQ(w_->audioFrame, 480);
  // Reading the file it wrote gives the same file back.
  readSetup(w_);
  writeSetup(w_);
  EXPECT_EQ(readFile(setupPath()), kFreshFile);
}

TEST_F(SetupFile, OneLineFileKeepsEveryOtherDefault) {
  writeText(setupPath(), "EnableLinear: 0\n");
  readSetup(w_);
  EXPECT_EQ(rec_.EnableLinear, '0');
  EXPECT_EQ(rec_.EnableKeyb, '1');
  EXPECT_EQ(rec_.WebSocket, '1');
  EXPECT_STREQ(rec_.LinPort, "/dev/ttyAMA0");
  EXPECT_EQ(w_->PSpar2, 1000);
  EXPECT_EQ(w_->MAXbank, 20);
}

TEST_F(SetupFile, ScaledValuesReadAndSaveBack) {
  writeText(setupPath(),
            "OffsetPlot: 25\nMaxTemperature: 655\nMaxTemperature2: 603\nSWRescAutoTune: 150\n"
            "Peak_ValDec: 15\nBTN_longpress_Time: 8\nMultiplier: 3\nNumAntenna: 2\n"
            "AutoTuneMode: 1\nEnable1600: 0\nTcpPort: 7000\nDivide: 4\n");
  readSetup(w_);
  EXPECT_DOUBLE_EQ(w_->OffsetPlot, 2.0);
  EXPECT_FLOAT_EQ(w_->MaxTemperature, 65.5f);
  EXPECT_FLOAT_EQ(w_->SWRescAutoTune, 1.5f);
  EXPECT_DOUBLE_EQ(PeakDecrement, 1.5);
  EXPECT_DOUBLE_EQ(TIME_LONG_PRESS, 0.8);
  EXPECT_EQ(w_->audioFrame, 720);
  EXPECT_EQ(w_->AntennaIdx, 1);
  EXPECT_EQ(w_->tuneFlags.load(), 1);
  EXPECT_EQ(rec_.Enable1600, '0');
  EXPECT_EQ(rec_.spectrumSource, '1');
  EXPECT_EQ(w_->TcpPort, 7000);
  EXPECT_EQ(w_->Divide, 4);
  EXPECT_TRUE(logContains("MaxTemperature: -655-"));
  EXPECT_TRUE(logContains("Divide: -4- -4-"));
  writeSetup(w_);
  std::string f = readFile(setupPath());
  EXPECT_NE(f.find("\nOffsetPlot: 20\n"), std::string::npos);
  EXPECT_NE(f.find("\nMaxTemperature: 655\n"), std::string::npos);
  EXPECT_NE(f.find("\nMaxTemperature2: 603\n"), std::string::npos);
  EXPECT_NE(f.find("\nSWRescAutoTune: 150\n"), std::string::npos);
  EXPECT_NE(f.find("\nPeak_ValDec: 15\n"), std::string::npos);
  EXPECT_NE(f.find("\nBTN_longpress_Time: 8\n"), std::string::npos);
  EXPECT_NE(f.find("\nNumAntenna: 2\n"), std::string::npos);
  EXPECT_NE(f.find("\nTcpPort: 7000\n"), std::string::npos);
  EXPECT_NE(f.find("\nAutoTuneMode: 1\n"), std::string::npos);
}

TEST_F(SetupFile, CrLfDuplicatesOverlongAndBadNumbers) {
  writeText(setupPath(),
            "PSpar1: 7\r\nPSpar1: 9\r\nWebSocket: 2\r\n"
            "LinPort: /dev/a-very-long-serial-port-name\n"
            "GMpar2: abc\nMAXbank: 99\nNumBanco: 45\nNumAntenna: 7\nPeak_media: -1\n"
            "UnknownKey: 5\nPitch:600\nEnableTime: \rX\nAudioIn: hw:2\r\r\n");
  readSetup(w_);
  // A run byte the file could not carry back keeps its default.
  EXPECT_EQ(rec_.EnableTime, '1');
  EXPECT_EQ(w_->PSpar1, 9);  // the later line wins
  EXPECT_EQ(rec_.WebSocket, '2');
  EXPECT_STREQ(rec_.LinPort, "/dev/a-very-");  // cut to the 13-byte field
  EXPECT_EQ(w_->GMpar2, 100);   // not a number: default kept
  EXPECT_EQ(w_->MAXbank, 20);   // out of range: default kept
  EXPECT_EQ(w_->NumBanco, 1);
  EXPECT_EQ(w_->AntennaIdx, 0);
  EXPECT_EQ(fattoremedia, 2);   // the meters divide by it plus one
  EXPECT_STREQ(rec_.Pitch, "2500");  // "Key:" without the blank is no match
  // A text cannot end in "\r": the file would not carry it back.
  EXPECT_STREQ(rec_.AudioIn, "hw:2");
}

// Every key with a value of its own, none a default and no two alike in
// the same field type, each in the form the writer gives it back.
const char kEveryKeyEdited[] =
    "EnableKeyb: 0\nEnableSpi: 1\nEnableTouch: 1\nDelayedTouch: 1\nEnableGPIO: 0\n"
    "EnableRead: 1\nEnableWrite: 1\nEnableCAT: 1\nEnableLinear: 0\nEnableTime: 0\n"
    "WebSocket: 2\nPitch: 600\nQuality: 75\nAudioIn: hw:2\nInChannels: 2\n"
    "AudioCompress: 24000\nMultiplier: 3\nAudioOut: hw:3\nServer: 10.1.2.3\nTcpPort: 7001\n"
    "CatPort: /dev/ttyS1\nSerPort: /dev/ttyS2\nLinPort: /dev/ttyS3\nNumAntenna: 2\n"
    "EnablePwrPeak: 1\nTempMode: 2\nFreqSensIn: 3\nFreqPeriodTime: 110\nAttenuator: 4\n"
    "AttenuatorTune: 5\nSWRescAutoTune: 150\nViewTimeStr: 6\nViewTemp: 7\n"
    "MaxTemperature: 655\nMaxTemperature2: 603\nAutoTuneMaxCicli: 8\nPowerUnits: 9\n"
    "SaveScreenIdx: 3\nAutoTuneMode: 1\nEnableFFT: 1\nDivide: 4\nMaxTempAllowed: 70\n"
    "PSpar1: 11\nPSpar2: 12\nIsteresi1: 4\nIsteresi2: 5\nPSpar3: 13\nPSpar4: 14\n"
    "OffsetPlot: -30\nCatSerialPort: /dev/ttyS4\nTUNEenabled: 128\nNumBanco: 6\nGMpar1: 15\n"
    "GMpar2: 16\nPeak_media: 17\nPeak_ValDec: 18\nPeak_TimeDec: 19\nPeak_Time: 2990\n"
    "MAXbank: 12\nBTN_longpress_Time: 8\nEnableDebug: 1\nEnable1600: 0\nEnableLOGTemp: 1\n"
    "AudioBuffers: 21\n";

TEST_F(SetupFile, EveryKeyReadsLogsAndSavesItsOwnValue) {
  writeText(setupPath(), kEveryKeyEdited);
  readSetup(w_);
  // The log shows each value in force, in file order: "Key: -value-", the
  // plot divider as text and number.
  std::vector<std::string> want;
  std::istringstream in(kEveryKeyEdited);
  for (std::string line; std::getline(in, line);) {
    const size_t c = line.find(": ");
    const std::string v = line.substr(c + 2);
    want.push_back(line.substr(0, c) + ": -" + v + "-" + (line.rfind("Divide:", 0) == 0 ? " -" + v + "-" : ""));
  }
  EXPECT_EQ(logCaptured(), want);
  // A few of the values in force, one of each conversion.
  EXPECT_EQ(w_->audioFrame, 720);
  EXPECT_EQ(w_->AntennaIdx, 1);
  EXPECT_STREQ(w_->Server, "10.1.2.3");
  EXPECT_EQ(w_->TcpPort, 7001);
  EXPECT_FLOAT_EQ(w_->MaxTemperature2, 60.3f);
  EXPECT_DOUBLE_EQ(w_->OffsetPlot, -3.0);
  EXPECT_EQ(TimerPeakSec, 2990);
  EXPECT_DOUBLE_EQ(TIME_LONG_PRESS, 0.8);
  EXPECT_EQ(rec_.spectrumSource, '1');
  // Saved back byte for byte: no key writes another's value.
  writeSetup(w_);
  EXPECT_EQ(readFile(setupPath()), kEveryKeyEdited);
}

// The editor's limits of every setting survive the file, and a file value
// outside the limits the reader holds to keeps the default.
TEST_F(SetupFile, EditorLimitsSurviveTheFile) {
  for (const SetupKey& k : kSetupKeys) {
    if (k.bind == nullptr || k.bind->get == nullptr) continue;
    for (int top = 0; top < 2; top++) {
      readSetup(w_);
      const double limit = top ? setupHigh(w_, k) : k.lo;
      if (std::isinf(limit)) continue;
      setSetupValue(w_, k, limit);
      writeSetup(w_);
      readSetup(w_);
      // Whole units are read as whole units: -999.9 comes back as -999.
      EXPECT_DOUBLE_EQ(setupValue(w_, k), k.truncates ? std::trunc(limit) : limit) << k.name << " " << limit;
      if (k.check != SetupCheck::Keep) continue;
      const long outside = std::lround((top ? limit + 1 : limit - 1) * k.scale);
      writeText(setupPath(), std::string(k.name) + ": " + std::to_string(outside) + "\n");
      readSetup(w_);
      EXPECT_DOUBLE_EQ(setupValue(w_, k), std::stod(k.def) / k.scale) << k.name << " " << outside;
    }
  }
}

TEST_F(SetupFile, RemountFailureLeavesTheFileUntouched) {
  writeText(setupPath(), "PSpar1: 7\n");
  readSetup(w_);
  setMount(1);
  w_->PSpar1 = 42;
  EXPECT_EQ(writeSetup(w_), 0);
  EXPECT_EQ(readFile(setupPath()), "PSpar1: 7\n");
  EXPECT_TRUE(logContains("can't mount rw /opt/set/ error"));
  // No temporary file is left behind either.
  EXPECT_EQ(system(("test -z \"$(ls -A '" + root_ + "/opt/set' | grep -v '^setup.txt$')\"").c_str()), 0);
}

TEST_F(SetupFile, ReadOnlyRemountFailureIsLoggedAfterWriting) {
  // mount succeeds for rw and fails for ro
  std::string p = root_ + "/bin/mount";
  writeText(p, "#!/bin/sh\ncase \"$*\" in *-r*) exit 1;; esac\nexit 0\n");
  chmod(p.c_str(), 0755);
  readSetup(w_);
  EXPECT_EQ(readFile(setupPath()), kFreshFile);
  EXPECT_TRUE(logContains("can't mount ro /opt/set/ error"));
}

}  // namespace
