#pragma once

// The small POSIX layer that stands in for a desktop framework: threads with
// synchronised calls, per-thread message queues with descriptor watches, message
// targets, the application's message processing, components and string lists.

#include "Application.h"
#include "Component.h"
#include "Event.h"
#include "Exception.h"
#include "Lifetime.h"
#include "LiveCounter.h"
#include "MessageQueue.h"
#include "MessageTarget.h"
#include "Messages.h"
#include "PostedCall.h"
#include "StringList.h"
#include "Synchronize.h"
#include "SystemError.h"
#include "Thread.h"
