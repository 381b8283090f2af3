// VeltoVpnLauncher: the application bundle's main executable.
#include "launcher/velto_vpn_launcher.h"

int main(int argc, char** argv) { return velto::launcher::VeltoVpnLauncher::main(argc, argv); }
