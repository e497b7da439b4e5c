/*
 * ras.h for the host build: the Remote Access records and calls Tovix uses.
 * The entry-name and dial-parameter records keep the Windows XP field lists;
 * the entry-properties record carries only the fields the host layer fills.
 * Sizes differ from 32-bit Windows where a field is pointer-sized; the host
 * layer checks dwSize against the sizes declared here.
 */
#ifndef TOVIX_PLATFORM_RAS_H
#define TOVIX_PLATFORM_RAS_H

#include <windows.h>

#define RAS_MaxEntryName 256
#define RAS_MaxDeviceType 16
#define RAS_MaxDeviceName 128
#define RAS_MaxPhoneNumber 128
#define RAS_MaxCallbackNumber RAS_MaxPhoneNumber
#define RAS_MaxAreaCode 10
#define UNLEN 256
#define PWLEN 256
#define DNLEN 15

#define RASEO_UseCountryAndAreaCodes 0x00000001
#define RASEO_RemoteDefaultGateway 0x00000010
#define RASEO_ModemLights 0x00000100
#define RASEO_PreviewPhoneNumber 0x00200000
#define RASEO_PreviewUserPw 0x01000000

#define RASENTRYNAMEW_FLAGS_ALL_USERS 0x1

/* raserror.h */
#define RASBASE 600
#define ERROR_BUFFER_TOO_SMALL 603
#define ERROR_CANNOT_OPEN_PHONEBOOK 621
#define ERROR_CANNOT_LOAD_PHONEBOOK 622
#define ERROR_CANNOT_FIND_PHONEBOOK_ENTRY 623
#define ERROR_INVALID_SIZE 632
#define ERROR_PORT_NOT_AVAILABLE 633
#define ERROR_USER_DISCONNECTION 631
#define ERROR_NO_CONNECTION 668
#define ERROR_DIAL_FAILED 1001

typedef struct HRASCONN__* HRASCONN;
typedef HRASCONN* LPHRASCONN;

typedef struct tagRASENTRYNAMEW {
    DWORD dwSize;
    WCHAR szEntryName[RAS_MaxEntryName + 1];
    DWORD dwFlags;
    WCHAR szPhonebookPath[MAX_PATH + 1];
} RASENTRYNAMEW, *LPRASENTRYNAMEW;

typedef struct tagRASENTRYW {
    DWORD dwSize;
    DWORD dwfOptions;
    DWORD dwCountryID;
    DWORD dwCountryCode;
    WCHAR szAreaCode[RAS_MaxAreaCode + 1];
    WCHAR szLocalPhoneNumber[RAS_MaxPhoneNumber + 1];
    WCHAR szDeviceType[RAS_MaxDeviceType + 1];
    WCHAR szDeviceName[RAS_MaxDeviceName + 1];
} RASENTRYW, *LPRASENTRYW;

typedef struct tagRASDIALPARAMSW {
    DWORD dwSize;
    WCHAR szEntryName[RAS_MaxEntryName + 1];
    WCHAR szPhoneNumber[RAS_MaxPhoneNumber + 1];
    WCHAR szCallbackNumber[RAS_MaxCallbackNumber + 1];
    WCHAR szUserName[UNLEN + 1];
    WCHAR szPassword[PWLEN + 1];
    WCHAR szDomain[DNLEN + 1];
    DWORD dwSubEntry;
    ULONG_PTR dwCallbackId;
} RASDIALPARAMSW, *LPRASDIALPARAMSW;

typedef struct tagRASDIALEXTENSIONS RASDIALEXTENSIONS, *LPRASDIALEXTENSIONS;

DWORD RasEnumEntriesW(LPCWSTR reserved, LPCWSTR lpszPhonebook, LPRASENTRYNAMEW lprasentryname,
                      LPDWORD lpcb, LPDWORD lpcEntries);
DWORD RasGetEntryPropertiesW(LPCWSTR lpszPhonebook, LPCWSTR lpszEntry, LPRASENTRYW lpRasEntry,
                             LPDWORD lpdwEntryInfoSize, LPBYTE lpbDeviceInfo,
                             LPDWORD lpdwDeviceInfoSize);
DWORD RasGetEntryDialParamsW(LPCWSTR lpszPhonebook, LPRASDIALPARAMSW lprasdialparams,
                             LPBOOL lpfPassword);
DWORD RasDialW(LPRASDIALEXTENSIONS lpRasDialExtensions, LPCWSTR lpszPhonebook,
               LPRASDIALPARAMSW lpRasDialParams, DWORD dwNotifierType, LPVOID lpvNotifier,
               LPHRASCONN lphRasConn);

#endif
