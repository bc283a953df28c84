// Remote audio: the capture packet (widening, raw and Opus "SO" frames),
// the playing of received packets (bounds, silence, backlog, underrun),
// the playback thread's device life, and a tone end to end through
// file-backed ALSA devices, Opus and the frame reader.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "amp/error_list.h"
#include "core/setup.h"
#include "app/spine.h"
#include "platform/log.h"
#include "remote/audio.h"
#include "remote/remote_dispatch.h"
#include "remote/remote_senders.h"
#include "remote/ws_proto.h"
#include "sim/audio_sim.h"
#include "tests/support/null_pcm.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_works.h"
#include "tests/support/wait.h"

namespace {

// A sound device standing in for ALSA: captures from `source`, records
// what is played, answers avail and write from scripted values.
struct FakePcm : NullPcm {
  std::vector<int16_t> source;  // interleaved as captured
  size_t readAt = 0;
  std::vector<int16_t> played;
  std::vector<long> availSeq;
  size_t availAt = 0;
  std::vector<long> writeResults;  // scripted results, then success
  size_t writeAt = 0;
  int resets = 0, prepares = 0;
  FakePcm() { channels = 1; }
  int hwBufferSizeMax(long frames) override { return maxBuffer = frames, 0; }
  long maxBuffer = -1;
  int prepare() override { return ++prepares, 0; }
  int reset() override { return ++resets, 0; }
  long readFrames(void* buf, long frames) override {
    int16_t* s = static_cast<int16_t*>(buf);
    for (long i = 0; i < frames * channels; i++) s[i] = readAt < source.size() ? source[readAt++] : 0;
    return frames;
  }
  long writeFrames(const void* buf, long frames) override {
    if (writeAt < writeResults.size()) {
      long r = writeResults[writeAt++];
      if (r < 0) return r;
    }
    const int16_t* s = static_cast<const int16_t*>(buf);
    played.insert(played.end(), s, s + frames * 2);
    return frames;
  }
  long avail() override { return availAt < availSeq.size() ? availSeq[availAt++] : 20480; }
};

// A playback device already opened by the playback thread.
FakePcm* installOutput(Works* w) {
  auto out = std::make_shared<AudioOutput>();
  FakePcm* f = new FakePcm();
  out->pcm.reset(f);
  out->playBuf.assign(static_cast<size_t>(kMaxAudioPacketFrames) * 4, 0);
  w->pcmOut = out;
  w->audioPlayReady = 1;
  setRunByte(w->setup->EnableWrite, '1');
  return f;
}

void audioDefaults(Works* w) {
  w->audioFrame = 480;
  w->audioRate = 48000;
  w->audioFormat = 2;
  w->AudioBuffers = 20;
  w->inChannels = 1;
}

// Reads n bytes from fd.
std::string readN(int fd, size_t n) {
  std::string s;
  char b[4096];
  while (s.size() < n) {
    ssize_t r = read(fd, b, std::min(sizeof b, n - s.size()));
    if (r <= 0) break;
    s.append(b, static_cast<size_t>(r));
  }
  return s;
}

std::string soMessage(uint32_t n, const std::string& data) {
  std::string b(4, '\0');
  wsPutBE32(reinterpret_cast<uint8_t*>(&b[0]), n);
  return b + data;
}

int play(Works* w, char role, const std::string& body) {
  return playAudioMessage(w, role, reinterpret_cast<const uint8_t*>(body.data()), static_cast<int>(body.size()));
}

struct SocketPair {
  int fd[2] = {-1, -1};
  SocketPair() { socketpair(AF_UNIX, SOCK_STREAM, 0, fd); }
  ~SocketPair() {
    close(fd[0]);
    close(fd[1]);
  }
};

}  // namespace

