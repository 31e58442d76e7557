#pragma once

// The transports with everything they stand on: the sensor library (SensorLib.h), the
// platform layer (SensorPlatform.h), the serial and TCP transports with their settings
// and baud-rate tables, the serial-port component with its device list and event
// threads, and the socket component.

#include "SensorLib.h"
#include "SensorPlatform.h"

#include "ComDevices.h"
#include "ComPort.h"
#include "ComThread.h"
#include "CustomInterfaces.h"
#include "SerialInterface.h"
#include "TcpInterface.h"
#include "WSocket.h"
