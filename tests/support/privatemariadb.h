// A MariaDB server of one test's own (scripts/mariadb-private), copied from
// the template data directory scripts/test installs (ORLO_MARIADB_TEMPLATE),
// for tests that stop, kill and restart the server: the shared server other
// tests use in parallel is never touched. The server is stopped when the
// object ends. Test thread only.
#pragma once

#include <string>

#include "support/sitedatabase.h"
#include "support/tempdir.h"

namespace orlo::test {

class TPrivateMariaDB {
 public:
  // shared: the coordinates of the shared server (user, password, template).
  explicit TPrivateMariaDB(const MariaDBServer& shared) : shared_(shared) {}
  ~TPrivateMariaDB();  // Stop()
  TPrivateMariaDB(const TPrivateMariaDB&) = delete;
  TPrivateMariaDB& operator=(const TPrivateMariaDB&) = delete;

  // Copies the template and starts the server on a free port; false when it
  // does not answer.
  bool Start();
  // Starts the server again on the same data and port after Stop or Kill.
  bool Restart();
  // Stops the server (SIGTERM) and waits for it to end.
  bool Stop();
  // Ends the server at once (SIGKILL), as a crash would.
  void Kill();
  // Stops the server process where it stands (SIGSTOP), as a host that hangs
  // or drops off the network: its port and connections stay open and nothing
  // is answered. Thaw (SIGCONT) lets it go on; Stop and the destructor thaw
  // a frozen server first.
  void Freeze();
  void Thaw();
  // The coordinates of this server.
  MariaDBServer Coordinates() const;

 private:
  bool Run(const std::string& args);
  void Signal(int signal);
  MariaDBServer shared_;
  TempDir dir_;
  std::string port_;
};

}  // namespace orlo::test
