#include "app/czelk.h"

#include <stdio.h>
#include <unistd.h>

#include "telemetry/log_class.h"

CZELK* g_zelk = nullptr;

void CZELK::exitApp(int status) {
  logInstance.log(LOG_INFO, "exitApp\n");
  fflush(stdout);
  _exit(status);
}
