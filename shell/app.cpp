#include "shell/app.h"

int KvnMain() { return 0; }
