// What one run is asked to do: with the platform it is handed, everything
// the engine works from.
#ifndef KSUPDATE_ENGINE_RUN_INPUTS_H_
#define KSUPDATE_ENGINE_RUN_INPUTS_H_

#include <string>
#include <utility>

#include "engine/locations.h"
#include "engine/run_report.h"
#include "platform/utc_time.h"

namespace ks {

struct RunInputs {
  explicit RunInputs(std::string argument_text)
      : locations(std::move(argument_text)) {}

  // The patch's paths, from the argument text; bin, through the registry
  // at each use.
  Locations locations;
  // Decide and trace as usual, but write nothing at all: no copy, no
  // record, no lock file, no sweep of stale files.
  bool what_if = false;
  // Gets what the run did and how it ended; null for none.
  RunReport* report = nullptr;
  // The time the run judges a patch's expiry by.
  UtcSeconds now = 0;
  // A verified patch's header says downgrade=yes: each module goes to the
  // patch's version whatever client.ver records. Never set without keys
  // pinned.
  bool downgrade = false;
  // The bin directory that the run asked the platform to trust and hold
  // (LockForRun): a registry read that later names another one reaches
  // nothing (Locations::InstalledFilePath). Empty: none asked about yet.
  std::string bin_dir;
};

}  // namespace ks

#endif  // KSUPDATE_ENGINE_RUN_INPUTS_H_
