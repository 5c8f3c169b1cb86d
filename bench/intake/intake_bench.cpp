// Datagrams per second through the whole intake of a started service module
// (notification, read, parse, line, buffer append, relay send) against a
// plain loop on the same kind of sockets: poll, recvfrom, sendto to the
// relay port. Both count what arrives at the relay port; the receiver runs
// on the benchmark's main thread, the sender and the measuring on others.
//
// Two loads, both paths measured in alternating rounds:
//   flood     - the sender sends as fast as it can (the receive queue
//               overflows; the figure is what each loop gets through);
//   window 32 - at most 32 datagrams between sent and relayed, so nothing is
//               dropped and every datagram makes the whole trip.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "logsvc/kvlog_service.h"
#include "loopback.h"
#include "platform/messages.h"
#include "report.h"
#include "scratch_root.h"

namespace kvbench {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kWarmup = 200ms;
constexpr auto kMeasure = 1000ms;
constexpr int kRounds = 3;
const std::string kPayload = "2024/03/05 14.07.09:4711:Backup:JobRunner:2:1007:Copy finished: 12 files";

struct Figures {
  double perSecond = 0;             // relays arriving per second
  double cpuMicrosPerDatagram = 0;  // CPU time of the receiving thread per relay
};

double ThreadCpuSeconds(clockid_t clock) {
  timespec ts{};
  ::clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Runs `receive` on the calling thread while another thread applies the
// load to `port` and measures the relays per second and the receiving
// thread's CPU time; then `stop` ends the receiver.
Figures MeasureRelayRate(std::uint16_t port, Load load, const RelayCounter& relays,
                         const std::function<void()>& receive, const std::function<void()>& stop,
                         const std::string& payload = kPayload) {
  Figures figures;
  clockid_t receiverCpu{};
  if (::pthread_getcpuclockid(::pthread_self(), &receiverCpu) != 0) throw std::runtime_error("no thread CPU clock");
  std::thread controller([&] {
    {
      Sender sender(port, payload, load, relays);
      std::this_thread::sleep_for(kWarmup);
      const std::uint64_t c0 = relays.Count();
      const double cpu0 = ThreadCpuSeconds(receiverCpu);
      const auto t0 = Clock::now();
      std::this_thread::sleep_for(kMeasure);
      const std::uint64_t c1 = relays.Count();
      const double cpu1 = ThreadCpuSeconds(receiverCpu);
      const auto t1 = Clock::now();
      const double count = static_cast<double>(c1 - c0);
      figures.perSecond = count / std::chrono::duration<double>(t1 - t0).count();
      figures.cpuMicrosPerDatagram = count > 0 ? (cpu1 - cpu0) * 1e6 / count : 0;
    }
    stop();
  });
  receive();
  controller.join();
  return figures;
}

Figures PlainLoopRate(Load load, const RelayCounter& relays) {
  // Bound to every local address, as the service's receiver is.
  int rx = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  int tx = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  socklen_t len = sizeof addr;
  if (rx < 0 || tx < 0 || ::bind(rx, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(rx, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    if (rx >= 0) ::close(rx);
    if (tx >= 0) ::close(tx);
    throw std::runtime_error("plain loop sockets");
  }
  sockaddr_in relay{};
  relay.sin_family = AF_INET;
  relay.sin_port = htons(relays.Port());
  relay.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

  std::atomic<bool> stop{false};
  const Figures figures = MeasureRelayRate(
      ntohs(addr.sin_port), load, relays,
      [&] {
        pollfd p{rx, POLLIN, 0};
        char buffer[2048];
        while (!stop.load(std::memory_order_relaxed)) {
          if (::poll(&p, 1, 50) <= 0) continue;
          sockaddr_in from{};
          socklen_t fromLen = sizeof from;
          ssize_t n = ::recvfrom(rx, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
          if (n >= 0) {
            ::sendto(tx, buffer, static_cast<std::size_t>(n), 0, reinterpret_cast<const sockaddr*>(&relay),
                     sizeof relay);
          }
        }
      },
      [&] { stop = true; });
  ::close(rx);
  ::close(tx);
  return figures;
}

struct ModuleRun {
  Figures figures;
  std::size_t lines = 0;
  std::size_t failures = 0;
  double stopSeconds = 0;  // the stop right after the load, with what it left waiting
};

enum class Buffer { File, Memory };

// Starts a module on this thread, runs its message loop under the load,
// stops it (the stop saves the buffer) and removes the saved files. With
// Buffer::Memory a folder stands where the buffer file would be, so the
// buffer keeps its lines in memory.
ModuleRun ModuleRate(const ScratchRoot& root, Load load, const RelayCounter& relays, Buffer buffer = Buffer::File,
                     bool statusFigures = true, const std::string& payload = kPayload) {
  const std::uint16_t port = FreeUdpPort();
  root.WriteSettings(port, relays.Port(), 21600);
  std::filesystem::remove_all(kv::LogBufferPath());
  if (buffer == Buffer::Memory) std::filesystem::create_directories(kv::LogBufferPath());
  ModuleRun run;
  auto module = std::make_unique<kv::TKVLogService>();
  module->SetIntakeFailureHandler([&run](const std::exception&) { ++run.failures; });
  module->SetStatusFiguresEnabled(statusFigures);
  bool started = true;
  module->ServiceStart(*module, started);
  if (!started) throw std::runtime_error("the module did not start");

  const win::DWORD self = win::GetCurrentThreadId();
  run.figures = MeasureRelayRate(
      port, load, relays,
      [] {
        win::MSG msg;
        while (win::GetMessage(&msg, nullptr, 0, 0) > 0) win::DispatchMessage(&msg);
      },
      [self] { win::PostThreadMessage(self, win::WM_QUIT, 0, 0); }, payload);
  run.lines = module->LogLines->Count();

  bool stopped = true;
  const auto stopAt = Clock::now();
  module->ServiceStop(*module, stopped);
  run.stopSeconds = std::chrono::duration<double>(Clock::now() - stopAt).count();
  module.reset();
  root.DrainEventLog();
  for (const auto& entry : std::filesystem::directory_iterator(root.LogFolder())) {
    std::filesystem::remove(entry.path());
  }
  std::filesystem::remove_all(kv::LogBufferPath());
  return run;
}

void BM_IntakeVsPlainLoop(benchmark::State& state) {
  const Load load = state.range(0) == 0 ? Load::Flood : Load::Window;
  const char* name = load == Load::Flood ? "flood" : "window 32";
  state.SetLabel(name);
  std::vector<double> plain;
  std::vector<double> intake;
  std::vector<double> plainCpu;
  std::vector<double> intakeCpu;
  std::size_t failures = 0;
  try {
    ScratchRoot root;
    RelayCounter relays;
    for (auto _ : state) {
      for (int round = 0; round < kRounds; ++round) {
        const Figures p = PlainLoopRate(load, relays);
        plain.push_back(p.perSecond);
        plainCpu.push_back(p.cpuMicrosPerDatagram);
        const ModuleRun run = ModuleRate(root, load, relays);
        intake.push_back(run.figures.perSecond);
        intakeCpu.push_back(run.figures.cpuMicrosPerDatagram);
        failures += run.failures;
      }
    }
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
    return;
  }
  const double p = Median(plain);
  const double m = Median(intake);
  state.counters["plain_per_s"] = p;
  state.counters["intake_per_s"] = m;
  state.counters["ratio"] = m / p;
  state.counters["plain_cpu_us"] = Median(plainCpu);
  state.counters["intake_cpu_us"] = Median(intakeCpu);
  state.counters["failures"] = static_cast<double>(failures);
  char line[320];
  std::snprintf(line, sizeof line,
                "intake %-9s  plain loop %7.0f datagrams/s  module intake %7.0f datagrams/s  ratio %.2f "
                "(target >= 0.80); receiving thread CPU per datagram: plain %.1f us, intake %.1f us%s",
                name, p, m, m / p, Median(plainCpu), Median(intakeCpu), failures ? "  [intake reported failures]" : "");
  AddSummaryLine(line);
}
BENCHMARK(BM_IntakeVsPlainLoop)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

// The same intake with its lines going to the buffer file and with them
// kept in memory, in alternating rounds.
void BM_IntakeBufferFileVsMemory(benchmark::State& state) {
  const Load load = state.range(0) == 0 ? Load::Flood : Load::Window;
  const char* name = load == Load::Flood ? "flood" : "window 32";
  state.SetLabel(name);
  std::vector<double> file;
  std::vector<double> memory;
  std::vector<double> fileCpu;
  std::vector<double> memoryCpu;
  std::size_t failures = 0;
  try {
    ScratchRoot root;
    RelayCounter relays;
    for (auto _ : state) {
      for (int round = 0; round < 2 * kRounds - 1; ++round) {
        const ModuleRun m = ModuleRate(root, load, relays, Buffer::Memory);
        memory.push_back(m.figures.perSecond);
        memoryCpu.push_back(m.figures.cpuMicrosPerDatagram);
        const ModuleRun f = ModuleRate(root, load, relays, Buffer::File);
        file.push_back(f.figures.perSecond);
        fileCpu.push_back(f.figures.cpuMicrosPerDatagram);
        failures += m.failures + f.failures;
      }
    }
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
    return;
  }
  const double f = Median(file);
  const double m = Median(memory);
  state.counters["file_per_s"] = f;
  state.counters["memory_per_s"] = m;
  state.counters["ratio"] = f / m;
  state.counters["file_cpu_us"] = Median(fileCpu);
  state.counters["memory_cpu_us"] = Median(memoryCpu);
  char line[400];
  std::snprintf(line, sizeof line,
                "buffer %-9s  in-memory buffer %7.0f datagrams/s  buffer file %7.0f datagrams/s  ratio %.2f "
                "(target >= 0.90); receiving thread CPU per datagram: in-memory %.1f us, buffer file %.1f us "
                "(ratio %.2f)%s",
                name, m, f, f / m, Median(memoryCpu), Median(fileCpu), Median(memoryCpu) / Median(fileCpu),
                failures ? "  [intake reported failures]" : "");
  AddSummaryLine(line);
}
BENCHMARK(BM_IntakeBufferFileVsMemory)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

// The same intake with the operator's figures beside the state (counted
// per datagram, made and sent at most once a second) and without them, in
// alternating rounds. Outside a service manager the text has nowhere to go:
// what is left out is one datagram a second to the manager.
void BM_IntakeWithAndWithoutStatusFigures(benchmark::State& state) {
  const Load load = state.range(0) == 0 ? Load::Flood : Load::Window;
  const char* name = load == Load::Flood ? "flood" : "window 32";
  state.SetLabel(name);
  std::vector<double> with;
  std::vector<double> without;
  std::vector<double> withCpu;
  std::vector<double> withoutCpu;
  std::size_t failures = 0;
  try {
    ScratchRoot root;
    RelayCounter relays;
    for (auto _ : state) {
      for (int round = 0; round < 2 * kRounds - 1; ++round) {
        const ModuleRun off = ModuleRate(root, load, relays, Buffer::File, false);
        without.push_back(off.figures.perSecond);
        withoutCpu.push_back(off.figures.cpuMicrosPerDatagram);
        const ModuleRun on = ModuleRate(root, load, relays, Buffer::File, true);
        with.push_back(on.figures.perSecond);
        withCpu.push_back(on.figures.cpuMicrosPerDatagram);
        failures += off.failures + on.failures;
      }
    }
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
    return;
  }
  const double cpuWith = Median(withCpu);
  const double cpuWithout = Median(withoutCpu);
  state.counters["with_per_s"] = Median(with);
  state.counters["without_per_s"] = Median(without);
  state.counters["with_cpu_us"] = cpuWith;
  state.counters["without_cpu_us"] = cpuWithout;
  state.counters["cpu_ratio"] = cpuWith / cpuWithout;
  char line[400];
  std::snprintf(line, sizeof line,
                "status figures %-9s  receiving thread CPU per datagram: without %.2f us, with %.2f us, ratio %.3f "
                "(target <= 1.05, the noise of a shared machine); datagrams/s without %7.0f, with %7.0f%s",
                name, cpuWithout, cpuWith, cpuWith / cpuWithout, Median(without), Median(with),
                failures ? "  [intake reported failures]" : "");
  AddSummaryLine(line);
}
BENCHMARK(BM_IntakeWithAndWithoutStatusFigures)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

// Flush commands against ordinary events through the same intake, in
// alternating rounds: datagrams taken in (and relayed) per second, and the
// stop right after the load, which takes in what waits in the socket and
// saves. A flush command saves the buffer; commands closer together than
// 200 ms are written together, so a stream of them costs about what a
// stream of events does.
void BM_FlushCommandsVsEvents(benchmark::State& state) {
  const Load load = state.range(0) == 0 ? Load::Flood : Load::Window;
  const char* name = load == Load::Flood ? "flood" : "window 32";
  state.SetLabel(name);
  const std::string flush = "2024/03/05 14.07.09:4711:Ops:Console:4:0:$FLUSHLOG$ from the bench";
  std::vector<double> events, flushes, eventStops, flushStops;
  std::size_t failures = 0;
  try {
    ScratchRoot root;
    RelayCounter relays;
    for (auto _ : state) {
      for (int round = 0; round < kRounds; ++round) {
        const ModuleRun e = ModuleRate(root, load, relays);
        events.push_back(e.figures.perSecond);
        eventStops.push_back(e.stopSeconds);
        const ModuleRun f = ModuleRate(root, load, relays, Buffer::File, true, flush);
        flushes.push_back(f.figures.perSecond);
        flushStops.push_back(f.stopSeconds);
        failures += e.failures + f.failures;
      }
    }
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
    return;
  }
  const double e = Median(events);
  const double f = Median(flushes);
  const double es = Median(eventStops);
  const double fs = Median(flushStops);
  state.counters["events_per_s"] = e;
  state.counters["flushes_per_s"] = f;
  state.counters["ratio"] = f / e;
  state.counters["event_stop_ms"] = es * 1e3;
  state.counters["flush_stop_ms"] = fs * 1e3;
  char line[400];
  std::snprintf(line, sizeof line,
                "flush %-9s  events %7.0f/s  flush commands %7.0f/s  ratio %.2f (target >= 0.5); stop after the load: "
                "events %.0f ms, flush commands %.0f ms (ratio %.2f)%s",
                name, e, f, f / e, es * 1e3, fs * 1e3, fs / es, failures ? "  [intake reported failures]" : "");
  AddSummaryLine(line);
}
BENCHMARK(BM_FlushCommandsVsEvents)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

struct BurstRun {
  double totalSeconds = 0;  // from the first datagram sent to the end of the stop
  double stopSeconds = 0;   // the stop alone, right after the last one was sent
};

// 20,000 datagrams sent from one socket as fast as it goes (with a breath
// every 256, so that the kernel keeps them), then at once a stop, which
// takes in and saves what is still waiting.
BurstRun StopAfterBurst(const ScratchRoot& root, const RelayCounter& relays, const std::string& payload) {
  constexpr int kBurst = 20000;
  const std::uint16_t port = FreeUdpPort();
  root.WriteSettings(port, relays.Port(), 21600);
  std::filesystem::remove_all(kv::LogBufferPath());
  auto module = std::make_unique<kv::TKVLogService>();
  module->SetIntakeFailureHandler([](const std::exception&) {});
  bool started = true;
  module->ServiceStart(*module, started);
  if (!started) throw std::runtime_error("the module did not start");
  const win::DWORD self = win::GetCurrentThreadId();
  const auto t0 = Clock::now();
  std::thread sender([&] {
    kvtest::UdpListener socket;
    for (int i = 0; i < kBurst; ++i) {
      socket.SendTo(port, payload);
      if (i % 256 == 255) std::this_thread::sleep_for(100us);
    }
    win::PostThreadMessage(self, win::WM_QUIT, 0, 0);
  });
  win::MSG msg;
  while (win::GetMessage(&msg, nullptr, 0, 0) > 0) win::DispatchMessage(&msg);
  sender.join();
  const auto t1 = Clock::now();
  bool stopped = true;
  module->ServiceStop(*module, stopped);
  const auto t2 = Clock::now();
  module.reset();
  root.DrainEventLog();
  for (const auto& entry : std::filesystem::directory_iterator(root.LogFolder())) std::filesystem::remove(entry.path());
  std::filesystem::remove_all(kv::LogBufferPath());
  return {std::chrono::duration<double>(t2 - t0).count(), std::chrono::duration<double>(t2 - t1).count()};
}

void BM_StopAfterABurstOfFlushCommands(benchmark::State& state) {
  const std::string flush = "2024/03/05 14.07.09:4711:Ops:Console:4:0:$FLUSHLOG$ from the bench";
  std::vector<double> eventTotal, flushTotal, eventStop, flushStop;
  try {
    ScratchRoot root;
    RelayCounter relays;
    for (auto _ : state) {
      for (int round = 0; round < kRounds; ++round) {
        const BurstRun e = StopAfterBurst(root, relays, kPayload);
        eventTotal.push_back(e.totalSeconds);
        eventStop.push_back(e.stopSeconds);
        const BurstRun f = StopAfterBurst(root, relays, flush);
        flushTotal.push_back(f.totalSeconds);
        flushStop.push_back(f.stopSeconds);
      }
    }
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
    return;
  }
  const double et = Median(eventTotal), ft = Median(flushTotal), es = Median(eventStop), fs = Median(flushStop);
  state.counters["event_total_ms"] = et * 1e3;
  state.counters["flush_total_ms"] = ft * 1e3;
  state.counters["event_stop_ms"] = es * 1e3;
  state.counters["flush_stop_ms"] = fs * 1e3;
  char line[400];
  std::snprintf(line, sizeof line,
                "burst of 20,000 then stop  events: %.0f ms in all, stop %.0f ms  flush commands: %.0f ms in all "
                "(%.0f taken in per second), stop %.0f ms  ratio in all %.2f, stop %.2f",
                et * 1e3, es * 1e3, ft * 1e3, 20000 / ft, fs * 1e3, ft / et, fs / es);
  AddSummaryLine(line);
}
BENCHMARK(BM_StopAfterABurstOfFlushCommands)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kvbench
