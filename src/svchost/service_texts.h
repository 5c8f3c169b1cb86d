// The host's fixed texts for failures it reports, and the names of the
// control requests they mention. The literals are UTF-8; the builders below
// convert them to the ANSI code page where the message is made.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace kv {

// Names of the control requests 1 (stop) to 5 (shutdown).
inline constexpr std::array<std::string_view, 5> ControlNames = {"停止", "一時停止", "続行", "との対話",
                                                                 "シャットダウン"};
// Names of the start and run phases.
inline constexpr std::string_view StartPhaseName = "開始";
inline constexpr std::string_view RunPhaseName = "実行";

inline constexpr std::string_view ServiceFailedFormat = "サービス失敗 %0:s: %1:s";
inline constexpr std::string_view CustomControlFailedFormat =
    "サービスに対するカスタムメッセージ (%d) は失敗しました：%s";

// "サービス失敗 <name>: <failure>" in the ANSI code page. `nameUtf8` is one of
// the names above; `failureText` is ANSI already and is kept as it is.
std::string ServiceFailedMessage(std::string_view nameUtf8, std::string_view failureText);

// The custom-control failure text for `control`, in the ANSI code page.
std::string CustomControlFailedMessage(std::uint32_t control, std::string_view failureText);

// The message text of the failure being handled; call inside a catch block.
std::string CurrentFailureText();

}  // namespace kv
