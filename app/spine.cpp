#include "app/spine.h"

#include <opus/opus.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <syslog.h>
#include <thread>
#include <unistd.h>

#include "amp/errors.h"
#include "amp/linear.h"
#include "core/globals.h"
#include "core/lan.h"
#include "core/remote_config.h"
#include "core/setup.h"
#include "core/tables.h"
#include "core/version.h"
#include "core/works.h"
#include "display/fb.h"
#include "display/gpio.h"
#include "display/keyboard.h"
#include "display/png.h"
#include "display/text.h"
#include "screens/buttons.h"
#include "menus/panel_apply.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/heartbeat.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/sd_notify.h"
#include "radio/cat_serial.h"
#include "radio/hamlib_link.h"
#include "radio/zel_link.h"
#include "radio/zel_usb.h"
#include "remote/audio.h"
#include "remote/remote_senders.h"
#include "remote/ws_link.h"
#include "screens/timer.h"
#include "tuner/antenna.h"
#include "tuner/autotune.h"
#include "tuner/recall.h"
#include "tuner/tune_memory.h"
#include "tuner/tuner_config.h"
#include "web/web_config.h"
#include "web/web_server.h"

namespace {

const char kVersion[] = ZELPYX_VERSION;

Works* g_signalWorks = nullptr;

void onStopSignal(int) {
  // A lock-free atomic store is safe in a signal handler.
  if (g_signalWorks != nullptr) {
    g_signalWorks->stopRequested.store(1);
    g_signalWorks->running.store(0);
  }
}

void onStallSignal(int) { stallArm(); }

// Only the main routine touches it.
WatchdogPinger g_pinger;
std::thread::id g_mainThread;

// Pings the service manager's watchdog while every watched thread shows
// progress; called from every idle wait (the splash and clean-up threads
// wait the same way, and leave it to the main routine).
void watchdogTick() {
  if (std::this_thread::get_id() != g_mainThread || !sdNotifyEnabled()) return;
  g_pinger.tick(beatSnapshot(), monoMicros() / 1000, sdNotify);
}

// Sleeps in small steps so a stop request is seen quickly; start-up
// carries on either way and every thread ends at once when it sees
// `running` at 0.
void sleepWhileRunning(Works* w, int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (w->running.load() != 0 && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    watchdogTick();
  }
}

void showBackground(Works* w, const char* name) {
  std::lock_guard<std::recursive_mutex> lk(drawMutex());
  snprintf(w->imgName, sizeof w->imgName, "%s", name);
  getPng(w, 1);
  fbSetBack(w->fb);
  fbRealize(w->fb);
}

// Splash countdown, drawn once a second while start-up waits.
void LoadThread(Works* w) {
  int n = waitZEL;
  bool posted = false;
  while (startInitThread != 0) {
    {
      std::lock_guard<std::recursive_mutex> lk(drawMutex());
      fbSetBack(w->fb);
    }
    sleepWhileRunning(w, 1000);
    char text[32];
    snprintf(text, sizeof text, "Loading ...%2d", n);
    if (!posted && n <= 4) {
      PostTinyCmd(w, 181);
      posted = true;
    }
    n--;
    {
      std::lock_guard<std::recursive_mutex> lk(drawMutex());
      putString(9, 300, 400, text, 255, 255, 255, w->fb, 0, 0, 0, 0);
      fbRealize(w->fb);
    }
    fprintf(stderr, "Time %s..\n", text);
  }
}

// 30 s after start the firmware-update marker is removed: the program
// survived long enough to count as a good install.
void AggFWThread(Works* w) {
  for (int i = 0; i < 30; i++) sleepWhileRunning(w, 1000);
  // A run that ended within 30 s does not count as a good install.
  if (w->running.load() == 0) return;
  RemountWindow window(true, true);
  if (!window.isOpen()) return;
  if (runCommand("rm -f /opt/good >/dev/null 2>&1") != 0) {
    int e = errno;
    zlog(LOG_ERR, "can't :rm -f /opt/good >/dev/null 2>&1  ->error %d", e);
    fprintf(stderr, "can't :rm -f /opt/good >/dev/null 2>&1  ->error %d\n", e);
    return;
  }
  window.close();
  fprintf(stderr, "--------- END THREAD AGG FW!!!\n");
}

void joinIf(bool cond, std::thread& t, const char* logLine) {
  if (!cond || !t.joinable()) return;
  t.join();
  zlog(LOG_INFO, "%s", logLine);
}

}  // namespace