TEST(AudioPacket, MonoIsWidenedAndA480FramePacketTravelsRawAs1920Bytes) {
  TestWorks a;
  audioDefaults(a.get());
  SocketPair sp;
  a->remoteSock = sp.fd[0];
  a->remoteConnected = 1;
  FakePcm mic;
  for (int i = 0; i < 480; i++) mic.source.push_back(static_cast<int16_t>(i * 37 - 9000));
  std::vector<uint8_t> buf(kAudioCaptureBytes);
  ASSERT_EQ(MyCallback(a.get(), &mic, buf.data()), 480);

  const std::string wire = readN(sp.fd[1], 1930);
  ASSERT_EQ(wire.size(), 1930u);
  const uint8_t* p = reinterpret_cast<const uint8_t*>(wire.data());
  EXPECT_EQ(std::vector<uint8_t>(p, p + 10),
            (std::vector<uint8_t>{0x82, 126, 0x07, 0x86, 'S', 'O', 0, 0, 0x07, 0x80}));
  for (int i = 0; i < 480; i++) {
    const int16_t l = static_cast<int16_t>(p[10 + 4 * i] | (p[11 + 4 * i] << 8));
    const int16_t r = static_cast<int16_t>(p[12 + 4 * i] | (p[13 + 4 * i] << 8));
    ASSERT_EQ(l, mic.source[static_cast<size_t>(i)]) << i;
    ASSERT_EQ(r, mic.source[static_cast<size_t>(i)]) << i;
  }

  // The frame is longer than the receive buffer: read whole, played whole.
  size_t at = 0;
  WsRead src = [&](uint8_t* b, int n) {
    int k = std::min<int>(n, 7);
    k = std::min<int>(k, static_cast<int>(wire.size() - at));
    if (k <= 0) return 0;
    memcpy(b, wire.data() + at, static_cast<size_t>(k));
    at += static_cast<size_t>(k);
    return k;
  };
  WsFrame f;
  ASSERT_EQ(wsReadFrame(src, f), 0);
  ASSERT_EQ(f.kind, WsKind::LongBinary);
  TestWorks b;
  audioDefaults(b.get());
  FakePcm* spk = installOutput(b.get());
  LinkState st('c');
  ASSERT_EQ(dispatchFrame(b.get(), st, f), 0);
  ASSERT_EQ(spk->played.size(), 960u);
  for (int i = 0; i < 480; i++) {
    EXPECT_EQ(spk->played[2 * i], mic.source[static_cast<size_t>(i)]);
    EXPECT_EQ(spk->played[2 * i + 1], mic.source[static_cast<size_t>(i)]);
  }
  // Small widening case, as in place as the capture does it.
  int16_t s[6] = {11, -22, 33, 0, 0, 0};
  widenMono(s, 3);
  EXPECT_EQ(std::vector<int16_t>(s, s + 6), (std::vector<int16_t>{11, 11, -22, -22, 33, 33}));
}

TEST(AudioPacket, OpusPacketsDecodeAndAnUndecodableOneGives480FramesOfSilence) {
  TestWorks a;
  audioDefaults(a.get());
  a->AudioCompress = 64000;
  createCodecs(a.get());
  ASSERT_NE(a->opusEnc, nullptr);
  SocketPair sp;
  a->remoteSock = sp.fd[0];
  a->remoteConnected = 1;
  FakePcm mic;
  for (int i = 0; i < 480; i++) mic.source.push_back(static_cast<int16_t>(6000 * sin(2 * M_PI * 1000 * i / 48000.0)));
  std::vector<uint8_t> buf(kAudioCaptureBytes);
  ASSERT_EQ(MyCallback(a.get(), &mic, buf.data()), 480);
  std::string head = readN(sp.fd[1], 10);
  ASSERT_EQ(head.size(), 10u);
  const uint32_t n = wsBE32(reinterpret_cast<const uint8_t*>(head.data()) + 6);
  EXPECT_GT(n, 0u);
  EXPECT_LE(n, 1920u);  // never more than the raw packet
  EXPECT_EQ((static_cast<uint8_t>(head[2]) << 8 | static_cast<uint8_t>(head[3])), static_cast<int>(n + 6));
  std::string pkt = readN(sp.fd[1], n);

  TestWorks b;
  audioDefaults(b.get());
  b->AudioCompress = 64000;
  createCodecs(b.get());
  FakePcm* spk = installOutput(b.get());
  EXPECT_EQ(play(b.get(), 's', soMessage(n, pkt)), 0);
  ASSERT_EQ(spk->played.size(), 960u);
  long energy = 0;
  for (int16_t v : spk->played) energy += std::abs(v);
  EXPECT_GT(energy, 0);

  spk->played.clear();
  EXPECT_EQ(play(b.get(), 's', soMessage(3, std::string("\xff\xff\xff", 3))), 0);
  ASSERT_EQ(spk->played.size(), 960u);
  for (int16_t v : spk->played) ASSERT_EQ(v, 0);
  destroyCodecs(a.get());
  destroyCodecs(b.get());
}

