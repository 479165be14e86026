// The update run: from start-up to the launch of the game. Whatever happens on
// the way, the game is started and the exit code is 0: the updater must never
// be the reason a player cannot play.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "default_base_url.h"
#include "file_digest.h"
#include "file_update.h"
#include "game_launch.h"
#include "http_download.h"
#include "manifest.h"
#include "path_rules.h"
#include "release_guard.h"
#include "release_keys.h"
#include "sha256.h"
#include "signed_manifest.h"
#include "system_library.h"
#include "verification.h"

const char DefaultBaseUrl[] = KORVANTH_DEFAULT_BASE_URL;

namespace {

const char OverrideFileName[] = "update.url";

// The wide-character calls find and enter the folder whatever its name: the
// ANSI ones turn characters outside the code page into '?', and the run
// would go on somewhere else.
bool EnterExecutableFolder()
{
    std::wstring modulePath(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(NULL, &modulePath[0], static_cast<DWORD>(modulePath.size()));
        if (length == 0)
            return false;
        if (length < modulePath.size()) {
            modulePath.resize(length);
            break;
        }
        // Cut short: no Windows path is longer than 32,767 characters.
        if (modulePath.size() > 32768)
            return false;
        modulePath.resize(modulePath.size() * 2);
    }
    // Windows refuses a current folder longer than this (and Wine, which
    // takes one, then fails to start programs from it).
    const std::wstring folder = StripFileName(modulePath);
    if (folder.size() > MAX_PATH - 2)
        return false;
    return SetCurrentDirectoryW(folder.c_str()) != 0;
}

// update.url lets an operator point one client at a test server without a
// rebuild; its first line wins over the built-in URL when it holds anything.
std::string ChooseBaseUrl()
{
    std::string baseUrl = DefaultBaseUrl;
    FILE* file = std::fopen(OverrideFileName, "r");
    if (file == NULL)
        return baseUrl;
    char line[512];
    std::memset(line, 0, sizeof(line));
    if (std::fgets(line, sizeof(line), file) != NULL) {
        std::string text = line;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
            text.pop_back();
        if (!text.empty())
            baseUrl = text;
    }
    std::fclose(file);
    std::printf(" [i] Usando servidor de pruebas: %s\n\n", baseUrl.c_str());
    return baseUrl;
}

void EndAfterDelay(const char* message, DWORD delayMs)
{
    std::printf("%s", message);
    std::fflush(stdout);
    Sleep(delayMs);
}

// Every ending returns here; the launch itself is left to main so that it
// also follows a run that was cut short by an exception.
void RunUpdate()
{
    SetConsoleTitleA("Korvanth - Actualizador");
    const bool inOwnFolder = EnterExecutableFolder();
    std::printf("=============================================\n");
    std::printf("       KORVANTH - Actualizador  v1.0\n");
    std::printf("=============================================\n\n");
    if (!inOwnFolder) {
        // Anywhere else, update.url and the game files would be someone
        // else's: nothing is read or written, the game is started as it is.
        EndAfterDelay(" [!] No pude abrir la carpeta del actualizador.\n"
                      "     Inicio el juego igual...\n\n",
                      1500);
        return;
    }
    KeepDigestProviderLoaded();
    // Built with keys, the updater takes only a release signed by one of
    // them, whichever server or update.url served it, and none older than
    // the one the folder's release record names, read before anything else.
    const bool keyed = ReleaseKeyCount != 0;
    const std::uint64_t heldSerial = keyed ? ReadHeldSerial() : 0;
    if (keyed)
        DeleteFileA(UpdaterAsideName);

    const std::string baseUrl = ChooseBaseUrl();
    std::printf(" Buscando actualizaciones...\n");
    std::fflush(stdout);

    std::string manifestText;
    if (!HttpDownload(baseUrl, "manifest.txt", "", &manifestText, 0) || manifestText.empty()) {
        EndAfterDelay(" [!] No pude contactar el servidor de parches.\n"
                      "     Inicio el juego igual...\n\n",
                      1500);
        return;
    }
    SignedRelease release;
    if (!keyed)
        release.entries = ParseManifest(manifestText);
    else
        CheckSignedManifest(manifestText, ReleaseKeys, ReleaseKeyCount, VerifyWithCryptoApi, release);
    const std::vector<ManifestEntry>& entries = release.entries;
    if (entries.empty()) {
        EndAfterDelay(" [!] Manifest vacio o invalido. Inicio el juego...\n", 1500);
        return;
    }
    // A release older than the one this folder took, served again by a
    // mirror left behind or a server that replays the studio's past, would
    // take the game back to it.
    if (keyed && release.serial < heldSerial) {
        EndAfterDelay(" [!] El servidor ofrece una version anterior a la instalada.\n"
                      "     Inicio el juego igual...\n\n",
                      1500);
        return;
    }
    // Nor may a server hold players on a release for good: its signature
    // runs out, and the studio signs the live release again well before.
    if (keyed && release.expires <= UtcNowSeconds()) {
        EndAfterDelay(" [!] La version del servidor esta vencida (revisa la fecha de tu equipo).\n"
                      "     Inicio el juego igual...\n\n",
                      1500);
        return;
    }

    std::printf(" Verificando %d archivos...\n", static_cast<int>(entries.size()));
    std::fflush(stdout);
    std::vector<ManifestEntry> pending = FindPendingEntries(entries);
    if (keyed)
        PutRecordFirst(pending);
    if (pending.empty()) {
        if (keyed)
            DeleteDroppedFiles(release);
        EndAfterDelay("\n Cliente al dia. Iniciando el juego...\n", 1200);
        return;
    }
    std::printf("\n Hay %d archivo(s) para actualizar (%llu KB):\n\n", static_cast<int>(pending.size()),
                static_cast<unsigned long long>(SumPendingKb(pending)));

    const int failures = UpdatePendingFiles(baseUrl, pending, keyed ? &release.digests : NULL);
    if (failures > 0) {
        std::printf("\n [!] %d archivo(s) NO se pudieron actualizar.\n", failures);
        std::printf("     Proba de nuevo en un rato. Inicio el juego igual...\n");
        std::fflush(stdout);
        std::system("pause");
        return;
    }
    // Only a whole release loses what it dropped: an old game file may
    // still need an old DLL beside it.
    if (keyed)
        DeleteDroppedFiles(release);
    EndAfterDelay("\n Actualizacion completa! Iniciando el juego...\n", 1200);
}

}  // namespace

int main()
{
    RestrictDllSearchToSystem();
    try {
        RunUpdate();
    } catch (...) {
        // Out of memory or worse: the update is abandoned, never the launch.
        EndAfterDelay("\n [!] Error inesperado en el actualizador.\n"
                      "     Inicio el juego igual...\n\n",
                      1500);
    }
    LaunchGame();
    return 0;
}
