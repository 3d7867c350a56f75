// The ksupdate application object.
#ifndef KSUPDATE_APP_UPDATER_APP_H_
#define KSUPDATE_APP_UPDATER_APP_H_

#include "app/winapp.h"
#include "platform/outputs.h"
#include "platform/platform.h"

namespace ks {

class CUpdaterApp : public CWinApp {
 public:
  // Reads the settings, runs one update with the argument text as the base
  // path, writes the result file when one is asked for and logs the run's
  // event (RunEventLines) where the settings or the platform want it. Always
  // returns false, so the process ends without a window.
  bool InitInstance() override;
  // The exit status: 0 unless KSUPDATE_EXIT_CODES=msi asked for the
  // outcome (ExitStatusFor).
  int ExitInstance() override;

  // The system that InitInstance works through: this build's own
  // (DefaultPlatform, DefaultOutputs) unless a test or tool hands it
  // others, which must outlive the run.
  void UseSystem(Platform* platform, Outputs* outputs);

 private:
  Platform* platform_ = nullptr;
  Outputs* outputs_ = nullptr;
  int m_exit_status = 0;
};

// The one application object.
extern CUpdaterApp theApp;

}  // namespace ks

#endif  // KSUPDATE_APP_UPDATER_APP_H_
