/*
 * WrenlokWineClient: the steps of a Wine run, one per invocation.
 *
 *   install-bus INF        creates root\WrenlokTestBus and installs its driver from INF
 *   install-driver INF     puts the driver package's INF where the PnP manager looks for drivers
 *   scenario NAME          plugs the radio, runs the scenario, prints "N passed, N failed"
 */
#include "client.h"

#include <stdio.h>
#include <string.h>

int main(int argc, char **argv)
{
    setvbuf(stdout, NULL, _IONBF, 0);
    if (argc == 3 && strcmp(argv[1], "install-bus") == 0)
        return InstallBus(argv[2]);
    if (argc == 3 && strcmp(argv[1], "install-driver") == 0)
        return InstallDriver(argv[2]);
    if (argc == 3 && strcmp(argv[1], "scenario") == 0)
        return RunScenario(argv[2]);
    fprintf(stderr, "usage: WrenlokWineClient install-bus INF | install-driver INF | scenario NAME\n");
    return 2;
}
