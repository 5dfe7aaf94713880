#pragma once

// The serial ports present on this machine, for a technician who must find
// which one the unit's adapter is.

#include <string>
#include <vector>

struct TSerialPortInfo {
  int number = 0;    // what a port number selects (1 for COM1); 0 when none reaches it
  std::string name;  // what the system calls the device; empty when it gives no name
  std::string path;  // the device to open
};

// In number order; ports that no number reaches follow, in name order. On
// Windows the ports the system lists under HARDWARE\DEVICEMAP\SERIALCOMM,
// named as Device Manager names them. Elsewhere the ports that a number
// reaches (QSR470_COM<n> set to a device that exists, or /dev/ttyS<n-1> with
// a UART behind it) and the adapters in /dev/serial/by-id (or the folder that
// QSR470_SERIAL_BY_ID names), an adapter named and given by its stable path.
std::vector<TSerialPortInfo> ListSerialPorts();
