// The operating system as the program sees it.
//
// Every Win32 and C-runtime call that touches the system is reached through
// namespace sys under its own name and signature. Windows builds map the
// names 1:1 onto the SDK and the CRT; host builds declare the same subset
// here and link against the test double in tests/fake_win32/.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Lets the compiler check the arguments of the program's printf-style functions.
#if defined(__MINGW_PRINTF_FORMAT)
#define PRINTF_LIKE(format_index, first_argument) \
    __attribute__((format(__MINGW_PRINTF_FORMAT, format_index, first_argument)))
#elif defined(__GNUC__)
#define PRINTF_LIKE(format_index, first_argument) \
    __attribute__((format(printf, format_index, first_argument)))
#else
#define PRINTF_LIKE(format_index, first_argument)
#endif

#ifdef _WIN32

// Vista is the oldest system either exe runs on: the run-time it links
// imports GetTickCount64, and the batch cancels a write in flight with
// CancelSynchronousIo. The SDK's headers then declare what Vista has.
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0600
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winioctl.h>
#include <winternl.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <stdio.h>

namespace sys {
// kernel32: console
using ::GetConsoleScreenBufferInfo;
using ::GetStdHandle;
using ::SetConsoleCtrlHandler;
using ::SetConsoleCursorPosition;
using ::SetConsoleTextAttribute;
using ::WriteConsoleA;
// kernel32: volumes, files, devices
using ::CancelSynchronousIo;
using ::CloseHandle;
using ::CreateDirectoryA;
using ::CreateFileA;
using ::DeviceIoControl;
using ::DuplicateHandle;
using ::FlushFileBuffers;
using ::GetDiskFreeSpaceA;
using ::GetDriveTypeA;
using ::GetFileInformationByHandleEx;
using ::GetFinalPathNameByHandleW;
using ::GetModuleHandleA;
using ::GetProcAddress;
using ::GetVolumeInformationA;
using ::ReadFile;
using ::SetEndOfFile;
using ::SetFilePointerEx;
using ::SetFileInformationByHandle;
using ::SetFileValidData;
using ::WriteFile;
// kernel32: process, threads, errors
using ::CreateEventA;
using ::EnterCriticalSection;
using ::ExitProcess;
using ::FormatMessageA;
using ::GetCurrentProcess;
using ::GetCurrentThread;
using ::GetLastError;
using ::GetTickCount;
using ::InitializeCriticalSection;
using ::LeaveCriticalSection;
using ::SetErrorMode;
using ::SetEvent;
using ::Sleep;
// advapi32: the process's rights
using ::AdjustTokenPrivileges;
using ::LookupPrivilegeValueA;
using ::OpenProcessToken;
using ::TerminateProcess;
using ::WaitForSingleObject;
// user32
using ::DialogBoxParamA;
using ::EndDialog;
using ::MessageBoxA;
using ::PostMessageA;
using ::SendMessageA;
using ::SetDlgItemTextA;
// C run-time
using ::FILE;
using ::_beginthread;
using ::_close;
using ::_commit;
using ::_endthread;
using ::_fdopen;
using ::_fileno;
using ::_open_osfhandle;
using ::fclose;
using ::fflush;
using ::fwrite;
}  // namespace sys

// Status codes of ntdll's file functions, which windows.h leaves to ntstatus.h.
#ifndef STATUS_OBJECT_NAME_NOT_FOUND
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#endif
#ifndef STATUS_OBJECT_PATH_NOT_FOUND
#define STATUS_OBJECT_PATH_NOT_FOUND ((NTSTATUS)0xC000003AL)
#endif
#ifndef STATUS_SHARING_VIOLATION
#define STATUS_SHARING_VIOLATION ((NTSTATUS)0xC0000043L)
#endif
#ifndef STATUS_DELETE_PENDING
#define STATUS_DELETE_PENDING ((NTSTATUS)0xC0000056L)
#endif

#else  // host build: the declarations the test double defines

#define WINAPI
#define CALLBACK
#define TRUE 1
#define FALSE 0
#define MAX_PATH 260

typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef unsigned int UINT;
typedef int16_t SHORT;
typedef void *HANDLE;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef DWORD *LPDWORD;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef UINT_PTR WPARAM;
typedef INT_PTR LPARAM;
typedef INT_PTR LRESULT;
typedef struct HWND__ *HWND;
typedef struct HINSTANCE__ *HINSTANCE;
typedef HINSTANCE HMODULE;
typedef INT_PTR (*FARPROC)();
typedef INT_PTR (*DLGPROC)(HWND, UINT, WPARAM, LPARAM);
typedef BOOL (*PHANDLER_ROUTINE)(DWORD);
typedef unsigned short USHORT;
typedef struct SECURITY_ATTRIBUTES_ *LPSECURITY_ATTRIBUTES;
typedef int64_t LONGLONG;
typedef HANDLE *PHANDLE;

