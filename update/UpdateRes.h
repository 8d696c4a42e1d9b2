// Identifiers of the installer's resources, shared by update.rc and the windows.
#pragma once

#define IDR_BACKGROUND 100

#define IDD_MAIN 200
#define IDD_EINGABE 201
#define IDD_BEENDEN 202

// TMain
#define IDC_LUPDATE 1001
#define IDC_LVERSION 1002
#define IDC_LLADEN 1003
#define IDC_PROGRESSBARLADEN 1004
#define IDC_BTNINSTALLIEREN 1005
#define IDC_BTNABBRECHEN 1006
// TEingabe (its buttons are IDOK and IDABORT: their modal results)
#define IDC_LINFO 1101
#define IDC_EEINGABE 1102
// TBeenden (IDC_LINFO as above)
#define IDC_BTNBEENDEN 1201

// Texts
#define IDS_VERSION_PREFIX 2001
#define IDS_RESULT_NEWER 2010
#define IDS_RESULT_NOT_INSTALLED 2011
#define IDS_RESULT_INSTALLED 2012
#define IDS_HINT_LLADEN 2020
#define IDS_HINT_INSTALLIEREN 2021
#define IDS_HINT_EINGABE 2022
#define IDS_HINT_OK 2023
#define IDS_HINT_ABBRECHEN 2024
#define IDS_ERROR_INVALID_TYPE 2030
#define IDS_ERROR_WRITE 2031
#define IDS_ERROR_CAPTION 2032
