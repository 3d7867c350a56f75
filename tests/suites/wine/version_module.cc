// A module built in two versions (KSUPDATE_MODULE_VERSION), for the test
// that replaces a module while a process has it loaded.
extern "C" __declspec(dllexport) int ModuleVersion() {
  return KSUPDATE_MODULE_VERSION;
}