void createCodecs(Works* w) {
  if (w->AudioCompress <= 0) return;
  int err = 0;
  OpusEncoder* enc = opus_encoder_create(w->audioRate, 2, OPUS_APPLICATION_AUDIO, &err);
  if (err != OPUS_OK || enc == nullptr) {
    zlog(LOG_ERR, "failed to create an encoder: %s", opus_strerror(err));
    w->AudioCompress = 0;
    return;  // nothing left to configure without an encoder
  }
  err = opus_encoder_ctl(enc, OPUS_SET_BITRATE(w->AudioCompress));
  if (err < 0) {
    zlog(LOG_ERR, "failed to set bitrate: %s", opus_strerror(err));
    opus_encoder_destroy(enc);
    w->AudioCompress = 0;
    return;
  }
  OpusDecoder* dec = opus_decoder_create(w->audioRate, 2, &err);
  if (err != OPUS_OK || dec == nullptr) {
    zlog(LOG_ERR, "failed to create decoder: %s", opus_strerror(err));
    opus_encoder_destroy(enc);
    w->AudioCompress = 0;
    return;
  }
  w->opusEnc = enc;
  w->opusDec = dec;
}

void destroyCodecs(Works* w) {
  if (w->AudioCompress <= 0) return;
  if (w->opusEnc != nullptr) opus_encoder_destroy(static_cast<OpusEncoder*>(w->opusEnc));
  if (w->opusDec != nullptr) opus_decoder_destroy(static_cast<OpusDecoder*>(w->opusDec));
  w->opusEnc = nullptr;
  w->opusDec = nullptr;
}

void StartThreadLinear(Works* w) {
  if (runByte(w->setup->EnableLinear) != '1') return;
  // The thread outlives a port that failed to open; a second one would
  // share its state, so the running one is asked to open the port again.
  if (thrLin.joinable()) {
    w->linReopen = 1;
    return;
  }
  thrLin = std::thread(Linear, w);
}

void StartThreadSoket(Works* w) {
  const char role = runByte(w->setup->WebSocket);
  if (role != '1' && role != '2') return;
  // One link thread at a time; one that has ended is reaped first.
  if (wsThreadRunning.load() != 0) return;
  if (thrWsock.joinable()) thrWsock.join();
  wsThreadRunning = 1;
  if (role == '1') {
    fprintf(stderr, ">>>>>>>>>> SOCKET SERVER start\n");
    thrWsock = std::thread(Wsocket, w);
  } else {
    fprintf(stderr, ">>>>>>>>>> SOCKET CLIENT start\n");
    thrWsock = std::thread(Wclient, w);
  }
}

void StartThreadZEL(Works* w) {
  if (runByte(w->setup->zelRun) != '1') return;
  fprintf(stderr, "ZELread start\n");
  if (thrSer.joinable()) thrSer.join();  // a previous run that has ended
  thrSer = std::thread(Serial, w);
}

void StartThreadCAT(Works* w) {
  if (runByte(w->setup->EnableCAT) != '1') return;
  fprintf(stderr, "Cat start\n");
  if (thrCat.joinable()) thrCat.join();
  thrCat = std::thread(Cat, w);
}

// A thread still running (it has not yet seen its flag at '0') goes on
// with the flag back at '1'; one that has ended is reaped first.
void StartThreadAudioRead(Works* w) {
  if (runByte(w->setup->EnableRead) != '1') return;
  fprintf(stderr, "Th_leggi start\n");
  std::lock_guard<std::mutex> lk(audioStartMutex());
  if (audioReadRunning.load() != 0) return;
  if (thrLeggi.joinable()) thrLeggi.join();
  audioReadRunning = 1;
  thrLeggi = std::thread(th_leggi, w);
}

void StartThreadAudioWrite(Works* w) {
  if (runByte(w->setup->EnableWrite) != '1') return;
  fprintf(stderr, "Th_scrivi start\n");
  std::lock_guard<std::mutex> lk(audioStartMutex());
  if (audioWriteRunning.load() != 0) return;
  if (thrScrivi.joinable()) thrScrivi.join();
  audioWriteRunning = 1;
  thrScrivi = std::thread(th_scrivi, w);
}

void StartZelReadFFT(Works* w) {
  if (runByte(w->setup->EnableFFT) != '1') return;
  if (zelReadRunning.load() != 0) return;
  if (thrFFT.joinable()) thrFFT.join();
  zelReadRunning = 1;
  thrFFT = std::thread(ZELRead, w);
}

void StartThreadCATserial(Works* w) {
  if (runByte(w->setup->catSerRun) != '1') return;
  if (thrCatSer.joinable()) thrCatSer.join();
  thrCatSer = std::thread(CatSerial, w);
}

