// Export marker of libbasalt.so. The project builds with hidden visibility; every framework class
// and function that the host and the plug-ins call carries BASALT_API so that the host, the
// plug-in and the framework share one copy of the framework's state (ShareData, the message hook,
// the main window).
#pragma once

#define BASALT_API __attribute__((visibility("default")))
