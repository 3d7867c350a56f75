// The process-wide objects, defined in one place so that they are built in
// this order and destroyed in the reverse one: the application object, the
// base path, the trace log.
#include "app/patcher.h"
#include "app/updater_app.h"
#include "trace/trace.h"

namespace ks {

CUpdaterApp theApp;
std::string CPatcher::m_strBasePath;
CTraceLog TraceLog;

}  // namespace ks
