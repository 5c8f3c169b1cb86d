// HandleTable: the live objects behind the handle values a backend hands out
// for things the system has no handle of its own for (a registry key of the
// text store, a find and a file told apart, a service-manager handle with
// what it was opened for). A handle is the address of its object, and a
// value that is not in the table (closed twice, never opened, made up) is
// found as nothing, so the caller refuses it with ERROR_INVALID_HANDLE
// instead of touching freed memory. Objects are shared: one being used by a
// call stays alive while another thread closes its handle. Thread-safe.
#pragma once

#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace win::detail {

template <typename Handle, typename Object>
class HandleTable {
 public:
  // Takes the object in and returns its new handle.
  Handle Add(std::shared_ptr<Object> object) {
    Handle handle = reinterpret_cast<Handle>(object.get());
    std::lock_guard<std::mutex> guard(mutex_);
    objects_.emplace(handle, std::move(object));
    return handle;
  }
  Handle Add(Object object) { return Add(std::make_shared<Object>(std::move(object))); }

  // Takes the object in under a handle value the caller chose (small
  // numbers, for example); false when that value is live already.
  bool Insert(Handle handle, std::shared_ptr<Object> object) {
    std::lock_guard<std::mutex> guard(mutex_);
    return objects_.emplace(handle, std::move(object)).second;
  }

  // The object of a live handle, or null.
  std::shared_ptr<Object> Find(Handle handle) const {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = objects_.find(handle);
    return it == objects_.end() ? nullptr : it->second;
  }

  // Takes the handle out of the table and returns its object, or null when
  // the handle was not live.
  std::shared_ptr<Object> Remove(Handle handle) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = objects_.find(handle);
    if (it == objects_.end()) return nullptr;
    std::shared_ptr<Object> object = std::move(it->second);
    objects_.erase(it);
    return object;
  }

  // Takes every handle out and returns their objects.
  std::vector<std::shared_ptr<Object>> RemoveAll() {
    std::vector<std::shared_ptr<Object>> objects;
    std::lock_guard<std::mutex> guard(mutex_);
    objects.reserve(objects_.size());
    for (auto& entry : objects_) objects.push_back(std::move(entry.second));
    objects_.clear();
    return objects;
  }

 private:
  mutable std::mutex mutex_;
  std::unordered_map<Handle, std::shared_ptr<Object>> objects_;
};

}  // namespace win::detail
