// Process entry of spoolsync.exe. The arguments are ignored.
#include "service/service_main.h"

int main() { return RunServiceProcess(); }
