// Resource ids of the browser.
#pragma once

#define IDI_QUORVEX 1
#define IDD_ABOUT 100

// Controls of the About window.
#define IDC_ABOUT_IMG 101
#define IDC_ABOUT_TITLE 102
#define IDC_ABOUT_VERSION 103
#define IDC_ABOUT_MAKER 104
#define IDC_ABOUT_WEB_LABEL 105
#define IDC_ABOUT_WEB 106
#define IDC_ABOUT_MAIL_LABEL 107
#define IDC_ABOUT_MAIL 108
#define IDC_ABOUT_LIB_LABEL 109
#define IDC_ABOUT_LIB 110
#define IDC_ABOUT_PLATFORM_LABEL 111
#define IDC_ABOUT_PLATFORM 112
#define IDC_ABOUT_NOTICE 113
