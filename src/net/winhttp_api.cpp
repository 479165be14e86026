// The table of WinHTTP entry points, filled on first use.
#include "winhttp_api.h"

#include "system_library.h"

namespace {

const WinHttpApi* substitute = NULL;

template <typename Fn>
bool Resolve(HMODULE module, const char* name, Fn& entry)
{
    entry = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    return entry != NULL;
}

bool LoadWinHttp(WinHttpApi& api)
{
    // Deliberately never freed: the table is used until the process ends.
    HMODULE module = LoadSystemLibrary(L"winhttp.dll");
    return module != NULL && Resolve(module, "WinHttpCrackUrl", api.crackUrl) &&
           Resolve(module, "WinHttpOpen", api.open) && Resolve(module, "WinHttpConnect", api.connect) &&
           Resolve(module, "WinHttpOpenRequest", api.openRequest) &&
           Resolve(module, "WinHttpSendRequest", api.sendRequest) &&
           Resolve(module, "WinHttpReceiveResponse", api.receiveResponse) &&
           Resolve(module, "WinHttpQueryHeaders", api.queryHeaders) &&
           Resolve(module, "WinHttpQueryDataAvailable", api.queryDataAvailable) &&
           Resolve(module, "WinHttpReadData", api.readData) &&
           Resolve(module, "WinHttpCloseHandle", api.closeHandle);
}

}  // namespace

const WinHttpApi* GetWinHttp()
{
    if (substitute != NULL)
        return substitute;
    // One attempt per process: a missing DLL will not appear between calls.
    static WinHttpApi api;
    static const bool loaded = LoadWinHttp(api);
    return loaded ? &api : NULL;
}

void SubstituteWinHttp(const WinHttpApi* api)
{
    substitute = api;
}
