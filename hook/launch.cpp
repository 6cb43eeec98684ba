#include "stages.h"

void launchAfterInstall()
{
}