// Where a ReadFile or WriteFile on a synchronous handle begins.
struct OVERLAPPED {
    uintptr_t Internal;
    uintptr_t InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
};
typedef OVERLAPPED *LPOVERLAPPED;

struct LUID {
    DWORD LowPart;
    int32_t HighPart;
};
typedef LUID *PLUID;
struct LUID_AND_ATTRIBUTES {
    LUID Luid;
    DWORD Attributes;
};
struct TOKEN_PRIVILEGES {
    DWORD PrivilegeCount;
    LUID_AND_ATTRIBUTES Privileges[1];
};
typedef TOKEN_PRIVILEGES *PTOKEN_PRIVILEGES;

// The double gives each one a lock of its own.
struct CRITICAL_SECTION {
    void *lock;
};
typedef CRITICAL_SECTION *LPCRITICAL_SECTION;

struct ULARGE_INTEGER {
    uint64_t QuadPart;
};

union LARGE_INTEGER {
    int64_t QuadPart;
};

typedef BYTE BOOLEAN;
typedef uint32_t ULONG;
typedef uintptr_t ULONG_PTR;
typedef int32_t NTSTATUS;
typedef DWORD ACCESS_MASK;
typedef uint16_t WCHAR;
typedef WCHAR *LPWSTR;
typedef LARGE_INTEGER *PLARGE_INTEGER;

// For GetFileInformationByHandleEx and SetFileInformationByHandle.
enum FILE_INFO_BY_HANDLE_CLASS {
    FileStandardInfo = 1,
    FileDispositionInfo = 4,
    FileEndOfFileInfo = 6,
    FileAttributeTagInfo = 9,
    MaximumFileInfoByHandleClass = 25,
};
struct FILE_DISPOSITION_INFO {
    BOOLEAN DeleteFile;
};
struct FILE_DISPOSITION_INFO_EX {
    DWORD Flags;
};
struct FILE_ATTRIBUTE_TAG_INFO {
    DWORD FileAttributes;
    DWORD ReparseTag;
};
struct FILE_END_OF_FILE_INFO {
    LARGE_INTEGER EndOfFile;
};
struct FILE_STANDARD_INFO {
    LARGE_INTEGER AllocationSize;
    LARGE_INTEGER EndOfFile;
    DWORD NumberOfLinks;
    BOOLEAN DeletePending;
    BOOLEAN Directory;
};
typedef ULARGE_INTEGER *PULARGE_INTEGER;

// For ntdll's NtCreateFile and NtQueryVolumeInformationFile, looked up at
// run time.
struct UNICODE_STRING {
    USHORT Length;  // bytes
    USHORT MaximumLength;
    WCHAR *Buffer;
};
struct OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    UNICODE_STRING *ObjectName;
    ULONG Attributes;
    void *SecurityDescriptor;
    void *SecurityQualityOfService;
};
struct IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        void *Pointer;
    };
    ULONG_PTR Information;
};
typedef OBJECT_ATTRIBUTES *POBJECT_ATTRIBUTES;
typedef IO_STATUS_BLOCK *PIO_STATUS_BLOCK;

struct COORD {
    SHORT X;
    SHORT Y;
};

struct SMALL_RECT {
    SHORT Left;
    SHORT Top;
    SHORT Right;
    SHORT Bottom;
};

struct CONSOLE_SCREEN_BUFFER_INFO {
    COORD dwSize;
    COORD dwCursorPosition;
    WORD wAttributes;
    SMALL_RECT srWindow;
    COORD dwMaximumWindowSize;
};
typedef CONSOLE_SCREEN_BUFFER_INFO *PCONSOLE_SCREEN_BUFFER_INFO;

#define LOWORD(l) ((WORD)(((UINT_PTR)(l)) & 0xffff))
#define INVALID_HANDLE_VALUE ((HANDLE)(INT_PTR)-1)
#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define STD_ERROR_HANDLE ((DWORD)-12)

#define MB_OK 0x00000000u
#define MB_OKCANCEL 0x00000001u
#define IDOK 1
#define IDCANCEL 2

#define WM_SETTEXT 0x000C
#define WM_INITDIALOG 0x0110
#define WM_COMMAND 0x0111
#define WM_APP 0x8000

