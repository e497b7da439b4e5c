/*
 * Identifiers of Tovix's resources (tovix.rc), shared by the program code
 * in both builds and by the resource compiler. Plain #defines only, so that
 * windres can read it too. IDCANCEL comes from windows.h.
 */
#ifndef TOVIX_RES_RESOURCE_H
#define TOVIX_RES_RESOURCE_H

/* The progress dialog shown while Tovix dials and updates the address. */
#define IDD_PROGRESS 100
/* The program icon (dialog, title bar and task bar). */
#define IDI_MAIN 101
/* The status line of the progress dialog. */
#define IDC_STATUS 102
/* The timer that closes the progress dialog once the work is done. */
#define IDT_AUTOCLOSE 1108

#endif
