#include "platform/module.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/error.h"
#include "platform/message_box.h"

namespace {

TEST(ModuleFileName, IsTheFullPathOfTheRunningExecutable) {
  std::string path = win::ModuleFileName();
  EXPECT_EQ(path, std::filesystem::canonical("/proc/self/exe").string());
  EXPECT_EQ(std::filesystem::path(path).filename(), "platform_tests");

  char whole[4096] = {};
  EXPECT_EQ(win::GetModuleFileName(nullptr, whole, sizeof whole), path.size());
  EXPECT_EQ(whole, path);

  char cut[8] = {};
  EXPECT_EQ(win::GetModuleFileName(nullptr, cut, sizeof cut), 8u);
  EXPECT_EQ(win::GetLastError(), win::ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::string(cut), path.substr(0, 7));
}

TEST(MessageBox, ErrorsGoToStandardErrorAndTheRestToStandardOutput) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(win::MessageBox("first line\r\nsecond", "エラー", win::MB_OK | win::MB_ICONERROR), win::IDOK);
  EXPECT_EQ(win::MessageBox("done", "情報", win::MB_OK | win::MB_ICONINFORMATION), win::IDOK);
  std::string out = testing::internal::GetCapturedStdout();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "エラー\nfirst line\nsecond\n");
  EXPECT_EQ(out, "情報\ndone\n");
}

}  // namespace
