#include "metric.h"

/* Arguments are ignored. */
int main(void)
{
    return RunMetric();
}