void StartThreadHamlib(Works* w) {
  if (runByte(w->hamRun) != '1') return;
  HamlibStartThread(w, thrHamlib);
}

namespace {
void stopHamlib(Works* w) {
  if (runByte(w->hamRun) != '1') return;
  setRunByte(w->hamRun, '0');
  DeleteErrore(w, kHamlibErrCode);
}
}  // namespace

// The work mode's radio link runs, the others stop; the amplifier is told
// the interface's general settings.
void SetModeWorkIDX(Works* w) {
  SetupRec* s = w->setup;
  int mode = w->ModeWorkIdx.load();
  if (s != nullptr) {
    if (mode == 0) {
      if (runByte(s->zelRun) == '1') {
        setRunByte(s->zelRun, '0');
        DeleteErrore(w, 8);
      }
      if (runByte(s->catSerRun) == '1') setRunByte(s->catSerRun, '0');
      stopHamlib(w);
    } else if (mode == 1) {
      if (runByte(s->zelRun) != '1') {
        setRunByte(s->zelRun, '1');
        StartThreadZEL(w);
      }
      if (runByte(s->catSerRun) == '1') setRunByte(s->catSerRun, '0');
      stopHamlib(w);
    } else if (mode == 2) {
      if (runByte(s->catSerRun) != '1') {
        setRunByte(s->catSerRun, '1');
        StartThreadCATserial(w);
      }
      if (runByte(s->zelRun) == '1') {
        setRunByte(s->zelRun, '0');
        DeleteErrore(w, 8);
      }
      stopHamlib(w);
    } else if (mode == 3) {
      if (runByte(w->hamRun) != '1') {
        setRunByte(w->hamRun, '1');
        StartThreadHamlib(w);
      }
      if (runByte(s->zelRun) == '1') {
        setRunByte(s->zelRun, '0');
        DeleteErrore(w, 8);
      }
      if (runByte(s->catSerRun) == '1') setRunByte(s->catSerRun, '0');
    }
  }
  IncPNTIn_CMDLinear(w, 35);
}

void LoadBankAndWorkMode(Works* w, int bank) {
  LoadAllBankTable(w, bank);
  SetModeWorkIDX(w);
}

void StartRemoteGroupThreads(Works* w, bool verbose) {
  w->remoteFault = 0;
  SetupRec* s = w->setup;
  if (runByte(s->EnableWrite) == '0') {
    setRunByte(s->EnableWrite, '1');
    if (verbose) fprintf(stderr, "start audio write\n");
    StartThreadAudioWrite(w);
  }
  if (runByte(s->EnableRead) == '0') {
    setRunByte(s->EnableRead, '1');
    if (verbose) fprintf(stderr, "start audio read\n");
    StartThreadAudioRead(w);
  }
  if (runByte(s->EnableCAT) == '0') {
    setRunByte(s->EnableCAT, '1');
    StartThreadCAT(w);
  }
  if (runByte(s->EnableFFT) == '0') {
    setRunByte(s->EnableFFT, '1');
    StartZelReadFFT(w);
  }
}

void StartThreadCommRemote(Works* w) {
  StartRemoteGroupThreads(w, false);
  writeSetup(w);
  PostTinyCmd(w, 149);
}

void ExitThreadRemote(Works* w) {
  SetupRec* s = w->setup;
  setRunByte(s->EnableWrite, '0');
  setRunByte(s->EnableRead, '0');
  setRunByte(s->EnableCAT, '0');
  setRunByte(s->EnableFFT, '0');
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  DeleteErrore(w, 9);
  DeleteErrore(w, 10);
  DeleteErrore(w, 5);
  DeleteErrore(w, 20);
  writeSetup(w);
  PostTinyCmd(w, 165);
  fprintf(stderr, ">>>>>>>>>>>>>>>>>>>>>>>>> REMOTE STOP \n");
}

void InstallStationHooks(Works* w) {
  StationHooks& h = w->hooks;
  h.applyPanelEvents = [](Works* x) { PanelDrain(x); };
  h.startAmpLink = StartThreadLinear;
  h.startFt817Link = StartThreadCATserial;
  h.startDataPort = StartThreadZEL;
  h.startSpectrumReader = StartZelReadFFT;
  h.startRemoteLink = StartThreadSoket;
  h.startRemoteGroup = StartThreadCommRemote;
  h.stopRemoteGroup = ExitThreadRemote;
  h.restartRemoteGroup = StartRemoteGroupThreads;
  h.loadBankAndWorkMode = LoadBankAndWorkMode;
  h.applyWorkMode = SetModeWorkIDX;
  h.sendCatToPeer = sendWebSockCatFrame;
  h.sendRadioParamsToPeer = sendWebSockSerParFrame;
  h.sendSpectrumToPeer = sendWebSockSerSpectrFrame;
  h.stepAutotune = TuneTask;
  h.queueBandThresholds = SearchCambioSoglie_TS;
  h.resendBandThresholds = ResendSoglieTS;
  h.takeTuneWord = TakeTuneWordFor;
  h.releaseTuneWord = StopSemaforoTuneval;
  h.bandNameForFreq = BandNameForFreq;
  h.webInfo = [](char* out, int n) { snprintf(out, static_cast<size_t>(n), "%s", webInfoText().c_str()); };
}

