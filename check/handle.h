// The checker's one owner of kernel handles: it closes what it holds exactly
// once, can be moved, and is never copied, so that no road has to count its
// closes by hand.
#pragma once

#include <windows.h>

namespace check {

class Handle {
 public:
  Handle() = default;
  // Takes ownership. INVALID_HANDLE_VALUE (a failed CreateFile) holds nothing.
  explicit Handle(HANDLE handle) : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
  Handle(Handle&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = other.handle_;
      other.handle_ = nullptr;
    }
    return *this;
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { reset(); }

  HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  // For calls that hand a new handle back through a pointer: whatever was
  // held is closed first.
  HANDLE* out() {
    reset();
    return &handle_;
  }
  void reset() {
    if (handle_) CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_ = nullptr;
};

}  // namespace check
