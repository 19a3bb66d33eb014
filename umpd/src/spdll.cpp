#include "spdll.h"

// Until the print server's secure access is built, every job may print and
// the identity fields go back unchanged.
int DoSPDlg(IdentOptions*, HINSTANCE)
{
    return 1;
}
