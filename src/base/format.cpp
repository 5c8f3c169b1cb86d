#include "base/format.h"

#include <vector>

#include "base/exception.h"

namespace kv {
namespace {

[[noreturn]] void Invalid(std::string_view format) {
  throw Exception("Format '" + std::string(format) + "' invalid or incompatible with argument");
}

bool ReadNumber(std::string_view f, std::size_t& i, int& out) {
  std::size_t start = i;
  out = 0;
  while (i < f.size() && f[i] >= '0' && f[i] <= '9') {
    out = out * 10 + (f[i] - '0');
    if (out > 1 << 20) return false;
    ++i;
  }
  return i > start;
}

void Pad(std::string& out, std::string_view body, int width, bool left) {
  std::size_t w = width < 0 ? 0 : static_cast<std::size_t>(width);
  std::size_t fill = body.size() < w ? w - body.size() : 0;
  if (!left) out.append(fill, ' ');
  out.append(body);
  if (left) out.append(fill, ' ');
}

}  // namespace

std::string Format(std::string_view f, std::initializer_list<FormatArg> argList) {
  std::vector<FormatArg> args(argList);
  std::string out;
  out.reserve(f.size() + 32);
  std::size_t next = 0;
  for (std::size_t i = 0; i < f.size();) {
    char c = f[i];
    if (c != '%') {
      out.push_back(c);
      ++i;
      continue;
    }
    ++i;
    if (i < f.size() && f[i] == '%') {
      out.push_back('%');
      ++i;
      continue;
    }
    // [index:] [-] [width] [.prec] type
    std::size_t save = i;
    int num = 0;
    if (ReadNumber(f, i, num) && i < f.size() && f[i] == ':') {
      next = static_cast<std::size_t>(num);
      ++i;
    } else {
      i = save;
    }
    bool left = false;
    if (i < f.size() && f[i] == '-') {
      left = true;
      ++i;
    }
    int width = -1;
    int prec = -1;
    if (!ReadNumber(f, i, width)) width = -1;
    if (i < f.size() && f[i] == '.') {
      ++i;
      if (!ReadNumber(f, i, prec)) prec = -1;
    }
    if (i >= f.size()) Invalid(f);
    char type = f[i++];
    if (next >= args.size()) Invalid(f);
    const FormatArg& arg = args[next++];
    if (type == 's' || type == 'S') {
      const auto* text = std::get_if<std::string_view>(&arg);
      if (!text) Invalid(f);
      std::string_view body = *text;
      if (prec >= 0 && body.size() > static_cast<std::size_t>(prec)) body = body.substr(0, prec);
      Pad(out, body, width, left);
    } else if (type == 'd' || type == 'D') {
      const auto* value = std::get_if<std::int64_t>(&arg);
      if (!value) Invalid(f);
      bool negative = *value < 0;
      std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(*value) : static_cast<std::uint64_t>(*value);
      std::string digits = std::to_string(magnitude);
      if (prec >= 0 && digits.size() < static_cast<std::size_t>(prec)) digits.insert(0, prec - digits.size(), '0');
      if (negative) digits.insert(0, 1, '-');
      Pad(out, digits, width, left);
    } else {
      Invalid(f);
    }
  }
  return out;
}

}  // namespace kv
