// A minimal application framework in the shape ksupdate's run expects: one
// process-wide application object whose InitInstance does the whole job.
#ifndef KSUPDATE_APP_WINAPP_H_
#define KSUPDATE_APP_WINAPP_H_

#include <string>

namespace ks {

class CWinApp {
 public:
  CWinApp();
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;
  virtual ~CWinApp();

  // Called once by AfxWinMain. Returning false ends the process; true would
  // enter the message loop, which this framework does not have.
  virtual bool InitInstance();
  // Called after InitInstance returned false: the process's exit status.
  virtual int ExitInstance();

  // The argument text of this process, set before InitInstance runs.
  std::string m_lpCmdLine;
};

// The application object, or null before one is constructed.
CWinApp* AfxGetApp();

// The framework's entry: hands `argument_text` to the application object,
// calls its InitInstance and returns the process's exit status, which
// ExitInstance gives.
int AfxWinMain(const std::string& argument_text);

}  // namespace ks

#endif  // KSUPDATE_APP_WINAPP_H_
