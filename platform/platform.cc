#include "platform/platform.h"

namespace ks {

namespace {
Platform* g_current = nullptr;
}  // namespace

Platform* CurrentPlatform() {
  return g_current != nullptr ? g_current : DefaultPlatform();
}

ScopedPlatform::ScopedPlatform(Platform* platform) : previous_(g_current) {
  g_current = platform;
}

ScopedPlatform::~ScopedPlatform() { g_current = previous_; }

}  // namespace ks
