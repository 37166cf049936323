#include "vek_engine.h"
#include "vek_errorhandler.h"

bool VEK_Engine::destroy() {
  const bool removed = !created_ || manager_->remove(this);
  const bool ended = VEK_Object::destroy();
  return removed && ended;
}

bool VEK_Engine::is_success() { return !vek_is_error(manager_->status().full_code()); }
