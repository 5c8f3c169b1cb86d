// The service application's fixed texts, in UTF-8 as they stand; they are
// converted to the ANSI code page where a message is made.
#pragma once

#include <string_view>

namespace kv {

// Captions of the message boxes.
inline constexpr std::string_view ErrorCaption = "エラー";
inline constexpr std::string_view InformationCaption = "情報";

// Installation and removal: success texts, and failure formats with the
// display name as %0:s and the failure's message as %1:s.
inline constexpr std::string_view ServiceInstallSuccessText = "サービスを登録しました。";
inline constexpr std::string_view ServiceInstallFailedFormat = "\"%1:s\" : サービス \"%0:s\" の登録は失敗しました。";
inline constexpr std::string_view ServiceUninstallSuccessText = "サービスの登録を解除しました。";
inline constexpr std::string_view ServiceUninstallFailedFormat =
    "\"%1:s\" : サービス \"%0:s\" の登録解除に失敗しました。";

// A failure that nothing caught ends the program with this box.
inline constexpr std::string_view ApplicationErrorCaption = "Application Error";

}  // namespace kv