TEST(AudioPacket, PacketsThatDoNotFitAreDroppedNeverCopied) {
  TestWorks b;
  audioDefaults(b.get());
  FakePcm* spk = installOutput(b.get());
  // The encoded length claims more than the frame carries.
  EXPECT_EQ(play(b.get(), 'c', soMessage(1920, std::string(100, 'x'))), 0);
  // Raw, not a whole number of stereo frames.
  EXPECT_EQ(play(b.get(), 'c', soMessage(1918, std::string(1918, 'x'))), 0);
  // Raw, more than the largest packet any setup makes.
  const uint32_t tooLong = (kMaxAudioPacketFrames + 1) * 4;
  EXPECT_EQ(play(b.get(), 'c', soMessage(tooLong, std::string(tooLong, 'x'))), 0);
  EXPECT_TRUE(spk->played.empty());
  // A shorter whole packet plays as what it is.
  EXPECT_EQ(play(b.get(), 'c', soMessage(8, std::string(8, '\x01'))), 0);
  EXPECT_EQ(spk->played.size(), 4u);
  // The station plays only while its playback is ready.
  b->audioPlayReady = 0;
  EXPECT_EQ(play(b.get(), 's', soMessage(8, std::string(8, '\x01'))), 0);
  EXPECT_EQ(spk->played.size(), 4u);
}

TEST(AudioPlayback, TheBacklogIsDiscardedOnceAndMeasuringStartsAgain) {
  AudioBacklog bl;
  EXPECT_FALSE(audioBacklogStep(bl, 20480));  // the empty level
  EXPECT_FALSE(audioBacklogStep(bl, 18000));
  EXPECT_FALSE(audioBacklogStep(bl, 15680));  // exactly 4800 below: kept
  EXPECT_TRUE(audioBacklogStep(bl, 15679));
  EXPECT_EQ(bl.minfree, 20480);
  EXPECT_FALSE(audioBacklogStep(bl, 16000));  // measured from the empty level again
  EXPECT_TRUE(audioBacklogStep(bl, 15000));

  // Through the player: the packet that finds the backlog is not played.
  TestWorks b;
  audioDefaults(b.get());
  FakePcm* spk = installOutput(b.get());
  spk->availSeq = {20480, 17000, 15000, 20480};
  const std::string pkt = soMessage(1920, std::string(1920, '\x02'));
  for (int i = 0; i < 4; i++) EXPECT_EQ(play(b.get(), 'c', pkt), 0);
  EXPECT_EQ(spk->resets, 1);
  EXPECT_EQ(spk->played.size(), 3u * 960u);
}

TEST(AudioPlayback, AnUnderrunIsRecovered) {
  TestWorks b;
  audioDefaults(b.get());
  FakePcm* spk = installOutput(b.get());
  const std::string pkt = soMessage(1920, std::string(1920, '\x03'));
  spk->writeResults = {-32};
  EXPECT_EQ(play(b.get(), 's', pkt), 0);
  EXPECT_EQ(spk->prepares, 1);
  EXPECT_EQ(spk->played.size(), 960u);  // the station writes the packet again
  spk->writeResults = {-32, -32};
  spk->writeAt = 0;
  spk->played.clear();
  EXPECT_EQ(play(b.get(), 'c', pkt), 0);
  EXPECT_EQ(spk->prepares, 2);
  EXPECT_TRUE(spk->played.empty());
  spk->writeResults = {-5};
  spk->writeAt = 0;
  EXPECT_EQ(play(b.get(), 'c', pkt), -1);  // the operator unit drops the link
}

