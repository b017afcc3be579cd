#include "installer.h"

int main(int argc, char **argv)
{
    return RunInstaller(argc, argv);
}
