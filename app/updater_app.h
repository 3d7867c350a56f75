// The ksupdate application object.
#ifndef KSUPDATE_APP_UPDATER_APP_H_
#define KSUPDATE_APP_UPDATER_APP_H_

#include "app/winapp.h"

namespace ks {

class CUpdaterApp : public CWinApp {
 public:
  // Runs one update with the argument text as the base path. Always returns
  // false, so the process ends without a window.
  bool InitInstance() override;
};

// The one application object (defined with the other process-wide objects).
extern CUpdaterApp theApp;

}  // namespace ks

#endif  // KSUPDATE_APP_UPDATER_APP_H_