#define DELETE 0x00010000u
#define SYNCHRONIZE 0x00100000u
#define FILE_LIST_DIRECTORY 0x00000001u
#define FILE_READ_ATTRIBUTES 0x00000080u
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u
#define CREATE_NEW 1
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_ATTRIBUTE_SPARSE_FILE 0x00000200u
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400u
#define FILE_ATTRIBUTE_COMPRESSED 0x00000800u
#define FILE_ATTRIBUTE_ENCRYPTED 0x00004000u
#define FILE_FLAG_OPEN_REPARSE_POINT 0x00200000u
#define FILE_FLAG_NO_BUFFERING 0x20000000u
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000u
#define FILE_FLAG_DELETE_ON_CLOSE 0x04000000u
#define DUPLICATE_SAME_ACCESS 0x00000002u
#define FILE_BEGIN 0
#define TOKEN_ADJUST_PRIVILEGES 0x0020u
#define TOKEN_QUERY 0x0008u
#define SE_PRIVILEGE_ENABLED 0x00000002u
#define SE_MANAGE_VOLUME_NAME "SeManageVolumePrivilege"
#define THREAD_TERMINATE 0x00000001u
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0u
#define WAIT_TIMEOUT 258u
#define DRIVE_UNKNOWN 0u
#define DRIVE_NO_ROOT_DIR 1u
#define DRIVE_REMOVABLE 2u
#define DRIVE_FIXED 3u
#define DRIVE_REMOTE 4u
#define DRIVE_CDROM 5u
#define DRIVE_RAMDISK 6u
#define SEM_FAILCRITICALERRORS 0x0001u
#define SEM_NOGPFAULTERRORBOX 0x0002u
#define IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS 0x00560000u
#define FSCTL_SET_COMPRESSION 0x0009C040u
#define COMPRESSION_FORMAT_NONE 0
#define VOLUME_NAME_DOS 0x0u
#define VOLUME_NAME_NT 0x2u
#define FILE_DISPOSITION_FLAG_DELETE 0x00000001u
#define FILE_DISPOSITION_FLAG_POSIX_SEMANTICS 0x00000002u

#define OBJ_CASE_INSENSITIVE 0x00000040u
#define FILE_OPEN 0x00000001u
#define FILE_CREATE 0x00000002u
#define FILE_DIRECTORY_FILE 0x00000001u
#define FILE_SYNCHRONOUS_IO_NONALERT 0x00000020u
#define FILE_NON_DIRECTORY_FILE 0x00000040u
#define FILE_OPEN_FOR_BACKUP_INTENT 0x00004000u
#define FILE_OPEN_REPARSE_POINT 0x00200000u
#define STATUS_SUCCESS ((NTSTATUS)0x00000000)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035)
#define STATUS_OBJECT_PATH_NOT_FOUND ((NTSTATUS)0xC000003A)
#define STATUS_SHARING_VIOLATION ((NTSTATUS)0xC0000043)
#define STATUS_DELETE_PENDING ((NTSTATUS)0xC0000056)
#define STATUS_DISK_FULL ((NTSTATUS)0xC000007F)
#define STATUS_FILE_IS_A_DIRECTORY ((NTSTATUS)0xC00000BA)
#define STATUS_NOT_A_DIRECTORY ((NTSTATUS)0xC0000103)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000D)

#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_ACCESS_DENIED 5
#define ERROR_SHARING_VIOLATION 32
#define ERROR_FILE_EXISTS 80
#define ERROR_INVALID_PARAMETER 87
#define ERROR_BROKEN_PIPE 109
#define ERROR_ALREADY_EXISTS 183
#define ERROR_DIR_NOT_EMPTY 145
#define ERROR_NO_DATA 232
#define ERROR_DELETE_PENDING 303
#define ERROR_OPERATION_ABORTED 995
#define ERROR_NOT_FOUND 1168
#define ERROR_NOT_ALL_ASSIGNED 1300
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000u

#define _O_WRONLY 0x0001
#define _O_BINARY 0x8000

#define CTRL_C_EVENT 0
#define CTRL_BREAK_EVENT 1
#define CTRL_CLOSE_EVENT 2
#define CTRL_LOGOFF_EVENT 5
#define CTRL_SHUTDOWN_EVENT 6


namespace sys {
// kernel32: console
BOOL GetConsoleScreenBufferInfo(HANDLE console, PCONSOLE_SCREEN_BUFFER_INFO info);
HANDLE GetStdHandle(DWORD which);
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);
BOOL SetConsoleCursorPosition(HANDLE console, COORD position);
BOOL SetConsoleTextAttribute(HANDLE console, WORD attribute);
BOOL WriteConsoleA(HANDLE console, const void *buffer, DWORD length, LPDWORD written,
                   LPVOID reserved);
