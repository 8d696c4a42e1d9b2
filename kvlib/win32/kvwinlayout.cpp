// Proves at compile time that our Win32 types, records and constants are the
// system's: the rest of the Win32 implementation reinterprets pointers to our
// records as pointers to Windows' on that proof. Nothing here runs.
//
// Our constants vanish behind the system's macros once <windows.h> is in, so
// each is first copied under a name of its own, then compared with the macro.
#include "kvboundapi.h"
#include "kvwintypes.h"

// Every constant of kvwinconst.h with a compile-time value on both sides.
// (The predefined registry keys, INVALID_HANDLE_VALUE and RT_RCDATA are
// pointers, and are compared at run time by the Windows tests.)
#define KV_CHECKED_CONSTANTS(X)                                                                           \
  X(TRUE) X(FALSE)                                                                                        \
  X(ERROR_SUCCESS) X(ERROR_INVALID_FUNCTION) X(ERROR_FILE_NOT_FOUND) X(ERROR_PATH_NOT_FOUND)              \
  X(ERROR_ACCESS_DENIED) X(ERROR_INVALID_HANDLE) X(ERROR_NOT_ENOUGH_MEMORY) X(ERROR_GEN_FAILURE)          \
  X(ERROR_NOT_SUPPORTED) X(ERROR_FILE_EXISTS) X(ERROR_INVALID_PARAMETER) X(ERROR_CALL_NOT_IMPLEMENTED)    \
  X(ERROR_INSUFFICIENT_BUFFER) X(ERROR_MOD_NOT_FOUND) X(ERROR_PROC_NOT_FOUND) X(ERROR_BAD_EXE_FORMAT)     \
  X(ERROR_ALREADY_EXISTS) X(ERROR_MORE_DATA) X(ERROR_NO_MORE_ITEMS) X(ERROR_OPERATION_ABORTED)            \
  X(ERROR_IO_PENDING) X(ERROR_NOT_FOUND) X(ERROR_INVALID_WINDOW_HANDLE) X(ERROR_TIMEOUT)                  \
  X(ERROR_SEM_TIMEOUT) X(ERROR_NO_SUCH_DEVINST) X(ERROR_INVALID_CLASS) X(ERROR_IN_WOW64)                  \
  X(GENERIC_READ) X(GENERIC_WRITE) X(FILE_SHARE_READ) X(FILE_SHARE_WRITE) X(CREATE_NEW)                  \
  X(CREATE_ALWAYS) X(OPEN_EXISTING) X(OPEN_ALWAYS) X(FILE_ATTRIBUTE_DIRECTORY) X(FILE_ATTRIBUTE_NORMAL)   \
  X(FILE_FLAG_OVERLAPPED) X(INVALID_FILE_ATTRIBUTES) X(INVALID_FILE_SIZE) X(INFINITE) X(WAIT_OBJECT_0)   \
  X(WAIT_TIMEOUT) X(WAIT_FAILED) X(MAX_PATH)                                                              \
  X(KEY_QUERY_VALUE) X(KEY_SET_VALUE) X(KEY_CREATE_SUB_KEY) X(KEY_ENUMERATE_SUB_KEYS) X(KEY_READ)         \
  X(KEY_WRITE) X(KEY_ALL_ACCESS) X(REG_NONE) X(REG_SZ) X(REG_EXPAND_SZ) X(REG_BINARY) X(REG_DWORD)        \
  X(REG_MULTI_SZ) X(REG_OPTION_NON_VOLATILE) X(REG_CREATED_NEW_KEY) X(REG_OPENED_EXISTING_KEY)            \
  X(STATUS_SUCCESS) X(STATUS_BUFFER_TOO_SMALL) X(STATUS_BUFFER_OVERFLOW) X(STATUS_INVALID_HANDLE)         \
  X(DIGCF_DEFAULT) X(DIGCF_PRESENT) X(DIGCF_ALLCLASSES) X(DIGCF_PROFILE) X(DIGCF_DEVICEINTERFACE)         \
  X(DICS_FLAG_GLOBAL) X(DIREG_DEV) X(DIREG_DRV)                                                           \
  X(SPDRP_DEVICEDESC) X(SPDRP_HARDWAREID) X(SPDRP_COMPATIBLEIDS) X(SPDRP_SERVICE) X(SPDRP_CLASS)          \
  X(SPDRP_CLASSGUID) X(SPDRP_DRIVER) X(SPDRP_MFG) X(SPDRP_FRIENDLYNAME) X(SPDRP_LOCATION_INFORMATION)     \
  X(SPDRP_PHYSICAL_DEVICE_OBJECT_NAME)                                                                    \
  X(CM_DRP_DEVICEDESC) X(CM_DRP_HARDWAREID) X(CM_DRP_SERVICE) X(CM_DRP_CLASSGUID) X(CM_DRP_DRIVER)        \
  X(CM_DRP_MFG) X(CM_LOCATE_DEVNODE_NORMAL) X(CM_GETIDLIST_FILTER_NONE)                                   \
  X(CM_GETIDLIST_FILTER_REMOVALRELATIONS) X(CM_GETIDLIST_FILTER_BUSRELATIONS)                             \
  X(CR_SUCCESS) X(CR_FAILURE) X(CR_INVALID_POINTER) X(CR_INVALID_DEVNODE) X(CR_NO_SUCH_DEVNODE)           \
  X(CR_NO_SUCH_VALUE) X(CR_BUFFER_SMALL) X(CR_REGISTRY_ERROR) X(CR_INVALID_DEVICE_ID)                     \
  X(CR_CALL_NOT_IMPLEMENTED)                                                                              \
  X(VER_PLATFORM_WIN32s) X(VER_PLATFORM_WIN32_WINDOWS) X(VER_PLATFORM_WIN32_NT)                           \
  X(DRIVE_UNKNOWN) X(DRIVE_NO_ROOT_DIR) X(DRIVE_REMOVABLE) X(DRIVE_FIXED) X(DRIVE_REMOTE) X(DRIVE_CDROM)  \
  X(DRIVE_RAMDISK) X(STARTF_USESHOWWINDOW) X(SW_HIDE) X(SW_SHOWNORMAL) X(STILL_ACTIVE)                    \
  X(WM_NULL) X(WM_CREATE) X(WM_DESTROY) X(WM_CLOSE) X(WM_QUIT) X(WM_SETTEXT) X(WM_GETTEXT)                \
  X(WM_GETTEXTLENGTH) X(WM_KEYDOWN) X(WM_CHAR) X(WM_TIMER) X(WM_DEVICECHANGE) X(WM_USER)                  \
  X(EM_GETSEL) X(EM_SETSEL) X(EM_REPLACESEL) X(PM_NOREMOVE) X(PM_REMOVE) X(GWLP_WNDPROC)                  \
  X(GWLP_USERDATA) X(WS_CHILD) X(WS_VISIBLE) X(WS_POPUP) X(ES_MULTILINE) X(MB_OK) X(MB_ICONERROR)         \
  X(FO_MOVE) X(FO_COPY) X(FO_DELETE) X(FO_RENAME) X(FOF_MULTIDESTFILES) X(FOF_SILENT)                     \
  X(FOF_NOCONFIRMATION) X(FOF_ALLOWUNDO) X(FOF_NOCONFIRMMKDIR) X(FOF_NOERRORUI)                           \
  X(S_OK) X(S_FALSE) X(COINIT_APARTMENTTHREADED) X(COINIT_MULTITHREADED)                                 \
  X(ERROR_NO_AUTHENTICODE_CATALOG) X(ERROR_ONLY_VALIDATE_VIA_AUTHENTICODE) X(ERROR_NO_DRIVER_SELECTED)    \
  X(ERROR_DI_DO_DEFAULT) X(ERROR_MR_MID_NOT_FOUND) X(ERROR_DEVICE_NOT_CONNECTED) X(ERROR_CANCELLED)       \
  X(DICS_FLAG_CONFIGSPECIFIC) X(DICS_ENABLE) X(DICS_DISABLE) X(DICS_PROPCHANGE) X(DIF_PROPERTYCHANGE)    \
  X(FORMAT_MESSAGE_ALLOCATE_BUFFER) X(FORMAT_MESSAGE_IGNORE_INSERTS) X(FORMAT_MESSAGE_FROM_STRING)        \
  X(FORMAT_MESSAGE_FROM_HMODULE) X(FORMAT_MESSAGE_FROM_SYSTEM) X(FORMAT_MESSAGE_ARGUMENT_ARRAY)           \
  X(FORMAT_MESSAGE_MAX_WIDTH_MASK) X(CR_REMOVE_VETOED) X(ERROR_WRITE_FAULT) X(PNP_VetoDevice)         \
  X(DBT_DEVNODES_CHANGED) X(DBT_DEVICEARRIVAL) X(DBT_DEVICEREMOVECOMPLETE) X(DBT_DEVTYP_DEVICEINTERFACE)  \
  X(DBT_DEVTYP_PORT) X(CF_TEXT) X(GMEM_MOVEABLE) X(GMEM_ZEROINIT) X(SW_SHOWDEFAULT)

