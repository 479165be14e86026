/* The floor the updater is measured against: the same platform calls in the
   same order, with nothing of the updater's own around them.
     floor verify BASEURL              fetch manifest.txt, hash every listed file
     floor download BASEURL NAME SIZE  fetch manifest.txt, try NAME's digest,
                                       fetch files/NAME into NAME.kvdl with the
                                       per-chunk progress print and flush, hash
                                       it, rename it over NAME
   Both print the updater's ending line when done. Paths in the manifest are
   expected plain (no checks), the URL as http(s)://host:port/. */
#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static unsigned char transfer[0x10000];
static unsigned char readBuffer[0x10000];

/* GET of BASEURL + name, into memory (*body) or into the file path. */
static int Get(const char* baseUrl, const char* name, const char* path, char** body, size_t* bodySize,
               unsigned long long expected)
{
    wchar_t url[1024], host[256], urlPath[1024], object[2048];
    URL_COMPONENTS parts;
    HINTERNET session, connection, request;
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD status = 0, statusSize = sizeof(status);
    unsigned long long received = 0;
    int ok = 1;

    MultiByteToWideChar(CP_ACP, 0, baseUrl, -1, url, 1024);
    ZeroMemory(&parts, sizeof(parts));
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = urlPath;
    parts.dwUrlPathLength = 1024;
    if (!WinHttpCrackUrl(url, 0, 0, &parts))
        return 0;
    host[parts.dwHostNameLength] = 0;
    urlPath[parts.dwUrlPathLength] = 0;
    swprintf(object, 2048, L"%ls", urlPath);
    MultiByteToWideChar(CP_ACP, 0, name, -1, object + wcslen(object), 1024);

    session = WinHttpOpen(L"KorvanthUpdater/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                          WINHTTP_NO_PROXY_BYPASS, 0);
    connection = WinHttpConnect(session, host, parts.nPort, 0);
    request = WinHttpOpenRequest(connection, L"GET", object, NULL, WINHTTP_NO_REFERER,
                                 WINHTTP_DEFAULT_ACCEPT_TYPES,
                                 parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0);
    if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request, NULL))
        return 0;
    WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX);
    if (status != 200)
        return 0;
    if (path)
        file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    for (;;) {
        DWORD available = 0, got = 0, written = 0;
        if (!WinHttpQueryDataAvailable(request, &available) || available == 0)
            break;
        if (!WinHttpReadData(request, transfer, available < sizeof(transfer) ? available : sizeof(transfer),
                             &got) ||
            got == 0)
            break;
        received += got;
        if (path) {
            WriteFile(file, transfer, got, &written, NULL);
            printf("\r    %llu / %llu KB", received >> 10, expected >> 10);
            fflush(stdout);
        } else {
            *body = realloc(*body, *bodySize + got + 1);
            memcpy(*body + *bodySize, transfer, got);
            *bodySize += got;
            (*body)[*bodySize] = 0;
        }
    }
    if (path) {
        printf("\n");
        CloseHandle(file);
    }
    WinHttpCloseHandle(request);
    WinHttpCloseHandle(connection);
    WinHttpCloseHandle(session);
    return ok;
}

static int Md5(const char* path, char* text)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              NULL);
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    BYTE value[16];
    DWORD length = 16, got;
    int i;
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    CryptAcquireContextA(&provider, NULL, NULL, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT);
    CryptCreateHash(provider, CALG_MD5, 0, 0, &hash);
    while (ReadFile(file, readBuffer, sizeof(readBuffer), &got, NULL) && got > 0)
        CryptHashData(hash, readBuffer, got, 0);
    CryptGetHashParam(hash, HP_HASHVAL, value, &length, 0);
    for (i = 0; i < 16; ++i) {
        text[2 * i] = "0123456789abcdef"[value[i] >> 4];
        text[2 * i + 1] = "0123456789abcdef"[value[i] & 0x0F];
    }
    text[32] = 0;
    CryptDestroyHash(hash);
    CryptReleaseContext(provider, 0);
    CloseHandle(file);
    return 1;
}

int main(int argc, char** argv)
{
    char digest[33];
    /* As the updater: every DLL from the system folder only, which also
       spares each later load (the provider's, per file) the longer search. */
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    /* FLOOR_NO_PRELOAD shows what keeping the provider's DLL loaded saves. */
    if (getenv("FLOOR_NO_PRELOAD") == NULL)
        LoadLibraryExW(L"rsaenh.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);

    if (argc == 3 && strcmp(argv[1], "verify") == 0) {
        char* body = NULL;
        size_t size = 0;
        int pending = 0;
        char* line;
        if (!Get(argv[2], "manifest.txt", NULL, &body, &size, 0))
            return 1;
        for (line = strtok(body, "\n"); line; line = strtok(NULL, "\n")) {
            char* tab1 = strchr(line, '\t');
            char* tab2 = tab1 ? strchr(tab1 + 1, '\t') : NULL;
            char* p;
            if (!tab2)
                continue;
            for (p = tab2 + 1; *p; ++p)
                if (*p == '/')
                    *p = '\\';
            if (!Md5(tab2 + 1, digest) || strncmp(digest, line, 32) != 0)
                ++pending;
        }
        printf(pending ? "\n pending %d\n" : "\n Cliente al dia. Iniciando el juego...\n", pending);
        return 0;
    }
    if (argc == 5 && strcmp(argv[1], "download") == 0) {
        char remote[1024], temp[1024];
        char* manifest = NULL;
        size_t manifestSize = 0;
        /* As the updater: the manifest first, then the (missing) local file's digest. */
        Get(argv[2], "manifest.txt", NULL, &manifest, &manifestSize, 0);
        Md5(argv[3], digest);
        snprintf(remote, sizeof(remote), "files/%s", argv[3]);
        snprintf(temp, sizeof(temp), "%s.kvdl", argv[3]);
        Get(argv[2], remote, temp, NULL, NULL, strtoull(argv[4], NULL, 10));
        Md5(temp, digest);
        MoveFileExA(temp, argv[3], MOVEFILE_REPLACE_EXISTING);
        printf("\n Actualizacion completa! Iniciando el juego...\n");
        return 0;
    }
    fprintf(stderr, "usage: floor verify BASEURL | floor download BASEURL NAME SIZE\n");
    return 2;
}
