#include "remover.h"

int main(int argc, char **argv)
{
    return RunRemover(argc, argv);
}