namespace kvlayout {
#define KV_COPY_CONSTANT(name) constexpr auto our_##name = kv::name;
KV_CHECKED_CONSTANTS(KV_COPY_CONSTANT)
#undef KV_COPY_CONSTANT
}  // namespace kvlayout

// The NTSTATUS values come from ntstatus.h, whose macros winnt.h would
// otherwise define a second time.
#define WIN32_NO_STATUS
#include "kvwin32.h"
#undef WIN32_NO_STATUS
#include <ntstatus.h>
#include <winternl.h>

#include <cfgmgr32.h>
#include <dbt.h>
#include <setupapi.h>

#include <cstddef>
#include <type_traits>
#include <utility>

namespace kvlayout {

// Each copy against the macro of the same name, both widened, so that a
// difference in sign shows up as well as one in value.
#define KV_SAME_CONSTANT(name)                                                \
  static_assert(static_cast<long long>(our_##name) == static_cast<long long>(name), \
                #name " differs from the Windows headers");
KV_CHECKED_CONSTANTS(KV_SAME_CONSTANT)
#undef KV_SAME_CONSTANT

// ---- scalar types ------------------------------------------------------------
#define KV_SAME_SIZE(name) \
  static_assert(sizeof(kv::name) == sizeof(::name), #name " differs in size from the Windows type");
KV_SAME_SIZE(BYTE)
KV_SAME_SIZE(UCHAR)
KV_SAME_SIZE(WORD)
KV_SAME_SIZE(USHORT)
KV_SAME_SIZE(DWORD)
KV_SAME_SIZE(ULONG)
KV_SAME_SIZE(UINT)
KV_SAME_SIZE(LONG)
KV_SAME_SIZE(BOOL)
KV_SAME_SIZE(ULONG_PTR)
KV_SAME_SIZE(LONG_PTR)
KV_SAME_SIZE(UINT_PTR)
KV_SAME_SIZE(WPARAM)
KV_SAME_SIZE(LPARAM)
KV_SAME_SIZE(LRESULT)
KV_SAME_SIZE(WCHAR)
KV_SAME_SIZE(REGSAM)
KV_SAME_SIZE(CONFIGRET)
KV_SAME_SIZE(DEVINST)
KV_SAME_SIZE(NTSTATUS)
KV_SAME_SIZE(HRESULT)
KV_SAME_SIZE(HANDLE)
KV_SAME_SIZE(HKEY)
KV_SAME_SIZE(HMODULE)
KV_SAME_SIZE(HWND)
KV_SAME_SIZE(HRSRC)
KV_SAME_SIZE(HGLOBAL)
KV_SAME_SIZE(HDEVINFO)
#undef KV_SAME_SIZE

// Signedness matters where values are compared or widened.
static_assert(std::is_signed_v<kv::LONG> && std::is_signed_v<kv::LONG_PTR> && std::is_signed_v<kv::LPARAM> &&
                  std::is_signed_v<kv::LRESULT> && std::is_signed_v<kv::HRESULT> &&
                  std::is_signed_v<kv::NTSTATUS> && std::is_signed_v<kv::BOOL>,
              "signed Win32 types are signed here too");
static_assert(std::is_unsigned_v<kv::DWORD> && std::is_unsigned_v<kv::WPARAM> &&
                  std::is_unsigned_v<kv::ULONG_PTR> && std::is_unsigned_v<kv::UINT_PTR>,
              "unsigned Win32 types are unsigned here too");
static_assert(sizeof(wchar_t) == sizeof(kv::WCHAR), "WCHAR text passes to the W functions as wchar_t");

// Entry points cross the seam with the system's calling convention.
static_assert(std::is_same_v<kv::FARPROC, ::FARPROC>, "FARPROC is the system's");
static_assert(std::is_same_v<::LRESULT(KVAPI*)(::HWND, ::UINT, ::WPARAM, ::LPARAM), ::WNDPROC>,
              "KVAPI is the calling convention of window procedures");
static_assert(std::is_same_v<::BOOL(KVAPI*)(::HDEVINFO), decltype(&::SetupDiDestroyDeviceInfoList)>,
              "KVAPI is the calling convention of SetupAPI");
static_assert(std::is_same_v<::CONFIGRET(KVAPI*)(::DEVINST*, ::DEVINST, ::ULONG), decltype(&::CM_Get_Parent)>,
              "KVAPI is the calling convention of the configuration manager");

// ---- records -------------------------------------------------------------------
#define KV_SAME_RECORD(Type) \
  static_assert(sizeof(kv::Type) == sizeof(::Type), #Type " differs in size from the Windows record");
#define KV_SAME_FIELD(Type, field)                                                         \
  static_assert(offsetof(kv::Type, field) == offsetof(::Type, field),                      \
                #Type "." #field " is at another offset than in the Windows record");      \
  static_assert(sizeof(std::declval<kv::Type&>().field) == sizeof(std::declval<::Type&>().field),              \
                #Type "." #field " differs in size from the Windows record");

KV_SAME_RECORD(GUID)
KV_SAME_FIELD(GUID, Data1)
KV_SAME_FIELD(GUID, Data2)
KV_SAME_FIELD(GUID, Data3)
KV_SAME_FIELD(GUID, Data4)

KV_SAME_RECORD(OVERLAPPED)
KV_SAME_FIELD(OVERLAPPED, Internal)
KV_SAME_FIELD(OVERLAPPED, InternalHigh)
KV_SAME_FIELD(OVERLAPPED, Offset)
KV_SAME_FIELD(OVERLAPPED, OffsetHigh)
KV_SAME_FIELD(OVERLAPPED, hEvent)

KV_SAME_RECORD(SECURITY_ATTRIBUTES)
KV_SAME_FIELD(SECURITY_ATTRIBUTES, nLength)
KV_SAME_FIELD(SECURITY_ATTRIBUTES, lpSecurityDescriptor)
KV_SAME_FIELD(SECURITY_ATTRIBUTES, bInheritHandle)

KV_SAME_RECORD(SP_DEVINFO_DATA)
KV_SAME_FIELD(SP_DEVINFO_DATA, cbSize)
KV_SAME_FIELD(SP_DEVINFO_DATA, ClassGuid)
KV_SAME_FIELD(SP_DEVINFO_DATA, DevInst)
KV_SAME_FIELD(SP_DEVINFO_DATA, Reserved)

KV_SAME_RECORD(SP_PROPCHANGE_PARAMS)
KV_SAME_FIELD(SP_PROPCHANGE_PARAMS, StateChange)
KV_SAME_FIELD(SP_PROPCHANGE_PARAMS, Scope)
KV_SAME_FIELD(SP_PROPCHANGE_PARAMS, HwProfile)

KV_SAME_RECORD(SP_DEVICE_INTERFACE_DATA)
KV_SAME_FIELD(SP_DEVICE_INTERFACE_DATA, cbSize)
KV_SAME_FIELD(SP_DEVICE_INTERFACE_DATA, InterfaceClassGuid)
KV_SAME_FIELD(SP_DEVICE_INTERFACE_DATA, Flags)
KV_SAME_FIELD(SP_DEVICE_INTERFACE_DATA, Reserved)

// cbSize of this record must be sizeof of the fixed part as Windows packs it
// (5 on 32-bit, 8 on 64-bit): SetupAPI refuses any other value.
KV_SAME_RECORD(SP_DEVICE_INTERFACE_DETAIL_DATA_A)
KV_SAME_FIELD(SP_DEVICE_INTERFACE_DETAIL_DATA_A, cbSize)
KV_SAME_FIELD(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath)
#ifdef _WIN64
static_assert(sizeof(kv::SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8, "detail record size on 64-bit");
#else
static_assert(sizeof(kv::SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5, "detail record size on 32-bit");
#endif

KV_SAME_RECORD(SP_CLASSINSTALL_HEADER)
KV_SAME_FIELD(SP_CLASSINSTALL_HEADER, cbSize)
KV_SAME_FIELD(SP_CLASSINSTALL_HEADER, InstallFunction)

KV_SAME_RECORD(OSVERSIONINFOA)
KV_SAME_FIELD(OSVERSIONINFOA, dwOSVersionInfoSize)
KV_SAME_FIELD(OSVERSIONINFOA, dwMajorVersion)
KV_SAME_FIELD(OSVERSIONINFOA, dwMinorVersion)
KV_SAME_FIELD(OSVERSIONINFOA, dwBuildNumber)
KV_SAME_FIELD(OSVERSIONINFOA, dwPlatformId)
KV_SAME_FIELD(OSVERSIONINFOA, szCSDVersion)

KV_SAME_RECORD(STARTUPINFOA)
KV_SAME_FIELD(STARTUPINFOA, cb)
KV_SAME_FIELD(STARTUPINFOA, lpReserved)
KV_SAME_FIELD(STARTUPINFOA, lpDesktop)
KV_SAME_FIELD(STARTUPINFOA, lpTitle)
KV_SAME_FIELD(STARTUPINFOA, dwX)
KV_SAME_FIELD(STARTUPINFOA, dwY)
KV_SAME_FIELD(STARTUPINFOA, dwXSize)
KV_SAME_FIELD(STARTUPINFOA, dwYSize)
KV_SAME_FIELD(STARTUPINFOA, dwXCountChars)
KV_SAME_FIELD(STARTUPINFOA, dwYCountChars)
KV_SAME_FIELD(STARTUPINFOA, dwFillAttribute)
KV_SAME_FIELD(STARTUPINFOA, dwFlags)
KV_SAME_FIELD(STARTUPINFOA, wShowWindow)
KV_SAME_FIELD(STARTUPINFOA, cbReserved2)
KV_SAME_FIELD(STARTUPINFOA, lpReserved2)
KV_SAME_FIELD(STARTUPINFOA, hStdInput)
KV_SAME_FIELD(STARTUPINFOA, hStdOutput)
KV_SAME_FIELD(STARTUPINFOA, hStdError)

KV_SAME_RECORD(PROCESS_INFORMATION)
KV_SAME_FIELD(PROCESS_INFORMATION, hProcess)
KV_SAME_FIELD(PROCESS_INFORMATION, hThread)
KV_SAME_FIELD(PROCESS_INFORMATION, dwProcessId)
KV_SAME_FIELD(PROCESS_INFORMATION, dwThreadId)

KV_SAME_RECORD(VS_FIXEDFILEINFO)
KV_SAME_FIELD(VS_FIXEDFILEINFO, dwSignature)
KV_SAME_FIELD(VS_FIXEDFILEINFO, dwStrucVersion)
KV_SAME_FIELD(VS_FIXEDFILEINFO, dwFileVersionMS)
KV_SAME_FIELD(VS_FIXEDFILEINFO, dwFileVersionLS)
KV_SAME_FIELD(VS_FIXEDFILEINFO, dwProductVersionMS)
KV_SAME_FIELD(VS_FIXEDFILEINFO, dwProductVersionLS)
KV_SAME_FIELD(VS_FIXEDFILEINFO, dwFileFlagsMask)
KV_SAME_FIELD(VS_FIXEDFILEINFO, dwFileFlags)
KV_SAME_FIELD(VS_FIXEDFILEINFO, dwFileOS)
KV_SAME_FIELD(VS_FIXEDFILEINFO, dwFileType)
KV_SAME_FIELD(VS_FIXEDFILEINFO, dwFileSubtype)
KV_SAME_FIELD(VS_FIXEDFILEINFO, dwFileDateMS)
KV_SAME_FIELD(VS_FIXEDFILEINFO, dwFileDateLS)

KV_SAME_RECORD(POINT)
KV_SAME_FIELD(POINT, x)
KV_SAME_FIELD(POINT, y)

KV_SAME_RECORD(MSG)
KV_SAME_FIELD(MSG, hwnd)
KV_SAME_FIELD(MSG, message)
KV_SAME_FIELD(MSG, wParam)
KV_SAME_FIELD(MSG, lParam)
KV_SAME_FIELD(MSG, time)
KV_SAME_FIELD(MSG, pt)

KV_SAME_RECORD(WNDCLASSA)
KV_SAME_FIELD(WNDCLASSA, style)
KV_SAME_FIELD(WNDCLASSA, lpfnWndProc)
KV_SAME_FIELD(WNDCLASSA, cbClsExtra)
KV_SAME_FIELD(WNDCLASSA, cbWndExtra)
KV_SAME_FIELD(WNDCLASSA, hInstance)
KV_SAME_FIELD(WNDCLASSA, hIcon)
KV_SAME_FIELD(WNDCLASSA, hCursor)
KV_SAME_FIELD(WNDCLASSA, hbrBackground)
KV_SAME_FIELD(WNDCLASSA, lpszMenuName)
KV_SAME_FIELD(WNDCLASSA, lpszClassName)

KV_SAME_RECORD(SHFILEOPSTRUCTA)
KV_SAME_FIELD(SHFILEOPSTRUCTA, hwnd)
KV_SAME_FIELD(SHFILEOPSTRUCTA, wFunc)
KV_SAME_FIELD(SHFILEOPSTRUCTA, pFrom)
KV_SAME_FIELD(SHFILEOPSTRUCTA, pTo)
KV_SAME_FIELD(SHFILEOPSTRUCTA, fFlags)
KV_SAME_FIELD(SHFILEOPSTRUCTA, fAnyOperationsAborted)
KV_SAME_FIELD(SHFILEOPSTRUCTA, hNameMappings)
KV_SAME_FIELD(SHFILEOPSTRUCTA, lpszProgressTitle)

#undef KV_SAME_FIELD
#undef KV_SAME_RECORD

}  // namespace kvlayout
