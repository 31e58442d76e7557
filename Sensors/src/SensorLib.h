#pragma once

// The public API of the sensor library: the object model, the transport and sink
// contracts, the reply processor, the errors and the string utilities, and the
// drivers.

#include "BadConversion.h"
#include "LaserProcessor.h"
#include "Sensor.h"
#include "SensorInterface.h"
#include "SensorLibError.h"
#include "SensorProcessor.h"
#include "SensorSink.h"
#include "StringTokenizer.h"
#include "Vkr25.h"
#include "Vkr25Processor.h"
#include "Vkr25Xt.h"
#include "Vkr25XtProcessor.h"
