#include "platform/DynamicLibrary.h"

#include <dlfcn.h>

#include <utility>

namespace velmora {

DynamicLibrary::~DynamicLibrary() {
  if (handle_) ::dlclose(handle_);
}

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), fileName_(std::move(other.fileName_)) {}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
  if (this != &other) {
    if (handle_) ::dlclose(handle_);
    handle_ = std::exchange(other.handle_, nullptr);
    fileName_ = std::move(other.fileName_);
  }
  return *this;
}

DynamicLibrary DynamicLibrary::Open(const std::vector<std::string>& fileNames, std::string& error) {
  DynamicLibrary lib;
  error.clear();
  for (const std::string& name : fileNames) {
    void* h = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (h) {
      lib.handle_ = h;
      lib.fileName_ = name;
      error.clear();
      return lib;
    }
    const char* why = ::dlerror();
    if (!error.empty()) error += "; ";
    error += why ? why : name + ": cannot be loaded";
  }
  return lib;
}

void* DynamicLibrary::Symbol(const char* name) const noexcept {
  if (!handle_) return nullptr;
  return ::dlsym(handle_, name);
}

}  // namespace velmora
