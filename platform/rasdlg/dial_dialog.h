/*
 * The dial dialog of the host RasDialDlgW: its identifiers, shared with
 * dial_dialog.rc (which windres reads, hence plain #defines), and the
 * compiled resources that the build embeds.
 */
#ifndef TOVIX_PLATFORM_RASDLG_DIAL_DIALOG_H
#define TOVIX_PLATFORM_RASDLG_DIAL_DIALOG_H

#define IDD_DIAL 100
#define IDC_DIAL_STATUS 101

#ifndef RC_INVOKED
#include <cstddef>
// The bytes of dial_dialog.res, and their number in *size.
const unsigned char* RasDlgResourceBlob(size_t* size);
#endif

#endif