namespace {

std::thread thrWeb;

// The web server runs on the station unit and on any unit with an
// amplifier link of its own; it ends when `running` drops.
void StartThreadWeb(Works* w) {
  SetupRec* s = w->setup;
  if (runByte(s->EnableLinear) != '1' && runByte(s->WebSocket) != '1') return;
  thrWeb = std::thread(WebThread, w);
}

// Signals: SIGTERM and SIGINT stop the program, SIGPIPE is ignored, and a
// test may ask a thread to stall (SIGUSR2).
void installSignals(Works* w) {
  // A stop request cuts short any shell command still running.
  watchCommandRunFlag(&w->running);
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = onStopSignal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  if (getenv("ZELPYX_TEST_STALL") != nullptr) {
    sa.sa_handler = onStallSignal;
    sigaction(SIGUSR2, &sa, nullptr);
  }
  g_pinger.pingMs = sdWatchdogPingMs();
  g_mainThread = std::this_thread::get_id();
}

// The operator files, each read by its own reader; a missing or broken one
// leaves its defaults.
void readOperatorFiles(Works* w) {
  StepTune1 = 8;
  CntIP = CntDNS = CntNetMask = CntGateway = 3;

  // Saves cut short by a power cut leave their temporary files behind.
  RemoveStaleTempFiles("/opt/set", RemountWindow::OptSet);
  RemoveStaleTempFiles("/etc/network", RemountWindow::Root);
  ReadConfigFile(w);
  InitMicroCmd(w);
  ReadVentolaFile(w);
  LoadTabFiltri(w);
  ReadHamlibConfig();  // its problems are logged now; the link reads it again when it starts
  readSetup(w);
  loadRemoteConfig(w);
  LoadBankAndWorkMode(w, w->NumBanco);
  LoadTunerConfig();

  w->AntennaRowIdx = -1;
  fprintf(stderr, "ModeWorkIdx %i \n", w->ModeWorkIdx.load());
}

// The threads, the splash countdown and the first menus, in start-up order.
void startThreads(Works* w) {
  ReadLanParam();
  LoadFontTable();
  PostTinyCmd(w, 197);

  if (runByte(w->setup->EnableGPIO) == '1') thrGPIO = std::thread(GPIO, w);
  StartThreadLinear(w);
  sleepWhileRunning(w, 1000);

  waitZEL = 10;
  w->LastActivity = monoSeconds();

  showBackground(w, w->ampModel == '1' ? "start120" : "start");

  startInitThread = 1;
  thInit = std::thread(LoadThread, w);
  sleepWhileRunning(w, (waitZEL + 1) * 1000);
  startInitThread = 0;

  thAggFw = std::thread(AggFWThread, w);

  showBackground(w, "statusB");

  {
    // The splash thread may still be drawing its last frame when a stop
    // cut the countdown short.
    std::lock_guard<std::recursive_mutex> lk(drawMutex());
    InitMenuZarn(w);
    LoadButtons(w);
  }

  ZelParam local;
  getParameters(w, &local);
  w->freq = local.freq;

  createCodecs(w);

  if (runByte(w->setup->EnableKeyb) == '1') thrKey = std::thread(keyb, w);
  StartThreadSoket(w);
  StartThreadZEL(w);

  SetupRec* s = w->setup;
  if (runByte(s->EnableWrite) == '1' || runByte(s->EnableRead) == '1' || runByte(s->EnableCAT) == '1' ||
      runByte(s->EnableFFT) == '1') {
    ExitThreadRemote(w);
    sleepWhileRunning(w, 2000);
    StartThreadCommRemote(w);
    sleepWhileRunning(w, 2000);
    w->remoteStarted = 1;
  }

  StartThreadCATserial(w);
  if (runByte(s->EnableTime) == '1') thrTime = std::thread(timer, w);
  StartThreadWeb(w);
}

// Until the operator stops the program: the watchdog's pings, and the
// panel's events when no timer applies them.
void idleUntilStopped(Works* w) {
  SetupRec* s = w->setup;
  sdNotify("READY=1");
  zlog(LOG_INFO, "start-up done");
  const bool timerRuns = runByte(s->EnableTime) == '1';
  while (w->running.load() != 0) {
    // Without the timer the operator's actions are applied here, so the
    // buttons still work (one thread applies them either way).
    if (!timerRuns) PanelDrain(w);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    watchdogTick();
  }
  sdNotify("STOPPING=1");
}

// The closing picture, then every thread joined.
void shutDown(Works* w) {
  SetupRec* s = w->setup;
  fprintf(stderr, "Close..\n");
  std::unique_lock<std::recursive_mutex> drawLock(drawMutex());
  snprintf(w->imgName, sizeof w->imgName, "%s", "start");
  getPng(w, 1);
  fbSetBack(w->fb);
  fbRealize(w->fb);
  fbSetBack(w->fb);
  putString(9, 330, 400, "Error! Close Program! Restart hw.", 255, 255, 255, w->fb, 0, 0, 0, 0);
  fbRealize(w->fb);
  drawLock.unlock();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  zlog(LOG_INFO, "Communicator operations end");

  // The splash thread ends by itself; the clean-up thread may still be
  // waiting out its 30 s and is left to the process exit.
  if (thInit.joinable()) thInit.join();
  if (thAggFw.joinable()) thAggFw.detach();

  joinIf(runByte(s->EnableKeyb) == '1', thrKey, "Communicator joined Key end");
  joinIf(runByte(s->EnableFFT) == '1', thrFFT, "Communicator joined FFT end");
  joinIf(runByte(s->EnableRead) == '1', thrLeggi, "Communicator joined Touch end");
  joinIf(runByte(s->EnableWrite) == '1', thrScrivi, "Communicator joined Spi end");
  joinIf(true, thrWsock, "Communicator joined Wsocket end");
  joinIf(runByte(s->EnableCAT) == '1', thrCat, "Communicator joined Cat end");
  joinIf(runByte(s->catSerRun) == '1', thrCatSer, "Communicator joined CatSerial end");
  joinIf(runByte(s->zelRun) == '1', thrSer, "Communicator joined Serial end");
  joinIf(runByte(w->hamRun) == '1', thrHamlib, "Communicator joined Hamlib end");
  joinIf(runByte(s->EnableLinear) == '1', thrLin, "Communicator joined Linear end");
  joinIf(runByte(s->EnableTime) == '1', thrTime, "Communicator joined Time end");
  joinIf(runByte(s->EnableGPIO) == '1', thrGPIO, "Communicator joined GPIO end");
  joinIf(true, thrWeb, "Communicator joined Web end");
  // A thread whose run byte changed while it ran still has to be reaped
  // before the process exits; they all end once `running` is 0.
  for (std::thread* t : {&thrKey, &thrFFT, &thrLeggi, &thrScrivi, &thrWsock, &thrCat, &thrCatSer,
                         &thrSer, &thrLin, &thrTime, &thrGPIO, &thrHamlib, &thrWeb})
    if (t->joinable()) t->join();

  destroyCodecs(w);
  fprintf(stderr, "Closed!\n");
}

}  // namespace

