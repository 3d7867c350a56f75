// The application object: the framework finds it because it exists.
#include "app/updater_app.h"

namespace ks {

CUpdaterApp theApp;

}  // namespace ks
