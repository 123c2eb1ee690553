// A shared library opened at run time and its functions bound by name.
#pragma once

#include <string>
#include <vector>

namespace velmora {

class DynamicLibrary {
 public:
  DynamicLibrary() = default;
  ~DynamicLibrary();
  DynamicLibrary(DynamicLibrary&& other) noexcept;
  DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  // Tries each file name in turn and keeps the first that opens. On failure
  // returns an unloaded library and puts into `error` the file name(s) tried
  // with the loader's own text; the caller raises its own exception class.
  static DynamicLibrary Open(const std::vector<std::string>& fileNames, std::string& error);

  bool Loaded() const noexcept { return handle_ != nullptr; }
  // The file name that opened.
  const std::string& FileName() const noexcept { return fileName_; }
  // The address of `name`, or nullptr when the library lacks it.
  void* Symbol(const char* name) const noexcept;

  // The one binder of the function tables loaded at run time: sets `slot`
  // (a function pointer typed with decltype(&::function), so a prototype
  // that does not match fails to compile) to the function `name`, or to
  // nullptr when the library lacks it; true when found. The caller decides
  // whether a missing name is fatal and how it is reported.
  template <typename F>
  bool Bind(const char* name, F& slot) const noexcept {
    slot = reinterpret_cast<F>(Symbol(name));
    return slot != nullptr;
  }

 private:
  void* handle_ = nullptr;
  std::string fileName_;
};

}  // namespace velmora
