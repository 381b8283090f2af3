// veltovpn-helper: takes no arguments; started as root by the service manager.
#include "helper/helper_main.h"

int main() { return velto::VeltoHelperMain::main(); }
