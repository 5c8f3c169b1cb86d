// ScopedEnv: sets (or removes) one environment variable for the life of the
// object and puts the previous value back afterwards.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

#include "support/env.h"

namespace kvtest {

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name)) previous_ = old;
    if (value) SetEnv(name, value->c_str());
    else UnsetEnv(name);
  }
  ~ScopedEnv() {
    if (previous_) SetEnv(name_, previous_->c_str());
    else UnsetEnv(name_);
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> previous_;
};

}  // namespace kvtest
