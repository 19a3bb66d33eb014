// The application object.
#include "capp.h"

CAppDataMembers gTheApp;

int16_t CAppConvertCodeAtoShort(CAppDataMembers*, const char* inCode, int16_t inLen)
{
    unsigned value = 0;  // wraps, never overflows, on absurdly long codes
    for (int16_t i = 0; i < inLen && inCode[i] >= '0' && inCode[i] <= '9'; i++)
        value = value * 10 + static_cast<unsigned>(inCode[i] - '0');
    return static_cast<int16_t>(value);
}
