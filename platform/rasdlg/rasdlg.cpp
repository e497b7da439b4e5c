/*
 * Placeholder for the host dial dialog: with no dialog manager there is no
 * window to show, so RasDialDlgW fails without dialling.
 */
#include <rasdlg.h>

BOOL RasDialDlgW(LPWSTR, LPWSTR, LPWSTR, LPRASDIALDLG info) {
    if (info) {
        info->dwError = ERROR_NOT_SUPPORTED;
    }
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}
