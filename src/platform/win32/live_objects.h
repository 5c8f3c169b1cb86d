// LiveObjects: the objects behind the handle values the backend hands out
// for things the system has no handle of its own for (a find and a file
// told apart, a service-manager handle with what it was opened for). A
// value not in the table (closed twice, made up) is found as nothing, so
// the call refuses it with ERROR_INVALID_HANDLE instead of touching freed
// memory; an object in use by one thread outlives its close by another.
#pragma once

#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace win::detail {

template <typename Handle, typename Object>
class LiveObjects {
 public:
  Handle Add(std::shared_ptr<Object> object) {
    Handle handle = reinterpret_cast<Handle>(object.get());
    std::lock_guard<std::mutex> guard(mutex_);
    objects_.emplace(handle, std::move(object));
    return handle;
  }

  std::shared_ptr<Object> Find(Handle handle) const {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = objects_.find(handle);
    return it == objects_.end() ? nullptr : it->second;
  }

  // Takes the handle out; its object, or null when it was not live.
  std::shared_ptr<Object> Remove(Handle handle) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = objects_.find(handle);
    if (it == objects_.end()) return nullptr;
    std::shared_ptr<Object> object = std::move(it->second);
    objects_.erase(it);
    return object;
  }

 private:
  mutable std::mutex mutex_;
  std::unordered_map<Handle, std::shared_ptr<Object>> objects_;
};

}  // namespace win::detail
