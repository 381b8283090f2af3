// veltovpn-menubar: the menu-bar (tray) agent of the VPN client.
#include "menubar/menubar_main.h"

int main() { return velto::VeltoMenubarMain::main(); }
