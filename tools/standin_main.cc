// veltovpn-standin: a development stand-in for the main application (installed in
// bundles as veltoVpn-bin). Never shipped.
#include "tools/standin_app.h"

int main(int argc, char** argv) {
  return velto::standin::runStandin(velto::standin::parseStandinArguments(argc, argv)).ok() ? 0 : 1;
}
