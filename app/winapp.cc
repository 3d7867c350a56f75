#include "app/winapp.h"

namespace ks {

namespace {
CWinApp* g_app = nullptr;
}  // namespace

CWinApp::CWinApp() { g_app = this; }

CWinApp::~CWinApp() {
  if (g_app == this) g_app = nullptr;
}

bool CWinApp::InitInstance() { return false; }

int CWinApp::ExitInstance() { return 0; }

CWinApp* AfxGetApp() { return g_app; }

int AfxWinMain(const std::string& argument_text) {
  CWinApp* app = AfxGetApp();
  if (app == nullptr) return 0;
  app->m_lpCmdLine = argument_text;
  // A windowless program: InitInstance does all the work and returns false,
  // so there is no message loop to enter either way.
  (void)app->InitInstance();
  return app->ExitInstance();
}

}  // namespace ks