// kernel32: volumes, files, devices
BOOL CancelSynchronousIo(HANDLE thread);
BOOL CloseHandle(HANDLE handle);
BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES security);
HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE template_file);
BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                     DWORD out_size, LPDWORD returned, LPOVERLAPPED overlapped);
BOOL DuplicateHandle(HANDLE source_process, HANDLE source, HANDLE target_process, HANDLE *target,
                     DWORD access, BOOL inherit, DWORD options);
BOOL FlushFileBuffers(HANDLE file);
BOOL GetDiskFreeSpaceA(LPCSTR root, LPDWORD sectors_per_cluster, LPDWORD bytes_per_sector,
                       LPDWORD free_clusters, LPDWORD total_clusters);
UINT GetDriveTypeA(LPCSTR root);
BOOL GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID buffer,
                                  DWORD size);
DWORD GetFinalPathNameByHandleW(HANDLE file, LPWSTR path, DWORD size, DWORD flags);
HMODULE GetModuleHandleA(LPCSTR name);
FARPROC GetProcAddress(HMODULE module, LPCSTR name);
BOOL GetVolumeInformationA(LPCSTR root, LPSTR volume_name, DWORD volume_name_size,
                           LPDWORD serial, LPDWORD max_component, LPDWORD flags,
                           LPSTR fs_name, DWORD fs_name_size);
BOOL ReadFile(HANDLE file, LPVOID data, DWORD size, LPDWORD read, LPOVERLAPPED overlapped);
BOOL SetEndOfFile(HANDLE file);
BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, LARGE_INTEGER *position, DWORD method);
BOOL SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID buffer,
                                DWORD size);
BOOL SetFileValidData(HANDLE file, LONGLONG valid_data_length);
BOOL WriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
               LPOVERLAPPED overlapped);
// kernel32: process, threads, errors
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manual_reset, BOOL initial_state,
                    LPCSTR name);
void EnterCriticalSection(LPCRITICAL_SECTION section);
void ExitProcess(UINT exit_code);
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD message_id, DWORD language_id,
                     LPSTR buffer, DWORD size, void *arguments);
HANDLE GetCurrentProcess();
HANDLE GetCurrentThread();
DWORD GetLastError();
DWORD GetTickCount();
void InitializeCriticalSection(LPCRITICAL_SECTION section);
void LeaveCriticalSection(LPCRITICAL_SECTION section);
UINT SetErrorMode(UINT mode);
BOOL SetEvent(HANDLE event);
void Sleep(DWORD milliseconds);
// advapi32: the process's rights
BOOL AdjustTokenPrivileges(HANDLE token, BOOL disable_all, PTOKEN_PRIVILEGES new_state,
                           DWORD length, PTOKEN_PRIVILEGES previous_state, LPDWORD returned);
BOOL LookupPrivilegeValueA(LPCSTR system, LPCSTR name, PLUID luid);
BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token);
BOOL TerminateProcess(HANDLE process, UINT exit_code);
DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds);
// user32
INT_PTR DialogBoxParamA(HINSTANCE instance, LPCSTR template_name, HWND owner, DLGPROC proc,
                        LPARAM init);
BOOL EndDialog(HWND dialog, INT_PTR result);
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR title, UINT type);
BOOL PostMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
LRESULT SendMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
BOOL SetDlgItemTextA(HWND dialog, int id, LPCSTR text);
// C run-time
struct FILE;
uintptr_t _beginthread(void (*start)(void *), unsigned stack_size, void *argument);
int _close(int fd);
int _commit(int fd);
void _endthread();
FILE *_fdopen(int fd, const char *mode);
int _fileno(FILE *file);
int _open_osfhandle(intptr_t handle, int flags);
int fclose(FILE *file);
int fflush(FILE *file);
size_t fwrite(const void *data, size_t size, size_t count, FILE *file);
}  // namespace sys

#endif

// What some SDKs' headers lack, with the values the system uses.
namespace sys {
// FILE_INFO_BY_HANDLE_CLASS (Windows 10): deletion with flags, one of them
// the POSIX semantics that take the name away at once.
const FILE_INFO_BY_HANDLE_CLASS FileDispositionInfoEx = (FILE_INFO_BY_HANDLE_CLASS)21;
// NtQueryVolumeInformationFile's class and structure for the free space.
const ULONG FileFsFullSizeInformation = 7;
struct FILE_FS_FULL_SIZE_INFORMATION {
    LARGE_INTEGER TotalAllocationUnits;
    LARGE_INTEGER CallerAvailableAllocationUnits;
    LARGE_INTEGER ActualAvailableAllocationUnits;
    ULONG SectorsPerAllocationUnit;
    ULONG BytesPerSector;
};
}  // namespace sys
