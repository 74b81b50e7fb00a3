#include "updater/UpdaterDisplay.h"
int main() { return 0; }
