// The application object.
#include "capp.h"

CAppDataMembers gTheApp;
