#include "TlsModule.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <mutex>
#include <string>

namespace {

std::string ModulePath() {
  char exe[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe);
  if (n <= 0 || n == ssize_t(sizeof exe)) throw ESslContextException("TLS is not available: the program's own path is unknown");
  const std::string program(exe, std::size_t(n));
  if (program.rfind(VYR_BUILD_TREE "/", 0) == 0) return VYR_TLS_MODULE_IN_BUILD_TREE;
  return program.substr(0, program.rfind('/') + 1) + VYR_TLS_MODULE_FROM_PROGRAMS;
}

} // namespace

TVyrTlsNewContext TlsModuleEntry() {
  static std::mutex lock;
  static TVyrTlsNewContext entry = nullptr;
  std::lock_guard<std::mutex> guard(lock);
  if (entry) return entry;
  void *module = ::dlopen(ModulePath().c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) throw ESslContextException(std::string("TLS is not available: ") + ::dlerror());
  entry = reinterpret_cast<TVyrTlsNewContext>(::dlsym(module, "VyrTlsNewContext"));
  if (!entry) throw ESslContextException(std::string("TLS is not available: ") + ::dlerror());
  return entry;
}
