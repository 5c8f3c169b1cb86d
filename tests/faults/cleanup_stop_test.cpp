// A stop request that arrives while a cleanup run deletes 100,000 old log
// files. The cleanup tick only comes every 12 hours, so the run is started
// by hand in a started module, on its main thread, while another thread
// asks for the stop as the service manager's request thread would.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "logsvc/module_fixture.h"

namespace kvtest {
namespace {

constexpr char kEvent[] = "2024/03/05 14.07.09:1:App:Src:1:2:before the stop";

// `count` empty kvs*.log files last written in 2020, 1,000 to a folder.
void MakeOldLogTree(const std::string& folder, int count) {
  const timespec old[2] = {{1577836800, 0}, {1577836800, 0}};  // 2020-01-01
  for (int i = 0; i < count; ++i) {
    const std::string dir = folder + "/d" + std::to_string(i / 1000);
    if (i % 1000 == 0) std::filesystem::create_directories(dir);
    const std::string path = dir + "/kvs2020010100" + std::to_string(1000 + i % 1000) + ".log";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path;
    futimens(fd, old);
    close(fd);
  }
}

std::size_t FilesBelow(const std::string& folder) {
  std::size_t n = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) n += entry.is_regular_file();
  return n;
}

class CleanupStopTest : public ModuleTest {};

TEST_F(CleanupStopTest, StopDuringACleanupRunOf100000Files) {
  MakeOldLogTree(logs, 100000);
  Start();
  ASSERT_TRUE(SendAndWait(kEvent, 2));

  std::atomic<bool> cleaning{false};
  std::atomic<bool> stopped{false};
  std::thread request([&] {
    while (!cleaning) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    bool flag = true;
    module->ServiceStop(*module, flag);
    stopped = true;
  });
  cleaning = true;
  module->LogCleanupTimerTimer(*module->LogCleanupTimer);
  ASSERT_TRUE(PumpMessagesUntil([&] { return stopped.load(); }));
  request.join();

  EXPECT_FALSE(module->Listening());
  // The run went to its end, then the stop saved the buffer.
  EXPECT_EQ(FilesBelow(logs), 1u);
  const std::string saved = ReadFile(logs + "/kvs20240305140709.log");
  EXPECT_NE(saved.find("before the stop"), std::string::npos) << saved;
}

}  // namespace
}  // namespace kvtest