TEST(AudioSetup, MultiplierSetsThePacketAndValuesBeyondTheBufferAreRefused) {
  TempRoot root;
  TestWorks t;
  logCaptureStart();
  // No "Multiplier:" line: the documented default, 2, is what runs, what
  // the log shows and what the file saves.
  root.writeFile("/opt/set/setup.txt", "EnableWrite: 1\n");
  readSetup(t.get());
  EXPECT_EQ(t->audioFrame, 480);
  EXPECT_TRUE(logContains("Multiplier: -2-"));
  writeSetup(t.get());
  EXPECT_NE(root.readFile("/opt/set/setup.txt").find("Multiplier: 2\n"), std::string::npos);
  {
    // Such a unit plays a station's 480-frame packets, and those of a
    // station with another multiplier, whole.
    FakePcm* spk = installOutput(t.get());
    EXPECT_EQ(play(t.get(), 'c', soMessage(1920, std::string(1920, '\x04'))), 0);
    EXPECT_EQ(spk->played.size(), 960u);
    EXPECT_EQ(play(t.get(), 'c', soMessage(3840, std::string(3840, '\x04'))), 0);
    EXPECT_EQ(spk->played.size(), 960u + 1920u);
    t->pcmOut.reset();
  }
  root.writeFile("/opt/set/setup.txt", "Multiplier: 4\n");
  readSetup(t.get());
  EXPECT_EQ(t->audioFrame, 960);
  root.writeFile("/opt/set/setup.txt", "Multiplier: 21\n");
  readSetup(t.get());
  EXPECT_EQ(t->audioFrame, 5040);
  root.writeFile("/opt/set/setup.txt", "Multiplier: 22\n");
  readSetup(t.get());
  EXPECT_EQ(t->audioFrame, 480);
  EXPECT_TRUE(logContains("Multiplier: 22 outside 1..21"));
  logCaptureStop();

  // 960-frame packets on the wire: 3840 raw bytes.
  audioDefaults(t.get());
  t->audioFrame = 960;
  SocketPair sp;
  t->remoteSock = sp.fd[0];
  t->remoteConnected = 1;
  FakePcm mic;
  std::vector<uint8_t> buf(kAudioCaptureBytes);
  ASSERT_EQ(MyCallback(t.get(), &mic, buf.data()), 960);
  std::string head = readN(sp.fd[1], 10);
  EXPECT_EQ(wsBE32(reinterpret_cast<const uint8_t*>(head.data()) + 6), 3840u);
}

namespace {

// Live device count of the opener below: the playback thread must close
// one device before it opens the next.
std::atomic<int> g_live{0}, g_maxLive{0}, g_opened{0};
struct CountedPcm : FakePcm {
  CountedPcm() {
    int n = ++g_live;
    if (n > g_maxLive) g_maxLive = n;
    ++g_opened;
  }
  ~CountedPcm() override { --g_live; }
};
std::unique_ptr<AudioPcm> countedOpener(const std::string&, bool, int* err) {
  *err = 0;
  return std::unique_ptr<AudioPcm>(new CountedPcm());
}

}  // namespace

