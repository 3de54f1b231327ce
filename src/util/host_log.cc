#include "util/host_log.h"

#include <atomic>

namespace zelvar {

namespace {

std::atomic<intptr_t> logger_handle{0};

}  // namespace

CTool* CurrentLogger() {
  return reinterpret_cast<CTool*>(logger_handle.load(std::memory_order_acquire));
}

void SetLogger(intptr_t tool) { logger_handle.store(tool, std::memory_order_release); }

}  // namespace zelvar
