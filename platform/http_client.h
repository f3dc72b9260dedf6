// The HTTP client seam: the seven client operations and the thread's last
// error, by the names and contracts of the Windows HTTP client. On Windows
// they are the system's own; on Linux they come from the libcurl-backed
// layer in http_client_curl.cpp, and unit tests link a scripted stand-in.
#ifndef TARVANE_PLATFORM_HTTP_CLIENT_H
#define TARVANE_PLATFORM_HTTP_CLIENT_H

#ifdef _WIN32

#include <windows.h>
#include <wininet.h>

#else

#include <stdint.h>

typedef void* HINTERNET;
typedef uint32_t DWORD;
typedef int BOOL;
typedef uint16_t INTERNET_PORT;
typedef uintptr_t DWORD_PTR;
typedef const char* LPCSTR;
typedef void* LPVOID;
typedef DWORD* LPDWORD;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define INTERNET_OPEN_TYPE_PRECONFIG 0u
#define INTERNET_SERVICE_HTTP 3u

#define INTERNET_FLAG_RELOAD 0x80000000u
#define INTERNET_FLAG_NO_CACHE_WRITE 0x04000000u
#define INTERNET_FLAG_SECURE 0x00800000u
#define INTERNET_FLAG_NO_AUTO_REDIRECT 0x00200000u

#define INTERNET_OPTION_CONNECT_TIMEOUT 2u
#define INTERNET_OPTION_SEND_TIMEOUT 5u
#define INTERNET_OPTION_RECEIVE_TIMEOUT 6u
#define INTERNET_OPTION_DATA_SEND_TIMEOUT 7u
#define INTERNET_OPTION_DATA_RECEIVE_TIMEOUT 8u

// The client's error numbers, so a merchant reads the same message on
// every system.
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_INTERNET_TIMEOUT 12002u
#define ERROR_INTERNET_INTERNAL_ERROR 12004u
#define ERROR_INTERNET_INVALID_OPTION 12009u
#define ERROR_INTERNET_INCORRECT_HANDLE_STATE 12019u
#define ERROR_INTERNET_NAME_NOT_RESOLVED 12007u
#define ERROR_INTERNET_SEC_CERT_DATE_INVALID 12037u
#define ERROR_INTERNET_SEC_CERT_CN_INVALID 12038u
#define ERROR_INTERNET_SEC_CERT_ERRORS 12055u
#define ERROR_INTERNET_INVALID_CA 12045u
#define ERROR_INTERNET_CONNECTION_ABORTED 12030u
#define ERROR_INTERNET_CONNECTION_RESET 12031u
#define ERROR_INTERNET_CANNOT_CONNECT 12029u
#define ERROR_HTTP_INVALID_SERVER_RESPONSE 12152u
#define ERROR_INTERNET_SECURITY_CHANNEL_ERROR 12157u
#define ERROR_INTERNET_SEC_INVALID_CERT 12169u

#ifdef __cplusplus
extern "C" {
#endif

HINTERNET InternetOpenA(LPCSTR agent, DWORD access_type, LPCSTR proxy,
                        LPCSTR proxy_bypass, DWORD flags);
BOOL InternetSetOptionA(HINTERNET handle, DWORD option, LPVOID buffer,
                        DWORD buffer_length);
HINTERNET InternetConnectA(HINTERNET session, LPCSTR server_name,
                           INTERNET_PORT server_port, LPCSTR user_name,
                           LPCSTR password, DWORD service, DWORD flags,
                           DWORD_PTR context);
HINTERNET HttpOpenRequestA(HINTERNET connection, LPCSTR verb, LPCSTR object,
                           LPCSTR version, LPCSTR referrer,
                           LPCSTR* accept_types, DWORD flags,
                           DWORD_PTR context);
BOOL HttpSendRequestA(HINTERNET request, LPCSTR headers, DWORD headers_length,
                      LPVOID optional, DWORD optional_length);
BOOL InternetReadFile(HINTERNET file, LPVOID buffer, DWORD bytes_to_read,
                      LPDWORD bytes_read);
BOOL InternetCloseHandle(HINTERNET handle);
DWORD GetLastError(void);

#ifdef __cplusplus
}
#endif

#endif  // _WIN32

#endif  // TARVANE_PLATFORM_HTTP_CLIENT_H