TEST(AudioThreads, PlaybackClosesItsDeviceBeforeReopeningAndTheCodecGoneEndsBoth) {
  TempRoot root;
  root.stubScript("lsusb", "echo 'Bus 001 Device 004: ID 0d8c:01af C-Media Electronics, Inc.'");
  TestWorks t;
  audioDefaults(t.get());
  setRunByte(t.setup.EnableWrite, '1');
  audioWriteStartDelayMs = 0;
  setPcmOpener(countedOpener);
  std::thread th(th_scrivi, t.get());
  ASSERT_TRUE(waitFor([&] { return t->audioPlayReady.load() == 1; }));
  logCaptureStart();
  auto prepared = [] {
    int n = 0;
    for (const std::string& l : logCaptured()) n += l.find("output audio interface prepared") != std::string::npos;
    return n;
  };
  for (int i = 0; i < 3; i++) {
    const int before = g_opened.load();
    const int p = prepared();
    t->remoteConnected = 1;
    ASSERT_TRUE(waitFor([&] { return prepared() > p; }));
    t->remoteConnected = 0;  // the peer leaves: drained, closed, opened again
    ASSERT_TRUE(waitFor([&] { return g_opened.load() > before && t->audioPlayReady.load() == 1; }));
  }
  logCaptureStop();
  EXPECT_EQ(g_maxLive.load(), 1);
  // The codec goes: error 10, the flag back at '0', the device closed.
  root.stubScript("lsusb", "true");
  ASSERT_TRUE(waitFor([&] { return runByte(t.setup.EnableWrite) == '0'; }));
  th.join();
  EXPECT_EQ(ExistError(t.get(), 10), 1);
  EXPECT_EQ(t->remoteFault, 1);
  EXPECT_EQ(g_live.load(), 0);
  EXPECT_EQ(t->pcmOut, nullptr);

  // Capture with the codec: the device's ring is held to the playback's
  // size, not left at a software device's hundreds of megabytes.
  root.stubScript("lsusb", "echo 'Bus 001 Device 004: ID 0d8c:01af C-Media Electronics, Inc.'");
  static std::atomic<long> captureMax{-1};
  setPcmOpener([](const std::string&, bool, int*) -> std::unique_ptr<AudioPcm> {
    struct Recording : FakePcm {
      ~Recording() override { captureMax = maxBuffer; }
    };
    return std::make_unique<Recording>();
  });
  setRunByte(t.setup.EnableRead, '1');
  snprintf(t.setup.InChannels, sizeof t.setup.InChannels, "1");
  logCaptureStart();
  std::thread cap(th_leggi, t.get());
  EXPECT_TRUE(waitFor([] { return logContains("capture audio interface prepared"); }));
  logCaptureStop();
  setRunByte(t.setup.EnableRead, '0');
  cap.join();
  EXPECT_EQ(captureMax.load(), 20L * 256 * 2 * 2);

  // Capture without the codec: error 9.
  root.stubScript("lsusb", "true");
  setPcmOpener(countedOpener);
  setRunByte(t.setup.EnableRead, '1');
  snprintf(t.setup.InChannels, sizeof t.setup.InChannels, "1");
  th_leggi(t.get());
  EXPECT_EQ(runByte(t.setup.EnableRead), '0');
  EXPECT_EQ(ExistError(t.get(), 9), 1);
  EXPECT_EQ(g_live.load(), 0);
  setPcmOpener(nullptr);
  audioWriteStartDelayMs = 3000;
}

