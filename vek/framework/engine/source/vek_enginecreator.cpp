#include "vek_engine.h"
#include "vek_errorhandler.h"

bool VEK_EngineCreator::check_source(VEK_Engine* source, const char* method, const char* file, uint32_t line) {
  if (source != nullptr && source->header() != nullptr) return true;
  vek_report(manager_, VEK_ERROR_ARGUMENT, method, file, line);
  return false;
}

VEK_Engine* VEK_EngineCreator::initiated(VEK_Engine* engine, bool ok) {
  if (engine == nullptr) return nullptr;
  if (ok) {
    engine->created(true);
    return engine;
  }
  engine->destroy();
  return nullptr;
}

VEK_Engine* VEK_EngineCreator::regist_engine(VEK_Engine* engine, VEK_SrcBuffer* source, VEK_DstBuffer* destination) {
  if (engine != nullptr) {
    if (manager_->regist(engine, destination) != nullptr) return engine;
    engine->destroy();
    return nullptr;
  }
  vek_destroy(source);
  vek_destroy(destination);
  return nullptr;
}

VEK_Engine* VEK_EngineCreator::regist_engine(VEK_Engine* engine, VEK_Vector<VEK_SrcBuffer*>& sources,
                                             VEK_DstBuffer* destination) {
  if (engine != nullptr) {
    if (manager_->regist(engine, destination) != nullptr) return engine;
    engine->destroy();
    return nullptr;
  }
  for (VEK_SrcBuffer* s : sources) vek_destroy(s);
  sources.clear();
  vek_destroy(destination);
  return nullptr;
}