int zelpyxMain() {
  // The records live for the whole process.
  static Works* works = new Works();
  static SetupRec setupRec{};
  static ZelParam zelParam{};
  static std::mutex serMut, sendMut, connMut;
  static int32_t plotA[1024], plotB[1024];
  static PlotBuffers plot;
  Works* w = works;

  fprintf(stderr, "START Main ----------------------------------------------------------------\n");
  fprintf(stderr, "ZEL PYX version %s\n", kVersion);
  zlog(LOG_INFO, "ZEL PYX version %s", kVersion);

  FbInfo* fb = fbInitOrMemory();
  snprintf(w->version, sizeof w->version, "%s", kVersion);
  w->fb = fb;
  w->cmdQ.clear();
  w->setup = &setupRec;
  w->sendMut = &sendMut;
  w->connMut = &connMut;
  w->zelParam = &zelParam;
  w->serMut = &serMut;

  InitGlobalVar(w);
  InstallStationHooks(w);
  g_signalWorks = w;
  installSignals(w);
  readOperatorFiles(w);
  memset(plotA, 0, sizeof plotA);
  memset(plotB, 0, sizeof plotB);
  plot.a = plotA;
  plot.b = plotB;
  w->plot = &plot;

  startThreads(w);
  idleUntilStopped(w);
  shutDown(w);
  return 0;
}