namespace {

// Level of a tone of known frequency and what is left beside it: a
// least-squares fit of sine, cosine and offset.
double toneSnrDb(const std::vector<double>& x, double hz) {
  const size_t n = x.size();
  double ss = 0, cc = 0, sc = 0, sx = 0, cx = 0, mean = 0;
  for (double v : x) mean += v;
  mean /= static_cast<double>(n);
  for (size_t i = 0; i < n; i++) {
    const double a = 2 * M_PI * hz * static_cast<double>(i) / 48000.0;
    const double s = sin(a), c = cos(a), v = x[i] - mean;
    ss += s * s;
    cc += c * c;
    sc += s * c;
    sx += s * v;
    cx += c * v;
  }
  const double det = ss * cc - sc * sc;
  const double A = (sx * cc - cx * sc) / det, B = (cx * ss - sx * sc) / det;
  double sig = 0, res = 0;
  for (size_t i = 0; i < n; i++) {
    const double a = 2 * M_PI * hz * static_cast<double>(i) / 48000.0;
    const double fit = A * sin(a) + B * cos(a);
    sig += fit * fit;
    const double e = x[i] - mean - fit;
    res += e * e;
  }
  return 10 * log10(sig / (res > 0 ? res : 1e-30));
}

// Capture from the file-backed device, the "SO" sender, a socket, the
// frame reader and dispatch of the operator unit, the playback thread
// into its file: the SNR of the 1 kHz tone played, in dB.
double toneThroughThePair(int audioCompress) {
  TempRoot root;
  root.stubScript("lsusb", "echo 'Bus 001 Device 004: ID 0d8c:01af C-Media Electronics, Inc.'");
  SimAudioFiles files = simAudioPrepare(root.dir(), 1000, 8000, 4);
  TestWorks station, oper;
  for (Works* w : {station.get(), oper.get()}) {
    audioDefaults(w);
    w->AudioCompress = audioCompress;
    createCodecs(w);
    EXPECT_EQ(w->AudioCompress, audioCompress);
  }
  snprintf(station.setup.AudioIn, sizeof station.setup.AudioIn, "zelcap");
  snprintf(station.setup.InChannels, sizeof station.setup.InChannels, "1");
  setRunByte(station.setup.EnableRead, '1');
  snprintf(oper.setup.AudioOut, sizeof oper.setup.AudioOut, "zelplay");
  setRunByte(oper.setup.EnableWrite, '1');
  SocketPair sp;
  station->remoteSock = sp.fd[0];
  station->remoteConnected = 1;
  oper->remoteConnected = 1;
  audioWriteStartDelayMs = 0;

  std::thread playback(th_scrivi, oper.get());
  EXPECT_TRUE(waitFor([&] { return oper->audioPlayReady.load() == 1; }));
  // The operator's link thread: frames in, packets played.
  std::atomic<int> packets{0};
  std::thread link([&] {
    LinkState st('c');
    WsFrame f;
    WsRead src = [&](uint8_t* b, int n) { return static_cast<int>(read(sp.fd[1], b, static_cast<size_t>(n))); };
    while (wsReadFrame(src, f) == 0) {
      dispatchFrame(oper.get(), st, f);
      packets++;
    }
  });
  std::thread capture(th_leggi, station.get());
  EXPECT_TRUE(waitFor([&] { return packets.load() >= 150; }, 30000));
  setRunByte(station.setup.EnableRead, '0');
  capture.join();
  setRunByte(oper.setup.EnableWrite, '0');
  playback.join();
  shutdown(sp.fd[0], SHUT_RDWR);
  link.join();
  audioWriteStartDelayMs = 3000;
  destroyCodecs(station.get());
  destroyCodecs(oper.get());

  std::vector<int16_t> out = simAudioRead(files.playbackFile);
  EXPECT_GE(out.size(), 150u * 960u);
  // Left channel, past the codec's start-up; both channels carry the mono source.
  std::vector<double> left;
  int unequal = 0;
  for (size_t i = 9600; i + 1 < out.size() && left.size() < 96000; i += 2) {
    left.push_back(out[i]);
    unequal += out[i] != out[i + 1];
  }
  EXPECT_LT(unequal, static_cast<int>(left.size()) / 10);
  if (left.size() < 48000) return 0;
  return toneSnrDb(left, 1000);
}

}  // namespace

TEST(AudioEndToEnd, AToneCapturedSentAndPlayedKeepsItsSnr) {
  const double raw = toneThroughThePair(0);
  const double opus = toneThroughThePair(64000);
  printf("1 kHz tone, 8000 peak, mono widened: SNR raw %.1f dB, Opus 64 kbit/s %.1f dB\n", raw, opus);
  RecordProperty("snr_raw_db", static_cast<int>(raw));
  RecordProperty("snr_opus_db", static_cast<int>(opus));
  EXPECT_GT(raw, 80.0);  // only the source's rounding: the packets arrive whole and in order
  EXPECT_GT(opus, 30.0);
}
